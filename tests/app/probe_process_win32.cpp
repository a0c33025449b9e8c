#include <windows.h>

#include <stdexcept>

#include "tests/app/probe_process.h"

namespace vennick::testing {

namespace {

std::string probePath() {
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error("cannot find the test executable");
    std::string self(buffer, length);
    return self.substr(0, self.rfind('\\') + 1) + "guard_probe.exe";
}

// Built by appending: GCC 12 at -O2 and above flags `"\"" + arg + "\""` with a false
// -Wrestrict overlap warning.
std::string quoted(const std::string& arg) {
    std::string result;
    result.reserve(arg.size() + 2);
    result.append(1, '"').append(arg).append(1, '"');
    return result;
}

void closeHandle(HANDLE& handle) {
    if (handle != nullptr) CloseHandle(handle);
    handle = nullptr;
}

class Win32Probe : public ProbeProcess {
public:
    explicit Win32Probe(const std::vector<std::string>& args) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!CreatePipe(&childInput, &toChild_, &inheritable, 0) ||
            !CreatePipe(&fromChild_, &childOutput, &inheritable, 0)) {
            throw std::runtime_error("CreatePipe failed");
        }
        // Our ends stay here, or the child would keep its own input open.
        SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);

        std::string path = probePath();
        std::string commandLine = quoted(path);
        for (const std::string& arg : args) commandLine.append(1, ' ').append(quoted(arg));

        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info{};
        BOOL started = CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &info);
        CloseHandle(childInput);
        CloseHandle(childOutput);
        if (!started) throw std::runtime_error("CreateProcessA failed");
        CloseHandle(info.hThread);
        process_ = info.hProcess;
    }

    ~Win32Probe() override {
        closeInput();
        closeHandle(fromChild_);
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
            closeHandle(process_);
        }
    }

    std::string readLine() override {
        std::string line;
        char c;
        DWORD n = 0;
        while (ReadFile(fromChild_, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
            if (c != '\r') line += c;
        }
        return line;
    }

    void closeInput() override { closeHandle(toChild_); }

    void kill() override { TerminateProcess(process_, 137); }

    int wait() override {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<int>(code);
    }

private:
    HANDLE process_ = nullptr;
    HANDLE toChild_ = nullptr;
    HANDLE fromChild_ = nullptr;
};

}  // namespace

std::unique_ptr<ProbeProcess> ProbeProcess::start(const std::vector<std::string>& args) {
    return std::make_unique<Win32Probe>(args);
}

}  // namespace vennick::testing
