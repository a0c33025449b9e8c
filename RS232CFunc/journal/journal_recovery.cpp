#include "RS232CFunc/journal/journal_recovery.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/journal/waiting_store.h"
#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/state/line_buffer.h"
#include "settings/app_error.h"
#include "settings/notifier.h"

namespace vennick {
namespace {

// The waiting lines go to the log files in pieces of about this much text.
constexpr std::size_t kPieceBytes = 1024 * 1024;

int lineCount(const std::string& text) {
    LineBuffer lines;
    lines.setText(text);
    return lines.count();
}

std::string linesText(int lines) {
    return "前回書き込まれなかった " + std::to_string(lines) + " 行を\n";
}

// Writes the journal's left-over text batch after batch, and keeps count for the notice.
class Recovery {
public:
    Recovery(Journal& journal, const std::string& logDirectory, LogWriter& writer)
        : journal_(journal), logDirectory_(logDirectory), writer_(writer) {}

    // The left-over text as one batch; false (and nothing more is written) when it failed.
    bool writeLeftOver() {
        const std::string text = journal_.leftOver();
        if (text.empty()) return true;
        const int lines = lineCount(text);
        try {
            if (const std::optional<std::string> file =
                    journal_.writeLeftOver(writer_, logDirectory_)) {
                written_ += lines;
                if (std::find(files_.begin(), files_.end(), *file) == files_.end()) {
                    files_.push_back(*file);
                }
                return true;
            }
        } catch (const AppError& error) {
            reason_ = std::string(error.what()) + "\n";
        }
        unwritten_ += lines;
        return false;
    }

    void countUnwritten(int lines) { unwritten_ += lines; }
    bool failed() const { return unwritten_ > 0; }

    void tell(Notifier& notifier) const {
        if (failed()) {
            notifier.inform(
                reason_ + linesText(unwritten_) +
                "ログファイルに書き込めませんでした。\n次回の起動時にもう一度書き込みます。");
        } else if (written_ > 0) {
            std::string where;
            for (const std::string& file : files_) where += file + "\n";
            notifier.inform(linesText(written_) + where + "に書き込みました。");
        }
    }

private:
    Journal& journal_;
    const std::string& logDirectory_;
    LogWriter& writer_;
    int written_ = 0;
    int unwritten_ = 0;
    std::vector<std::string> files_;
    std::string reason_;
};

}  // namespace

void writeJournalLeftOver(Journal& journal, const WaitingStore* waiting,
                          const std::string& logDirectory, LogWriter& writer, Notifier& notifier) {
    Recovery recovery(journal, logDirectory, writer);
    recovery.writeLeftOver();
    if (waiting) {
        waiting->forEachLeftOver(
            kPieceBytes, [&](std::string_view text, std::uint64_t last, int lines) {
                if (recovery.failed()) {
                    recovery.countUnwritten(lines);  // they stay for the next start
                    return true;
                }
                journal.addToLeftOver(text, last);
                recovery.writeLeftOver();
                return true;
            });
    }
    recovery.tell(notifier);
}

}  // namespace vennick
