#pragma once

#include <cstdint>

namespace vennick {

// What the window does with the timer and the view for a wait index ("0秒" .. "5秒").
struct AutoWriteSetting {
    bool timerEnabled = false;
    int intervalMs = 0;
    bool viewReadOnly = false;
    friend bool operator==(const AutoWriteSetting&, const AutoWriteSetting&) = default;
};

AutoWriteSetting autoWriteSettingFor(std::int32_t waitIndex);

// An EOT requests a write only while automatic writing is on.
inline bool autoWriteOn(std::int32_t waitIndex) { return waitIndex > 0; }

// The one-second tick count: the write happens on the wait-index-th tick that finds lines
// ("5秒", index 4, on the fourth); a negative index writes on every tick that finds lines.
class AutoWriteTicker {
public:
    enum class Decision { Idle, Wait, Write };

    Decision tick(bool bufferHasLines, std::int32_t waitIndex);

    // After any successful write, and after a timer write that did not raise its error.
    void restart() { count_ = 0; }

    std::int32_t count() const { return count_; }

private:
    std::int32_t count_ = 0;
};

}  // namespace vennick
