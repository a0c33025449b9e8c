#include "app/instance_guard.h"

#include "settings/windows_api.h"

namespace vennick {

InstanceGuard::InstanceGuard(const std::string& name) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    if (mutex == nullptr) {
        outcome_ = Outcome::Failed;
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Not ours: the owner flag is ignored for an existing mutex, so this release fails
        // harmlessly; the handle must still go.
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        outcome_ = Outcome::AlreadyRunning;
        return;
    }
    native_ = reinterpret_cast<std::intptr_t>(mutex);
    outcome_ = Outcome::Acquired;
}

InstanceGuard::~InstanceGuard() {
    release();
}

void InstanceGuard::release() {
    if (native_ == 0) return;
    HANDLE mutex = reinterpret_cast<HANDLE>(native_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    native_ = 0;
}

std::string instanceLockPath(const std::string& name) {
    return name;
}

}  // namespace vennick
