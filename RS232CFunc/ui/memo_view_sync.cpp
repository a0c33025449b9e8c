#include "RS232CFunc/ui/memo_view_sync.h"

#include <QAction>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "RS232CFunc/receive/receive_thread.h"

namespace vennick {
namespace {

constexpr std::size_t kLineEndBytes = 2;  // CR LF

QString countText(std::int32_t count) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d", static_cast<int>(count));
    return QString::fromLatin1(text);
}

// The buffer's bytes as the view shows them: LF line ends.
QString viewForm(std::string_view bufferText) {
    QString text = QString::fromUtf8(bufferText.data(), static_cast<qsizetype>(bufferText.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

// The length in the buffer of a piece of the document's text: a row break (U+2029 in a
// cursor's selected text) is CR LF, everything else UTF-8.
std::size_t bufferLength(QStringView text) {
    std::size_t bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += unit == QChar::ParagraphSeparator ? kLineEndBytes : 3;
        }
    }
    return bytes;
}

std::string bufferForm(QString text) {
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    return text.toStdString();
}

// The whole document as the buffer holds it: rows joined by CR LF.
std::string bufferForm(const QTextDocument& document) {
    std::string text;
    for (QTextBlock row = document.begin(); row.isValid(); row = row.next()) {
        if (row != document.begin()) text += "\r\n";
        text += row.text().toStdString();
    }
    return text;
}

// Bytes of the document from `position` to its end.
std::size_t bufferLengthFrom(const QTextDocument& document, int position) {
    QTextBlock block = document.findBlock(position);
    std::size_t bytes = bufferLength(QStringView(block.text()).mid(position - block.position()));
    for (block = block.next(); block.isValid(); block = block.next()) {
        bytes += kLineEndBytes + bufferLength(block.text());
    }
    return bytes;
}

// A row that holds a line: every row but an empty last one.
bool holdsLine(const QTextBlock& row) {
    return row.isValid() && (row.next().isValid() || row.length() > 1);
}

class Updating {
public:
    explicit Updating(bool& flag) : flag_(flag) { flag_ = true; }
    ~Updating() { flag_ = false; }
    Updating(const Updating&) = delete;
    Updating& operator=(const Updating&) = delete;

private:
    bool& flag_;
};

}  // namespace

// --- MemoViewSync -------------------------------------------------------------------------

MemoViewSync::MemoViewSync(LineGate& gate, int flushPeriodMs, QObject* parent)
    : QObject(parent), gate_(gate), flushTimer_(new QTimer(this)) {
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(flushPeriodMs);
    connect(flushTimer_, &QTimer::timeout, this, &MemoViewSync::flush);
}

void MemoViewSync::attach(RunState& state, const RunStateWidgets& widgets) {
    state_ = &state;
    widgets_ = widgets;
    MemoEdit* memo = widgets_.memo;
    connect(memo->document(), &QTextDocument::contentsChange, this,
            [this](int position, int /*removed*/, int added) { operatorEdited(position, added); });
    connect(memo, &QPlainTextEdit::selectionChanged, this, [this] {
        const QTextCursor cursor = widgets_.memo->textCursor();
        state_->selectionLengthChanged(cursor.selectionEnd() - cursor.selectionStart());
    });
    connect(memo, &MemoEdit::aboutToEdit, this, &MemoViewSync::flush);
}

void MemoViewSync::setEditable(bool editable) {
    widgets_.memo->setReadOnly(!editable);
}

int MemoViewSync::caretLine() const {
    const QTextDocument* document = widgets_.memo->document();
    const QTextBlock row = document->findBlock(widgets_.memo->textCursor().selectionStart());
    const bool moreToShow = shownBytes_ < state_->buffer().text().size();
    if (moreToShow && !holdsLine(row)) return -1;  // the buffer's next line is not in sight yet
    return row.blockNumber();
}

// The operator changed the document: the characters from `position` to `position + added` are
// new, everything before and after is as it was. The same change is made to the buffer.
void MemoViewSync::operatorEdited(int position, int added) {
    if (updatingView_ || !state_) return;
    const QTextDocument& document = *widgets_.memo->document();
    const int textEnd = document.characterCount() - 1;  // the closing row break is no text
    const int end = std::min(position + added, textEnd);
    position = std::min(position, end);

    const QTextBlock row = document.findBlock(position);
    const std::size_t offset =
        viewLineStart(row.blockNumber()) +
        bufferLength(QStringView(row.text()).left(position - row.position()));
    QTextCursor range(widgets_.memo->document());
    range.setPosition(position);
    range.setPosition(end, QTextCursor::KeepAnchor);
    const std::string inserted = bufferForm(range.selectedText());
    const std::size_t unchangedTail = bufferLengthFrom(document, end);
    if (offset + unchangedTail > shownBytes_) {
        // Cannot be, as the view holds exactly the shown bytes. Should it ever, the shown part
        // is taken from the view whole; the lines still to be shown stay as they are.
        const std::string shown = bufferForm(document);
        state_->applyViewEdit(0, shownBytes_, shown);
        shownBytes_ = shown.size();
        return;
    }
    const std::size_t removed = shownBytes_ - offset - unchangedTail;
    state_->applyViewEdit(offset, removed, inserted);
    shownBytes_ = shownBytes_ - removed + inserted.size();
}

// Where a row of the view starts in the buffer; the rows up to the shown end are the buffer's.
std::size_t MemoViewSync::viewLineStart(int row) const {
    if (row == 0) return 0;
    const auto start = static_cast<std::size_t>(state_->buffer().offsetOf({row, 0, 0}));
    return std::min(start, shownBytes_);
}

// --- Buffer to view -----------------------------------------------------------------------

void MemoViewSync::textAppended() {
    if (!flushTimer_->isActive()) flushTimer_->start();
}

void MemoViewSync::lineRemoved(int index) {
    QTextBlock row = widgets_.memo->document()->findBlockByNumber(index);
    if (!holdsLine(row)) return;  // not shown yet: the next flush shows the buffer without it
    QTextCursor line(row);
    if (row.next().isValid()) {
        line.setPosition(row.next().position(), QTextCursor::KeepAnchor);
        shownBytes_ -= bufferLength(row.text()) + kLineEndBytes;
    } else {
        line.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        shownBytes_ -= bufferLength(row.text());
    }
    {
        Updating updating(updatingView_);
        line.removeSelectedText();
    }
    placeCaret(line.position());
}

void MemoViewSync::textCleared() {
    if (shownBytes_ == 0 && widgets_.memo->document()->isEmpty()) return;
    {
        Updating updating(updatingView_);
        widgets_.memo->clear();
    }
    shownBytes_ = 0;
}

void MemoViewSync::selectLine(const LineSelection& selection) {
    const QTextBlock row = widgets_.memo->document()->findBlockByNumber(selection.line);
    const QByteArray line = row.text().toUtf8();
    const auto chars = [&](int from, int bytes) {
        return static_cast<int>(QString::fromUtf8(line.mid(from, bytes)).size());
    };
    const int start = row.position() + chars(0, selection.column);
    widgets_.memo->setFocus();
    QTextCursor cursor(widgets_.memo->document());
    cursor.setPosition(start);
    cursor.setPosition(start + chars(selection.column, selection.length), QTextCursor::KeepAnchor);
    widgets_.memo->setTextCursor(cursor);
}

void MemoViewSync::lineCountChanged(int count) {
    gate_.publish(count);
}

// Appended lines move the caret behind them, and the view scrolls to the last line.
void MemoViewSync::flushText() {
    const std::string& text = state_->buffer().text();
    if (shownBytes_ == text.size()) return;
    QTextCursor end(widgets_.memo->document());
    end.movePosition(QTextCursor::End);
    {
        Updating updating(updatingView_);
        end.insertText(viewForm(std::string_view(text).substr(shownBytes_)));
    }
    shownBytes_ = text.size();
    placeCaret(end.position());
    scrollToLastLine();
}

void MemoViewSync::placeCaret(int position) {
    QTextCursor caret(widgets_.memo->document());
    caret.setPosition(position);
    widgets_.memo->setTextCursor(caret);
}

// The caret sits in the empty row after the last line end; the rows in sight end with the last
// line instead, so that every visible row holds one.
void MemoViewSync::scrollToLastLine() {
    QPlainTextEdit& memo = *widgets_.memo;
    const QTextDocument& document = *memo.document();
    int last = document.blockCount() - 1;
    if (last > 0 && !holdsLine(document.lastBlock())) --last;
    const int rowHeight = memo.fontMetrics().lineSpacing();
    const int rows =
        std::max(1, (memo.viewport()->height() - 2 * static_cast<int>(document.documentMargin())) /
                        rowHeight);
    QScrollBar* bar = memo.verticalScrollBar();
    bar->setValue(std::clamp(last - rows + 1, 0, bar->maximum()));
}

// --- Labels and actions -------------------------------------------------------------------

void MemoViewSync::statusChanged() {
    showPending();
}

void MemoViewSync::showWrittenCount(std::int32_t count) {
    writtenCount_ = count;
    showPending();
}

void MemoViewSync::showActions(const ActionStates& states) {
    actions_ = states;
    showPending();
}

// What the operator does shows at once; what received lines do waits for the next flush.
void MemoViewSync::showPending() {
    if (!receiving_) {
        flushLabelsAndActions();
    } else if (!flushTimer_->isActive()) {
        flushTimer_->start();
    }
}

// A fast stream changes the buffer and the status line thousands of times a second; the widgets
// follow at most once per flush period, and only where something changed.
void MemoViewSync::flush() {
    flushTimer_->stop();
    if (!state_) return;
    flushLabelsAndActions();
    flushText();
}

void MemoViewSync::flushLabelsAndActions() {
    if (shownStatus_ != state_->status()) {
        shownStatus_ = state_->status();
        widgets_.status->setText(QString::fromStdString(shownStatus_));
    }
    if (shownCount_ != writtenCount_) {
        shownCount_ = writtenCount_;
        widgets_.writtenCount->setText(countText(writtenCount_));
    }
    widgets_.write->setEnabled(actions_.write);
    widgets_.erase->setEnabled(actions_.erase);
    widgets_.deleteLine->setEnabled(actions_.deleteLine);
}

}  // namespace vennick
