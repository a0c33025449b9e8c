#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vennick::testing {

// A guard_probe started beside the test executable, with pipes on its standard input and
// output. One implementation per OS.
class ProbeProcess {
public:
    static std::unique_ptr<ProbeProcess> start(const std::vector<std::string>& args);

    virtual ~ProbeProcess() = default;

    // The next line of its output without the line end; empty at end of output.
    virtual std::string readLine() = 0;
    // Ends its input, which lets a holding probe go.
    virtual void closeInput() = 0;
    // Ends it abruptly, as a crash would.
    virtual void kill() = 0;
    // Waits for its end; its exit code.
    virtual int wait() = 0;
};

}  // namespace vennick::testing
