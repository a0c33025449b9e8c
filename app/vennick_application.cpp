#include "app/vennick_application.h"

#include <QDir>
#include <QFont>

#include "settings/app_error.h"
#include "settings/notifier.h"

namespace vennick {

bool VennickApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const AppError& error) {
        if (notifier_) notifier_->showError(error.what());
    } catch (...) {
        if (notifier_) notifier_->showError("");  // not ours: shown without a message
    }
    return false;
}

QIcon programIcon() {
    QIcon icon;
    const QDir icons(QStringLiteral(":/icons"));
    for (const QString& name : icons.entryList(QDir::Files)) icon.addFile(icons.filePath(name));
    return icon;
}

void registerFontSubstitutes() {
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"),
                               {QStringLiteral("IPAPGothic"), QStringLiteral("MS PGothic")});
    QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"),
                               {QStringLiteral("IPAGothic"), QStringLiteral("MS Gothic")});
}

}  // namespace vennick
