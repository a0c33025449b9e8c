#include "app/qt_notifier.h"

#include <QMessageBox>
#include <QPushButton>

#include "app/app_texts.h"

namespace vennick {
namespace {

void prepare(QMessageBox& box) {
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.setTextFormat(Qt::PlainText);
}

}  // namespace

void QtNotifier::inform(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, title_, QString::fromStdString(text), QMessageBox::Ok);
    prepare(box);
    box.exec();
}

bool QtNotifier::confirm(const std::string& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("確認"), QString::fromStdString(text));
    QPushButton* yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    prepare(box);
    box.exec();
    return box.clickedButton() == yes;
}

void QtNotifier::showError(const std::string& message) {
    QMessageBox box(QMessageBox::Critical, title_, QString::fromStdString(errorBoxText(message)),
                    QMessageBox::Ok);
    prepare(box);
    box.exec();
}

}  // namespace vennick
