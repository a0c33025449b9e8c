#pragma once

#include <QObject>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "RS232CFunc/state/run_state.h"
#include "RS232CFunc/ui/memo_edit.h"

class QAction;
class QLabel;
class QTimer;

namespace vennick {

// The widgets that show the run state.
struct RunStateWidgets {
    MemoEdit* memo = nullptr;        // Memo1
    QLabel* status = nullptr;        // Label1
    QLabel* writtenCount = nullptr;  // LabelBigLog
    QAction* write = nullptr;
    QAction* erase = nullptr;
    QAction* deleteLine = nullptr;
};

// Keeps the widgets in step with the run state, whose line buffer is the one copy of the text.
//
// Memo1 always shows a part of the buffer: the lines received since the last catch-up are
// added at the next one, and the lines written meanwhile leave it then. Other threads only say
// that something changed; the window's thread catches up at most once per flush period while a
// stream goes on, so a fast stream wakes it a few times a second, not once per batch. Whatever
// the operator does first brings the view up to date, under the run state's lock, so that it
// acts on what it sees. The operator's own edits go the other way, as edits: the changed range
// of the document is mapped onto the buffer's bytes and replaced there. So an edit can never
// bring back a written or erased line, nor drop one still to be shown.
//
// Positions: a row of the view is a line of the buffer; a row break counts as CR LF, every
// other character as its UTF-8 bytes (a non-breaking space stays one, two bytes long).
class MemoViewSync : public QObject, public RunStateView {
    Q_OBJECT

public:
    explicit MemoViewSync(int flushPeriodMs, QObject* parent = nullptr);

    // `showError` shows an error the state raised on another thread, on the window's thread.
    void attach(RunState& state, const RunStateWidgets& widgets,
                std::function<void(const std::string&)> showError);

    // Shows everything still pending now.
    void flush();

    void setEditable(bool editable);

    // RunStateView
    void catchUp(const ShownState& state) override;
    int caretLine() const override;
    void lineRemoved(int index) override;
    void textCutAt(std::size_t keptBytes) override;
    void selectLine(const LineSelection& selection) override;
    void changed() override;
    void errorRaised(const std::string& message) override;

private:
    void operatorEdited(int position, int added);
    void removeWrittenRows(std::uint64_t bytes);
    void appendText(std::string_view text);
    void showAfresh(const ShownState& state);
    void showLabelsAndActions(const ShownState& state);
    void placeCaret(int position);
    void scrollToLastLine();
    void periodEnded();

    RunState* state_ = nullptr;
    RunStateWidgets widgets_;
    std::function<void(const std::string&)> showError_;
    QTimer* flushTimer_ = nullptr;
    bool updatingView_ = false;    // our own edits of the document are not the operator's
    bool stateCalling_ = false;    // the run state, under its lock, is changing the view
    bool rebuildPending_ = false;  // the next catch-up shows the buffer afresh
    std::uint64_t shownFrom_ = 0;  // the run's written bytes when the view's first row came
    std::size_t shownBytes_ = 0;   // the view shows the buffer's text up to here
    std::string shownStatus_;
    std::optional<std::int32_t> shownCount_;
    // Set by other threads; a wake is posted only when none is on its way.
    std::atomic<bool> dirty_{false};
    std::atomic<bool> wakePosted_{false};
};

}  // namespace vennick
