#include "RS232CFunc/state/auto_write.h"

#include <limits>

namespace vennick {

AutoWriteSetting autoWriteSettingFor(std::int32_t waitIndex) {
    if (waitIndex == 0) return {.timerEnabled = false, .intervalMs = 0, .viewReadOnly = false};
    return {.timerEnabled = true, .intervalMs = 1000, .viewReadOnly = true};
}

AutoWriteTicker::Decision AutoWriteTicker::tick(bool bufferHasLines, std::int32_t waitIndex) {
    if (!bufferHasLines) {
        count_ = 0;
        return Decision::Idle;
    }
    // A directory error keeps the count going tick after tick; it must not overflow.
    if (count_ < std::numeric_limits<std::int32_t>::max()) ++count_;
    return count_ < waitIndex ? Decision::Wait : Decision::Write;
}

}  // namespace vennick
