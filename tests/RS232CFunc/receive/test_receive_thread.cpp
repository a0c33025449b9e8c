// The receive thread against a real pseudo-terminal: the window's side of the hand-over runs on
// the test thread, applying each event to a line buffer and publishing its count to the gate.

#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "RS232CFunc/state/line_buffer.h"
#include "RS232CFunc/receive/receive_thread.h"
#include "tests/settings/temp_dir.h"
#include "tools/simulated_instrument.h"

namespace vennick {
namespace {

using sim::SimulatedInstrument;
using Clock = std::chrono::steady_clock;
using Item = std::variant<LineEvent, std::string>;  // a line, or a status text

constexpr const char* kLimitText = "Line が 1000 を超えました。";
constexpr const char* kPortLost = "RS232Cﾎﾟｰﾄが切断されました。再接続を待っています...";
constexpr const char* kPortBack = "RS232Cﾎﾟｰﾄに再接続しました。";
constexpr auto kDeadline = std::chrono::seconds(20);

class QueueSink : public ReceiveSink {
public:
    void lineReceived(LineEvent event) override { push(std::move(event)); }
    void statusReported(std::string text) override { push(std::move(text)); }

    std::optional<Item> next() {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, kDeadline, [&] { return !items_.empty(); })) {
            return std::nullopt;
        }
        Item item = std::move(items_.front());
        items_.pop_front();
        return item;
    }

private:
    void push(Item item) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(item));
        }
        arrived_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Item> items_;
};

class ReceiveThreadTest : public ::testing::Test {
protected:
    void SetUp() override { startReceiving(); }

    // `waitMs`: how long the thread's own waits last before it looks at the stop again.
    void startReceiving(int reconnectIntervalMs = 20, int waitMs = 500) {
        auto port = createSerialPort();
        ASSERT_TRUE(port->open(link_));
        port->applyLineSettings(LineSettings{});
        port->applyTimeouts();
        TMyThread::Options options{link_, LineSettings{}, reconnectIntervalMs, waitMs, waitMs};
        thread_ = std::make_unique<TMyThread>(std::move(port), options, sinkRef(), gateRef());
        thread_->start();
    }

    // The window's side: each event reaches the buffer, then the gate hears of it. Nothing
    // when nothing arrived in time.
    std::optional<Item> apply() {
        std::optional<Item> item = sink_.next();
        if (!item) return std::nullopt;
        if (const auto* line = std::get_if<LineEvent>(&*item)) {
            if (!line->text.empty()) buffer_.append(line->text);
            gate_.publish(buffer_.count());
            if (!line->text.empty()) gate_.lineApplied();
            lines_.push_back(*line);
        } else {
            statuses_.push_back(std::get<std::string>(*item));
        }
        return item;
    }

    bool applyLinesUpTo(std::size_t total) {
        while (lines_.size() < total) {
            if (!apply()) return false;
        }
        return true;
    }

    bool applyLines(std::size_t count) { return applyLinesUpTo(lines_.size() + count); }

    std::string applyStatus() {
        while (const std::optional<Item> item = apply()) {
            if (const auto* text = std::get_if<std::string>(&*item)) return *text;
        }
        return "(nothing arrived in time)";
    }

    void emptyBuffer() {
        buffer_.clear();
        gate_.publish(0);
    }

    // Waits until the thread has taken everything sent so far off the line.
    void waitUntilTaken() {
        const auto deadline = Clock::now() + kDeadline;
        while (instrument_.unreadBytes() != 0) {
            ASSERT_LT(Clock::now(), deadline);
            std::this_thread::yield();
        }
    }

    // Within a read time-out, whatever the thread is waiting for.
    void expectPromptStop() {
        const auto before = Clock::now();
        thread_.reset();
        EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1500));
    }

    // The thread shares what it uses; here the fixture outlives it.
    std::shared_ptr<ReceiveSink> sinkRef() { return {std::shared_ptr<void>(), &sink_}; }
    std::shared_ptr<LineGate> gateRef() { return {std::shared_ptr<void>(), &gate_}; }

    test::TempDir temp_;
    std::string link_ = test::utf8(temp_ / "COM1");
    SimulatedInstrument instrument_{link_};
    LineGate gate_;
    QueueSink sink_;
    LineBuffer buffer_;
    std::vector<LineEvent> lines_;
    std::vector<std::string> statuses_;
    std::unique_ptr<TMyThread> thread_;
};

std::string numbered(int n) {
    return std::string("L").append(std::to_string(n)).append(",-0.5");  // GCC 12 -O3 -Wrestrict
}

auto fields(const LineEvent& line) {
    return std::tie(line.text, line.bytesReceived, line.charsAccepted, line.endedByEot);
}

TEST_F(ReceiveThreadTest, LongStreamArrivesInOrderWithEachLinesOwnCounts) {
    constexpr int kLines = 20000;
    std::string stream;
    for (int n = 0; n < kLines; ++n) {
        // Every seventh line carries outer spaces and a noise byte.
        stream += (n % 7 == 0 ? "  " + numbered(n) + "\t " : numbered(n)) + "\r\n";
    }
    // Pieces that cut lines anywhere; the window empties its buffer now and then.
    constexpr std::size_t kPiece = 3989;
    std::size_t linesSent = 0;
    for (std::size_t at = 0; at < stream.size(); at += kPiece) {
        const std::string_view piece = std::string_view(stream).substr(at, kPiece);
        ASSERT_TRUE(instrument_.send(piece));
        linesSent += static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '\r'));
        ASSERT_TRUE(applyLinesUpTo(linesSent));
        if (buffer_.count() > 500) emptyBuffer();
    }

    for (int n = 0; n < kLines; ++n) {
        const LineEvent& line = lines_[static_cast<std::size_t>(n)];
        ASSERT_EQ(line.text, numbered(n));
        const std::int32_t length = static_cast<std::int32_t>(numbered(n).size());
        const bool padded = n % 7 == 0;
        // The LF after a CR begins the next line, so it counts there.
        ASSERT_EQ(line.bytesReceived, length + (padded ? 4 : 0) + 1 + (n > 0 ? 1 : 0));
        ASSERT_EQ(line.charsAccepted, length + (padded ? 3 : 0));  // the three spaces
        ASSERT_FALSE(line.endedByEot);
    }
    EXPECT_TRUE(statuses_.empty());
}

TEST_F(ReceiveThreadTest, EotEndsTheLineAndAnEmptyTransmission) {
    instrument_.send("ABC\x04");
    instrument_.send("\x04");
    instrument_.send("12\r\n\x04");
    ASSERT_TRUE(applyLines(4));
    const LineEvent expected[] = {
        {"ABC", 4, 3, true}, {"", 1, 0, true}, {"12", 3, 2, false}, {"", 2, 0, true}};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fields(lines_[i]), fields(expected[i])) << i;
}

TEST_F(ReceiveThreadTest, ReceptionStopsAbove1000LinesAndResumesWhenEmptied) {
    std::string stream;
    for (int n = 1; n <= 1005; ++n) stream += numbered(n) + "\r";
    ASSERT_TRUE(instrument_.send(stream));  // fits in the terminal's buffers

    ASSERT_EQ(applyStatus(), kLimitText);
    EXPECT_EQ(lines_.size(), 1001u);
    EXPECT_EQ(buffer_.count(), 1001);

    emptyBuffer();
    ASSERT_TRUE(applyLines(4));
    EXPECT_EQ(buffer_.count(), 4);
    EXPECT_EQ(buffer_.line(0), numbered(1002));
    EXPECT_EQ(buffer_.line(3), numbered(1005));
    EXPECT_EQ(statuses_.size(), 1u);
}

TEST_F(ReceiveThreadTest, StopInsideAPartialLineEndsWithinAReadTimeOut) {
    instrument_.send("12.3");
    waitUntilTaken();
    expectPromptStop();
}

// The stop wakes the thread's waits, at the limit and for input, instead of being seen after
// them: with waits of a minute the thread still ends at once.
TEST_F(ReceiveThreadTest, StopEndsTheWaitsAtTheLimitAndForInput) {
    constexpr int kMinute = 60000;
    constexpr int kAtOnceMs = 10000;  // far below the waits, far above a loaded machine's delay
    thread_.reset();
    startReceiving(20, kMinute);
    std::string stream;
    for (int n = 1; n <= 1002; ++n) stream += numbered(n) + "\r";
    instrument_.send(stream);
    ASSERT_EQ(applyStatus(), kLimitText);
    EXPECT_TRUE(thread_->stopAndWait(kAtOnceMs));

    thread_.reset();
    emptyBuffer();
    startReceiving(20, kMinute);
    instrument_.send("1\r");
    ASSERT_TRUE(applyLinesUpTo(lines_.size() + 1));  // the thread is back waiting for input
    EXPECT_TRUE(thread_->stopAndWait(kAtOnceMs));
}

TEST_F(ReceiveThreadTest, LostPortIsReportedReopenedAndReceptionGoesOn) {
    instrument_.send("A1\r\n12.3");
    ASSERT_TRUE(applyLines(1));
    waitUntilTaken();
    instrument_.hangUp();

    // The cut-off piece is a line of its own, then the loss is reported.
    ASSERT_TRUE(applyLines(1));
    EXPECT_EQ(fields(lines_[1]), fields({"12.3", 5, 4}));  // LF and 12.3
    ASSERT_EQ(applyStatus(), kPortLost);

    instrument_.comeBack();
    ASSERT_EQ(applyStatus(), kPortBack);
    instrument_.send("45\r");
    ASSERT_TRUE(applyLines(1));
    EXPECT_EQ(lines_[2].text, "45");
    EXPECT_EQ(buffer_.count(), 3);
    EXPECT_EQ(statuses_.size(), 2u);

    termios seen{};
    ASSERT_EQ(::tcgetattr(instrument_.deviceFd(), &seen), 0);
    EXPECT_EQ(seen.c_lflag & ICANON, 0u);
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST_F(ReceiveThreadTest, StopWhileWaitingForTheLostPortEndsPromptly) {
    thread_.reset();
    startReceiving(60000);
    instrument_.hangUp();
    ASSERT_EQ(applyStatus(), kPortLost);
    expectPromptStop();
}

// A port stuck in a platform call that no interruption reaches, until the test lets it go.
class StuckPort final : public SerialPort {
public:
    struct Control {
        std::mutex mutex;
        std::condition_variable changed;
        bool waiting = false;
        bool letGo = false;
        bool destroyed = false;

        void set(bool Control::*flag) {
            {
                std::lock_guard lock(mutex);
                this->*flag = true;
            }
            changed.notify_all();
        }
        bool await(bool Control::*flag) {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, kDeadline, [&] { return this->*flag; });
        }
    };

    explicit StuckPort(std::shared_ptr<Control> control) : control_(std::move(control)) {}
    ~StuckPort() override { control_->set(&Control::destroyed); }

    bool open(const std::string&) override { return true; }
    bool isOpen() const override { return true; }
    void close() override {}
    void applyLineSettings(const LineSettings&) override {}
    void applyTimeouts() override {}
    int bytesWaiting() override { return 2; }
    Wait waitForInput(int) override {
        control_->set(&Control::waiting);
        control_->await(&Control::letGo);
        return Wait::Ready;
    }
    int read(std::span<std::uint8_t> into) override {
        into[0] = '7';
        into[1] = '\r';
        return 2;
    }

private:
    std::shared_ptr<Control> control_;
};

// Closing the window does not wait for ever on a thread stuck in the port: it is let go, and
// what it still uses stays alive until it ends (AddressSanitizer sees any use of freed state).
TEST(ReceiveThreadStuck, IsLetGoAfterTheJoinTimeOutAndKeepsWhatItUses) {
    auto control = std::make_shared<StuckPort::Control>();
    auto sink = std::make_shared<QueueSink>();
    auto gate = std::make_shared<LineGate>();
    TMyThread::Options options{"stuck", LineSettings{}, 20, 500, 500, 50};
    auto thread =
        std::make_unique<TMyThread>(std::make_unique<StuckPort>(control), options, sink, gate);
    thread->start();
    ASSERT_TRUE(control->await(&StuckPort::Control::waiting));

    thread.reset();  // returns after the join time-out
    sink.reset();
    gate.reset();
    control->set(&StuckPort::Control::letGo);
    EXPECT_TRUE(control->await(&StuckPort::Control::destroyed));  // it ended and let go of all
}

}  // namespace
}  // namespace vennick
