#include "RS232CFunc/log/log_write_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "settings/app_error.h"

namespace vennick {
namespace {

struct Job {
    std::string directory;
    std::string text;
    BatchWriter::Done done;
};

BatchWriter::Outcome write(LogWriter& writer, const Job& job) {
    using Kind = BatchWriter::Outcome::Kind;
    try {
        return {writer.write(job.directory, job.text) ? Kind::Landed : Kind::Failed, {}};
    } catch (const AppError& error) {
        return {Kind::Error, error.what()};
    } catch (...) {
        return {Kind::Error, {}};  // not ours: shown without a message, as the window does
    }
}

}  // namespace

struct LogWriteThread::Shared {
    explicit Shared(LogWriter logWriter) : writer(std::move(logWriter)) {}

    void run() {
        for (;;) {
            std::optional<Job> job;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return stop || next.has_value(); });
                if (!next) break;
                job = std::move(next);
                next.reset();
            }
            const BatchWriter::Outcome outcome = write(writer, *job);
            // Not under `mutex`: the outcome takes the run state's lock, under which submit()
            // takes `mutex`.
            const std::lock_guard lock(deliver);
            if (connected) job->done(outcome);
        }
        {
            const std::lock_guard lock(mutex);
            finished = true;
        }
        changed.notify_all();
    }

    LogWriter writer;
    std::mutex mutex;
    std::condition_variable changed;  // a job, the stop, the end of run()
    std::optional<Job> next;
    bool stop = false;
    bool finished = false;
    std::mutex deliver;  // held while an outcome is told
    bool connected = true;
};

LogWriteThread::LogWriteThread(LogWriter writer, int joinTimeoutMs)
    : shared_(std::make_shared<Shared>(std::move(writer))), joinTimeoutMs_(joinTimeoutMs) {
    thread_ = std::thread([shared = shared_] { shared->run(); });
}

LogWriteThread::~LogWriteThread() {
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->changed.notify_all();
    const bool ended = shared_->changed.wait_for(lock, std::chrono::milliseconds(joinTimeoutMs_),
                                                 [this] { return shared_->finished; });
    lock.unlock();
    if (ended) {
        thread_.join();
        return;
    }
    {
        const std::lock_guard deliverLock(shared_->deliver);
        shared_->connected = false;
    }
    thread_.detach();  // it holds what it uses; the process may end without it
}

void LogWriteThread::submit(std::string logDirectory, std::string text, Done done) {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->next = Job{std::move(logDirectory), std::move(text), std::move(done)};
    }
    shared_->changed.notify_all();
}

}  // namespace vennick
