#include "RS232CFunc/ui/memo_edit.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

namespace vennick {

void MemoEdit::keyPressEvent(QKeyEvent* event) {
    emit aboutToEdit();
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & Qt::ShiftModifier)) {
        QKeyEvent plain(event->type(), event->key(), event->modifiers() & ~Qt::ShiftModifier,
                        event->text(), event->isAutoRepeat(), static_cast<quint16>(event->count()));
        QPlainTextEdit::keyPressEvent(&plain);
        event->setAccepted(plain.isAccepted());
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MemoEdit::inputMethodEvent(QInputMethodEvent* event) {
    emit aboutToEdit();
    QPlainTextEdit::inputMethodEvent(event);
}

void MemoEdit::mousePressEvent(QMouseEvent* event) {
    emit aboutToEdit();  // the click then lands on the view as it is now
    QPlainTextEdit::mousePressEvent(event);
}

void MemoEdit::dragEnterEvent(QDragEnterEvent* event) {
    emit aboutToEdit();
    QPlainTextEdit::dragEnterEvent(event);
}

void MemoEdit::dragMoveEvent(QDragMoveEvent* event) {
    emit aboutToEdit();
    QPlainTextEdit::dragMoveEvent(event);
}

// The menu's actions run after it has closed, and they run on the text as it is then.
void MemoEdit::contextMenuEvent(QContextMenuEvent* event) {
    emit aboutToEdit();
    QMenu* menu = createStandardContextMenu(event->pos());
    connect(menu, &QMenu::aboutToHide, this, &MemoEdit::aboutToEdit);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void MemoEdit::insertFromMimeData(const QMimeData* source) {
    emit aboutToEdit();
    if (!source->hasText()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    QString text = source->text();
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    QMimeData plain;
    plain.setText(text);
    QPlainTextEdit::insertFromMimeData(&plain);
}

}  // namespace vennick
