#pragma once

#include <QObject>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "RS232CFunc/state/run_state.h"
#include "RS232CFunc/ui/memo_edit.h"

class QAction;
class QLabel;
class QTimer;

namespace vennick {

class LineGate;

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
// Memo1 always shows a prefix of the buffer: received lines are appended to the view at the
// next flush (a fast stream is repainted at most once per flush period), every other change of
// the buffer reaches the view at once, and whatever the operator does to the view first brings
// it up to date. The operator's own edits go the other way, as edits: the changed range of the
// document is mapped onto the buffer's bytes and replaced there. So an edit can never bring back
// a written or erased line, nor drop one still to be shown.
//
// Positions: a row of the view is a line of the buffer; a row break counts as CR LF, every
// other character as its UTF-8 bytes (a non-breaking space stays one, two bytes long).
class MemoViewSync : public QObject, public RunStateView {
    Q_OBJECT

public:
    MemoViewSync(LineGate& gate, int flushPeriodMs, QObject* parent = nullptr);

    void attach(RunState& state, const RunStateWidgets& widgets);

    // While a batch of received lines is applied, what it changes waits for the next flush.
    class ReceivedBatch {
    public:
        explicit ReceivedBatch(MemoViewSync& sync) : sync_(sync), outer_(sync.receiving_) {
            sync_.receiving_ = true;
        }
        ~ReceivedBatch() { sync_.receiving_ = outer_; }
        ReceivedBatch(const ReceivedBatch&) = delete;
        ReceivedBatch& operator=(const ReceivedBatch&) = delete;

    private:
        MemoViewSync& sync_;
        bool outer_;
    };

    // Shows everything still pending now.
    void flush();

    // The row holding the start of the selection (the caret when nothing is selected); -1 when
    // it is the empty row after the shown lines while more lines wait to be shown.
    int caretLine() const;

    void setEditable(bool editable);

    // RunStateView
    void statusChanged() override;
    void showWrittenCount(std::int32_t count) override;
    void showActions(const ActionStates& states) override;
    void textAppended() override;
    void lineRemoved(int index) override;
    void textCleared() override;
    void selectLine(const LineSelection& selection) override;
    void lineCountChanged(int count) override;

private:
    void operatorEdited(int position, int added);
    void showPending();
    void flushLabelsAndActions();
    void flushText();
    void placeCaret(int position);
    void scrollToLastLine();
    std::size_t viewLineStart(int row) const;

    LineGate& gate_;
    RunState* state_ = nullptr;
    RunStateWidgets widgets_;
    QTimer* flushTimer_ = nullptr;
    bool receiving_ = false;
    bool updatingView_ = false;   // our own edits of the document are not the operator's
    std::size_t shownBytes_ = 0;  // the view shows buffer().text() up to here
    std::string shownStatus_;
    std::int32_t writtenCount_ = 0;
    std::optional<std::int32_t> shownCount_;
    ActionStates actions_;
};

}  // namespace vennick
