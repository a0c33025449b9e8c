#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

#include "tests/app/probe_process.h"

namespace vennick::testing {

namespace {

std::string probePath() {
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) throw std::runtime_error("cannot find the test executable");
    std::string self(buffer, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + "guard_probe";
}

class PosixProbe : public ProbeProcess {
public:
    explicit PosixProbe(const std::vector<std::string>& args) {
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::string path = probePath();
        std::vector<char*> argv{path.data()};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        if (pid_ < 0) throw std::runtime_error("fork failed");
        toChild_ = input[1];
        fromChild_ = output[0];
    }

    ~PosixProbe() override {
        closeInput();
        if (fromChild_ >= 0) ::close(fromChild_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    std::string readLine() override {
        std::string line;
        char c;
        while (true) {
            ssize_t n = ::read(fromChild_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') return line;
            line += c;
        }
    }

    void closeInput() override {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
    }

    void kill() override { ::kill(pid_, SIGKILL); }

    int wait() override {
        if (pid_ <= 0) return exitCode_;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    int exitCode_ = -1;
};

}  // namespace

std::unique_ptr<ProbeProcess> ProbeProcess::start(const std::vector<std::string>& args) {
    return std::make_unique<PosixProbe>(args);
}

}  // namespace vennick::testing
