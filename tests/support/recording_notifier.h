#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "settings/notifier.h"

namespace vennick::test {

// Records every box the program shows and answers confirmations from a script (default: No).
class RecordingNotifier : public Notifier {
public:
    void inform(const std::string& text) override { informed.push_back(text); }
    bool confirm(const std::string& text) override {
        asked.push_back(text);
        if (whileAsked) whileAsked();  // what happens while the question is open
        if (answers.empty()) return false;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void showError(const std::string& message) override {
        errors.push_back(message);
        if (whileErrorShown) whileErrorShown();  // what happens while a modal box is open
    }

    std::vector<std::string> informed;
    std::vector<std::string> asked;
    std::vector<std::string> errors;
    std::deque<bool> answers;
    std::function<void()> whileErrorShown;
    std::function<void()> whileAsked;
};

}  // namespace vennick::test
