#pragma once

#include <QObject>
#include <QStringList>

class QComboBox;

namespace vennick {

// The entry an edit leaves selected, letter case ignored: after a typed character the first
// entry in list order that begins with the text, after any other edit the first that equals it;
// -1 for none and for an empty text.
int typeAheadMatch(const QStringList& entries, const QString& text, bool typed);

// Completes what the operator types into an editable combo box. After each typed character the
// first entry that begins with the text so far is selected and its remaining characters are
// filled in and highlighted. Any other edit (Backspace, Delete, pasting) completes nothing, so
// Backspace takes the highlighted completion away and leaves what was typed. Enter does nothing.
class TypeAhead : public QObject {
    Q_OBJECT

public:
    // `combo` must be editable already; it owns the type-ahead.
    explicit TypeAhead(QComboBox& combo);

signals:
    // An edit of the operator selected another entry than before (-1: none).
    void selectionChanged(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void edited(const QString& text);
    QStringList entries() const;

    QComboBox& combo_;
    bool typing_ = false;  // the edit under way comes from a typed character
};

}  // namespace vennick
