#pragma once

#include <QPlainTextEdit>

namespace vennick {

// Memo1's widget. It says when the operator is about to act on its text (a key, the input
// method, a click, a drag, pasting, the context menu), so that the text can be brought up to
// date first. A line end is always a real row break: Shift+Enter and pasted or dropped line
// separators (U+2028) would otherwise make one row of the view hold two lines.
class MemoEdit : public QPlainTextEdit {
    Q_OBJECT

public:
    using QPlainTextEdit::QPlainTextEdit;

signals:
    void aboutToEdit();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;
};

}  // namespace vennick
