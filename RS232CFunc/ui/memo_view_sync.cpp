#include "RS232CFunc/ui/memo_view_sync.h"

#include <QAction>
#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

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

// Bytes of the document from `position` to its end.
std::size_t bufferLengthFrom(const QTextDocument& document, int position) {
    QTextBlock block = document.findBlock(position);
    std::size_t bytes = bufferLength(QStringView(block.text()).mid(position - block.position()));
    for (block = block.next(); block.isValid(); block = block.next()) {
        bytes += kLineEndBytes + bufferLength(block.text());
    }
    return bytes;
}

// Bytes of the document from its start to `position`.
std::size_t bufferOffsetOf(const QTextDocument& document, int position) {
    const QTextBlock target = document.findBlock(position);
    std::size_t bytes = 0;
    for (QTextBlock block = document.begin(); block != target; block = block.next()) {
        bytes += bufferLength(block.text()) + kLineEndBytes;
    }
    return bytes + bufferLength(QStringView(target.text()).left(position - target.position()));
}

// A row that holds a line: every row but an empty last one.
bool holdsLine(const QTextBlock& row) {
    return row.isValid() && (row.next().isValid() || row.length() > 1);
}

class Updating {
public:
    explicit Updating(bool& flag) : flag_(flag), outer_(flag) { flag_ = true; }
    ~Updating() { flag_ = outer_; }
    Updating(const Updating&) = delete;
    Updating& operator=(const Updating&) = delete;

private:
    bool& flag_;
    bool outer_;
};

}  // namespace

// --- MemoViewSync -------------------------------------------------------------------------

MemoViewSync::MemoViewSync(int flushPeriodMs, QObject* parent)
    : QObject(parent), flushTimer_(new QTimer(this)) {
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(flushPeriodMs);
    connect(flushTimer_, &QTimer::timeout, this, &MemoViewSync::periodEnded);
}

void MemoViewSync::attach(RunState& state, const RunStateWidgets& widgets,
                          std::function<void(const std::string&)> showError) {
    state_ = &state;
    widgets_ = widgets;
    showError_ = std::move(showError);
    MemoEdit* memo = widgets_.memo;
    connect(memo->document(), &QTextDocument::contentsChange, this,
            [this](int position, int /*removed*/, int added) { operatorEdited(position, added); });
    // Only the operator's selections: the state sets its own as it changes the view (under its
    // lock, which a signal from there must not take again).
    connect(memo, &QPlainTextEdit::selectionChanged, this, [this] {
        if (stateCalling_) return;
        const QTextCursor cursor = widgets_.memo->textCursor();
        state_->selectionLengthChanged(cursor.selectionEnd() - cursor.selectionStart());
    });
    connect(memo, &MemoEdit::aboutToEdit, this, &MemoViewSync::flush);
}

void MemoViewSync::setEditable(bool editable) {
    widgets_.memo->setReadOnly(!editable);
}

void MemoViewSync::flush() {
    flushTimer_->stop();
    if (state_) state_->showState();
}

// --- Waking the window's thread -----------------------------------------------------------

// Any thread. The first change of a quiet spell posts one wake; from then on the flush timer
// takes whatever changed in its period, until a period passes without change.
void MemoViewSync::changed() {
    dirty_.store(true);
    if (wakePosted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!flushTimer_->isActive()) flushTimer_->start();
        },
        Qt::QueuedConnection);
}

void MemoViewSync::periodEnded() {
    if (dirty_.exchange(false)) {
        flush();
        flushTimer_->start();
        return;
    }
    wakePosted_.store(false);
    // A change between the look and the reset posted no wake: take it up here.
    if (dirty_.load() && !wakePosted_.exchange(true)) flushTimer_->start();
}

void MemoViewSync::errorRaised(const std::string& message) {
    QMetaObject::invokeMethod(
        this, [this, message] { showError_(message); }, Qt::QueuedConnection);
}

// --- Buffer to view -----------------------------------------------------------------------

// Under the run state's lock: the written rows leave the view, the received ones join it.
void MemoViewSync::catchUp(const ShownState& state) {
    const Updating calling(stateCalling_);
    const bool allShownWritten = state.writtenBytes >= shownFrom_ + shownBytes_;
    if (rebuildPending_ || state.writtenBytes < shownFrom_ || allShownWritten) {
        showAfresh(state);  // a fast stream: what was shown is written, the rest is new
    } else {
        if (state.writtenBytes > shownFrom_) removeWrittenRows(state.writtenBytes - shownFrom_);
        shownFrom_ = state.writtenBytes;
        if (state.text.size() < shownBytes_) {
            showAfresh(state);  // cannot be: every other change of the text is told
        } else if (state.text.size() > shownBytes_) {
            appendText(std::string_view(state.text).substr(shownBytes_));
        }
    }
    showLabelsAndActions(state);
}

// The whole text in one edit of the document.
void MemoViewSync::showAfresh(const ShownState& state) {
    rebuildPending_ = false;
    QTextCursor all(widgets_.memo->document());
    all.select(QTextCursor::Document);
    {
        Updating updating(updatingView_);
        if (state.text.empty()) {
            all.removeSelectedText();
        } else {
            all.insertText(viewForm(state.text));
        }
    }
    shownFrom_ = state.writtenBytes;
    shownBytes_ = state.text.size();
    placeCaret(all.position());
    scrollToLastLine();
}

// Some of the shown rows were written: they are whole rows at the top of the view.
void MemoViewSync::removeWrittenRows(std::uint64_t bytes) {
    QTextDocument& document = *widgets_.memo->document();
    Updating updating(updatingView_);
    std::size_t removed = 0;
    QTextBlock row = document.begin();
    while (row.isValid() && row.next().isValid() &&
           removed + bufferLength(row.text()) + kLineEndBytes <= bytes) {
        removed += bufferLength(row.text()) + kLineEndBytes;
        row = row.next();
    }
    QTextCursor top(&document);
    top.setPosition(row.position(), QTextCursor::KeepAnchor);
    top.removeSelectedText();
    shownBytes_ -= removed;
    placeCaret(document.characterCount() - 1);
    scrollToLastLine();
}

// Appended lines move the caret behind them, and the view scrolls to the last line.
void MemoViewSync::appendText(std::string_view text) {
    if (text.empty()) return;
    QTextCursor end(widgets_.memo->document());
    end.movePosition(QTextCursor::End);
    {
        Updating updating(updatingView_);
        end.insertText(viewForm(text));
    }
    shownBytes_ += text.size();
    placeCaret(end.position());
    scrollToLastLine();
}

int MemoViewSync::caretLine() const {
    const QTextDocument* document = widgets_.memo->document();
    return document->findBlock(widgets_.memo->textCursor().selectionStart()).blockNumber();
}

void MemoViewSync::lineRemoved(int index) {
    const Updating calling(stateCalling_);
    QTextBlock row = widgets_.memo->document()->findBlockByNumber(index);
    if (!holdsLine(row)) return;
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

// The erase while a batch is being written keeps the batch: the view keeps its rows, up to the
// end of its last line, and with the line end when the batch had one.
void MemoViewSync::textCutAt(std::size_t keptBytes) {
    const Updating calling(stateCalling_);
    QTextDocument& document = *widgets_.memo->document();
    std::size_t left = keptBytes;
    QTextBlock row = document.begin();
    int cut = document.characterCount() - 1;
    for (; row.isValid(); row = row.next()) {
        const std::size_t length = bufferLength(row.text());
        if (left <= length) {
            cut = row.position() + static_cast<int>(row.text().size());
            if (left == 0) cut = row.position();
            break;
        }
        left -= std::min(left, length + kLineEndBytes);
        if (left == 0 && row.next().isValid()) {
            cut = row.next().position();
            break;
        }
    }
    QTextCursor rest(&document);
    rest.setPosition(cut);
    rest.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    {
        Updating updating(updatingView_);
        rest.removeSelectedText();
    }
    shownBytes_ = std::min(shownBytes_, keptBytes);
    placeCaret(document.characterCount() - 1);
}

void MemoViewSync::selectLine(const LineSelection& selection) {
    const Updating calling(stateCalling_);
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

// --- View to buffer -----------------------------------------------------------------------

// The operator changed the document: the characters from `position` to `position + added` are
// new, everything before and after is as it was. The same change is made to the buffer; one it
// refuses (it touched lines written or being written) is undone by showing the buffer afresh.
void MemoViewSync::operatorEdited(int position, int added) {
    if (updatingView_ || !state_) return;
    const QTextDocument& document = *widgets_.memo->document();
    const int textEnd = document.characterCount() - 1;  // the closing row break is no text
    const int end = std::min(position + added, textEnd);
    position = std::min(position, end);

    const std::size_t offset = bufferOffsetOf(document, position);
    QTextCursor range(widgets_.memo->document());
    range.setPosition(position);
    range.setPosition(end, QTextCursor::KeepAnchor);
    const std::string inserted = bufferForm(range.selectedText());
    const std::size_t unchangedTail = bufferLengthFrom(document, end);
    const bool consistent = offset + unchangedTail <= shownBytes_;
    const std::size_t removed = consistent ? shownBytes_ - offset - unchangedTail : 0;
    if (consistent && state_->applyViewEdit(shownFrom_ + offset, removed, inserted)) {
        shownBytes_ = shownBytes_ - removed + inserted.size();
        return;
    }
    rebuildPending_ = true;
    QMetaObject::invokeMethod(this, &MemoViewSync::flush, Qt::QueuedConnection);
}

// --- Labels and actions -------------------------------------------------------------------

void MemoViewSync::showLabelsAndActions(const ShownState& state) {
    if (shownStatus_ != state.status) {
        shownStatus_ = state.status;
        widgets_.status->setText(QString::fromStdString(shownStatus_));
    }
    if (shownCount_ != state.writtenCount) {
        shownCount_ = state.writtenCount;
        widgets_.writtenCount->setText(countText(state.writtenCount));
    }
    widgets_.write->setEnabled(state.actions.write);
    widgets_.erase->setEnabled(state.actions.erase);
    widgets_.deleteLine->setEnabled(state.actions.deleteLine);
}

}  // namespace vennick
