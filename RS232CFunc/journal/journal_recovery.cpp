#include "RS232CFunc/journal/journal_recovery.h"

#include <optional>

#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/state/line_buffer.h"
#include "RS232CFunc/log/log_writer.h"
#include "settings/app_error.h"
#include "settings/notifier.h"

namespace vennick {
namespace {

int lineCount(const std::string& text) {
    LineBuffer lines;
    lines.setText(text);
    return lines.count();
}

std::string linesText(int lines) {
    return "前回書き込まれなかった " + std::to_string(lines) + " 行を\n";
}

}  // namespace

void writeJournalLeftOver(Journal& journal, const std::string& logDirectory, LogWriter& writer,
                          Notifier& notifier) {
    const std::string text = journal.leftOver();
    if (text.empty()) return;
    const int lines = lineCount(text);
    std::string reason;
    try {
        if (const std::optional<std::string> file = journal.writeLeftOver(writer, logDirectory)) {
            notifier.inform(linesText(lines) + *file + "\nに書き込みました。");
            return;
        }
    } catch (const AppError& error) {
        reason = std::string(error.what()) + "\n";
    }
    notifier.inform(reason + linesText(lines) +
                    "ログファイルに書き込めませんでした。\n次回の起動時にもう一度書き込みます。");
}

}  // namespace vennick
