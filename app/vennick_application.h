#pragma once

#include <QApplication>
#include <QIcon>

namespace vennick {

class Notifier;

// Shows every error that escapes an event handler in the error box; the run goes on.
class VennickApplication : public QApplication {
public:
    VennickApplication(int& argc, char** argv, Notifier*& notifier)
        : QApplication(argc, argv), notifier_(notifier) {}

    bool notify(QObject* receiver, QEvent* event) override;

private:
    Notifier*& notifier_;
};

// The serial plug of the start button, in every size the program carries.
QIcon programIcon();

// The Japanese fonts the windows ask for, mapped to what the system has (IPA Gothic on Linux).
void registerFontSubstitutes();

}  // namespace vennick
