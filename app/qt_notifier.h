#pragma once

#include <QString>

#include "settings/notifier.h"

namespace vennick {

// The real message boxes, centred on the screen and kept above the always-on-top main window.
class QtNotifier : public Notifier {
public:
    explicit QtNotifier(QString applicationTitle) : title_(std::move(applicationTitle)) {}

    void inform(const std::string& text) override;
    bool confirm(const std::string& text) override;
    void showError(const std::string& message) override;

private:
    QString title_;
};

}  // namespace vennick
