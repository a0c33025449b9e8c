#pragma once

#include <memory>
#include <string>
#include <thread>

#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/state/run_state.h"

namespace vennick {

// Runs the log writes on a thread of their own: a log directory on a share that stops answering
// holds up this thread alone, never reception or the window.
class LogWriteThread : public BatchWriter {
public:
    // `writer` (with its guard) is used on the thread only.
    explicit LogWriteThread(LogWriter writer, int joinTimeoutMs = 2000);
    // Waits up to the join time-out for a write under way; one that still hangs then is let go
    // (the thread keeps what it uses), and its outcome is told to nobody.
    ~LogWriteThread() override;
    LogWriteThread(const LogWriteThread&) = delete;
    LogWriteThread& operator=(const LogWriteThread&) = delete;

    void submit(std::string logDirectory, std::string text, Done done) override;

private:
    struct Shared;

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    int joinTimeoutMs_;
};

}  // namespace vennick
