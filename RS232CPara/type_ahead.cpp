#include "RS232CPara/type_ahead.h"

#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

namespace vennick {
namespace {

bool isTypedCharacter(const QKeyEvent& key) {
    const QString text = key.text();
    return !text.isEmpty() && text[0].isPrint() &&
           !(key.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

bool isEnter(const QKeyEvent& key) {
    return key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

}  // namespace

int typeAheadMatch(const QStringList& entries, const QString& text, bool typed) {
    if (text.isEmpty()) return -1;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const bool fits = typed ? entries[i].startsWith(text, Qt::CaseInsensitive)
                                : entries[i].compare(text, Qt::CaseInsensitive) == 0;
        if (fits) return static_cast<int>(i);
    }
    return -1;
}

TypeAhead::TypeAhead(QComboBox& combo) : QObject(&combo), combo_(combo) {
    // Keys reach the text field directly or through the box, which passes them on unfiltered.
    combo_.installEventFilter(this);
    combo_.lineEdit()->installEventFilter(this);
    connect(combo_.lineEdit(), &QLineEdit::textEdited, this, &TypeAhead::edited);
}

bool TypeAhead::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            const auto& key = static_cast<const QKeyEvent&>(*event);
            if (isEnter(key)) return true;  // would select an entry equal to the text
            typing_ = isTypedCharacter(key);
            break;
        }
        case QEvent::InputMethod:
            typing_ = !static_cast<const QInputMethodEvent&>(*event).commitString().isEmpty();
            break;
        case QEvent::ContextMenu:
        case QEvent::Drop:
            typing_ = false;
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

void TypeAhead::edited(const QString& text) {
    QLineEdit& edit = *combo_.lineEdit();
    const bool typed = typing_ && edit.cursorPosition() == text.size();
    typing_ = false;
    const int before = combo_.currentIndex();
    const int match = typeAheadMatch(entries(), text, typed);
    const int caret = edit.cursorPosition();
    if (match != before) combo_.setCurrentIndex(match);  // also sets the box's text
    if (typed && match >= 0) {
        const QString entry = combo_.itemText(match);
        edit.setText(entry);
        edit.setSelection(static_cast<int>(text.size()),
                          static_cast<int>(entry.size() - text.size()));
    } else {
        edit.setText(text);
        edit.setCursorPosition(caret);
    }
    if (match != before) emit selectionChanged(match);
}

QStringList TypeAhead::entries() const {
    QStringList list;
    list.reserve(combo_.count());
    for (int i = 0; i < combo_.count(); ++i) list.push_back(combo_.itemText(i));
    return list;
}

}  // namespace vennick
