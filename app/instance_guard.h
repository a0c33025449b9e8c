#pragma once

#include <cstdint>
#include <string>

namespace vennick {

// The name that keeps a second copy of the program from starting (one per logged-on user).
inline constexpr const char* kInstanceMutexName = "mutex_ID_for_Vennick";

// Holds the single-instance lock for as long as it lives. On Windows a named mutex created
// already owned; elsewhere an exclusive lock on a per-user file named after it, which the
// kernel drops when the process dies.
class InstanceGuard {
public:
    enum class Outcome {
        Acquired,        // this process is the only copy
        AlreadyRunning,  // another copy holds the lock; nothing is held here
        Failed,          // the lock could not be created; the program goes on without it
    };

    explicit InstanceGuard(const std::string& name = kInstanceMutexName);
    ~InstanceGuard();

    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    Outcome outcome() const { return outcome_; }

    // Gives the lock back early; the destructor then does nothing.
    void release();

private:
    Outcome outcome_ = Outcome::Failed;
    std::intptr_t native_ = 0;  // the mutex handle, or the locked file's descriptor + 1
};

// Where the lock lives: the file that carries it on POSIX systems, the mutex name on Windows.
std::string instanceLockPath(const std::string& name);

}  // namespace vennick
