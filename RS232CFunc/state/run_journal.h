#pragma once

#include <cstdint>

#include "RS232CFunc/state/line_buffer.h"

namespace vennick {

// What the run state tells the crash journal, beyond the buffer's own changes. Called with the
// run state locked, so in the order the changes happen.
class RunJournal : public LineBufferObserver {
public:
    // The log write under way failed; the file is as it was and the buffer keeps its lines.
    virtual void writeAbandoned() = 0;
    // The lines just appended came from the lines waiting beyond the list, up to this number.
    virtual void waitingTaken(std::uint64_t waiting) = 0;
};

}  // namespace vennick
