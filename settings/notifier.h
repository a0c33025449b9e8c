#pragma once

#include <string>

namespace vennick {

// The three message boxes the operator is told things through. The program gives the real
// boxes; tests give a recorder, so nothing ever blocks on a modal box. Texts are UTF-8.
class Notifier {
public:
    virtual ~Notifier() = default;

    // Information box: application title as caption, no icon, one OK button.
    virtual void inform(const std::string& text) = 0;

    // Confirmation box "確認": true only when the operator answered "はい(&Y)".
    virtual bool confirm(const std::string& text) = 0;

    // Standard error box: the message with the error-box "." rule applied by the implementation.
    virtual void showError(const std::string& message) = 0;
};

}  // namespace vennick
