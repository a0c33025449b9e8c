// The receive thread against a real pseudo-terminal: the window's side of the hand-over runs on
// the test thread, applying each event to a line buffer; the sink says when it has room.

#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
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

#include "RS232CFunc/receive/receive_thread.h"
#include "RS232CFunc/state/line_buffer.h"
#include "tests/settings/temp_dir.h"
#include "tools/simulated_instrument.h"

namespace vennick {
namespace {

using sim::SimulatedInstrument;
using Clock = std::chrono::steady_clock;
using Item = std::variant<LineEvent, std::string>;  // a line, or a status text

constexpr const char* kPortLost = "RS232Cﾎﾟｰﾄが切断されました。再接続を待っています...";
constexpr const char* kPortBack = "RS232Cﾎﾟｰﾄに再接続しました。";
constexpr auto kDeadline = std::chrono::seconds(20);

class QueueSink : public ReceiveSink {
public:
    void lineReceived(LineEvent event) override { push(std::move(event)); }
    void statusReported(std::string text) override { push(std::move(text)); }

    bool waitForRoom(int timeoutMs) override {
        std::unique_lock lock(mutex_);
        ++roomAsked_;
        arrived_.notify_all();
        arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return room_ || stopWaiting_; });
        return room_;
    }
    void stopWaiting() override {
        {
            std::lock_guard lock(mutex_);
            stopWaiting_ = true;
        }
        arrived_.notify_all();
    }

    void setRoom(bool room) {
        {
            std::lock_guard lock(mutex_);
            room_ = room;
            roomAsked_ = 0;
        }
        arrived_.notify_all();
    }
    // The thread has asked for room (and found none) since setRoom().
    bool waitedForRoom() {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, kDeadline, [&] { return roomAsked_ > 1; });
    }

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
    bool room_ = true;
    bool stopWaiting_ = false;
    int roomAsked_ = 0;
};

class ReceiveThreadTest : public ::testing::Test {
protected:
    void SetUp() override { startReceiving(); }

    // `waitMs`: how long the thread's own waits last before it looks at the stop again.
    void startReceiving(int reconnectIntervalMs = 20, int waitMs = 500,
                        LineSettings line = LineSettings{}) {
        auto port = createSerialPort();
        ASSERT_TRUE(port->open(link_));
        port->applyLineSettings(line);
        port->applyTimeouts();
        TMyThread::Options options{link_, line, reconnectIntervalMs, waitMs, waitMs};
        thread_ = std::make_unique<TMyThread>(std::move(port), options, sinkRef());
        thread_->start();
    }

    // The window's side: each event reaches the buffer. Nothing when nothing arrived in time.
    std::optional<Item> apply() {
        std::optional<Item> item = sink_.next();
        if (!item) return std::nullopt;
        if (const auto* line = std::get_if<LineEvent>(&*item)) {
            if (!line->text.empty()) buffer_.append(line->text);
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

    void emptyBuffer() { buffer_.clear(); }

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

    test::TempDir temp_;
    std::string link_ = test::utf8(temp_ / "COM1");
    SimulatedInstrument instrument_{link_};
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

// The list's limit is the run state's business: the thread reads on, whatever the buffer holds,
// and stops only while the sink has no room at all.
TEST_F(ReceiveThreadTest, ReadingGoesOnPastTheListAndStopsOnlyWithoutRoom) {
    std::string stream;
    for (int n = 1; n <= 3000; ++n) stream += numbered(n) + "\r";
    ASSERT_TRUE(instrument_.send(stream));
    ASSERT_TRUE(applyLinesUpTo(3000));
    EXPECT_EQ(buffer_.count(), 3000);

    sink_.setRoom(false);
    instrument_.send("A\r");  // wakes the thread, which then asks for room
    ASSERT_TRUE(sink_.waitedForRoom());
    instrument_.send("B\r");
    const auto deadline = Clock::now() + kDeadline;
    while (instrument_.unreadBytes() < 2) {  // no room: the bytes stay in the port
        ASSERT_LT(Clock::now(), deadline);
        std::this_thread::yield();
    }

    sink_.setRoom(true);
    ASSERT_TRUE(applyLinesUpTo(3002));
    EXPECT_EQ(lines_[3000].text, "A");
    EXPECT_EQ(lines_[3001].text, "B");
    EXPECT_TRUE(statuses_.empty());
}

TEST_F(ReceiveThreadTest, StopInsideAPartialLineEndsWithinAReadTimeOut) {
    instrument_.send("12.3");
    waitUntilTaken();
    expectPromptStop();
}

// The stop wakes the thread's waits, for room and for input, instead of being seen after them:
// with waits of a minute the thread still ends at once.
TEST_F(ReceiveThreadTest, StopEndsTheWaitsForRoomAndForInput) {
    constexpr int kMinute = 60000;
    constexpr int kAtOnceMs = 10000;  // far below the waits, far above a loaded machine's delay
    thread_.reset();
    startReceiving(20, kMinute);
    sink_.setRoom(false);
    instrument_.send("1\r");
    ASSERT_TRUE(sink_.waitedForRoom());
    EXPECT_TRUE(thread_->stopAndWait(kAtOnceMs));

    thread_.reset();
    sink_.setRoom(true);
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

    // The cut-off piece is no reading: it only counts, then the loss is reported.
    ASSERT_TRUE(applyLines(1));
    EXPECT_EQ(fields(lines_[1]), fields({"", 5, 4}));  // LF and 12.3
    ASSERT_EQ(applyStatus(), kPortLost);

    instrument_.comeBack();
    ASSERT_EQ(applyStatus(), kPortBack);
    instrument_.send("45\r");
    ASSERT_TRUE(applyLines(1));
    EXPECT_EQ(lines_[2].text, "45");
    EXPECT_EQ(buffer_.count(), 2);
    EXPECT_EQ(statuses_.size(), 2u);

    termios seen{};
    ASSERT_EQ(::tcgetattr(instrument_.deviceFd(), &seen), 0);
    EXPECT_EQ(seen.c_lflag & ICANON, 0u);
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

// A pseudo-terminal keeps 8 data bits without parity: what the reopened port refuses is said
// again, after the news that it is back.
TEST_F(ReceiveThreadTest, SettingsTheReopenedPortRefusesAreSaidAgain) {
    thread_.reset();
    LineSettings sevenEven;
    sevenEven.dataBits = 7;
    sevenEven.parity = Parity::Even;
    startReceiving(20, 500, sevenEven);
    instrument_.hangUp();
    ASSERT_EQ(applyStatus(), kPortLost);
    instrument_.comeBack();
    ASSERT_EQ(applyStatus(), kPortBack);
    EXPECT_EQ(applyStatus(), link_ + ": ﾃﾞｰﾀﾋﾞｯﾄ 7、ﾊﾟﾘﾃｨ Even は使えません");
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
    TMyThread::Options options{"stuck", LineSettings{}, 20, 500, 500, 1000, 50};
    auto thread = std::make_unique<TMyThread>(std::make_unique<StuckPort>(control), options, sink);
    thread->start();
    ASSERT_TRUE(control->await(&StuckPort::Control::waiting));

    thread.reset();  // returns after the join time-out
    sink.reset();
    control->set(&StuckPort::Control::letGo);
    EXPECT_TRUE(control->await(&StuckPort::Control::destroyed));  // it ended and let go of all
}

// A driver that counts the bytes it lost: each new count reaches the status line.
class OverrunningPort final : public SerialPort {
public:
    bool open(const std::string&) override { return true; }
    bool isOpen() const override { return true; }
    void close() override {}
    void applyLineSettings(const LineSettings&) override {}
    void applyTimeouts() override {}
    int bytesWaiting() override { return 0; }
    Wait waitForInput(int) override {
        ++waits_;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a silent line
        return Wait::TimedOut;
    }
    int read(std::span<std::uint8_t>) override { return 0; }
    std::int64_t overruns() override { return overruns_.load(); }

    std::atomic<std::int64_t> overruns_{2};  // from before the start: not news
    std::atomic<int> waits_{0};
};

TEST(ReceiveThreadOverrun, EveryNewCountOfLostBytesIsReported) {
    auto port = std::make_unique<OverrunningPort>();
    OverrunningPort& driver = *port;
    auto sink = std::make_shared<QueueSink>();
    TMyThread::Options options{"COM1", LineSettings{}, 20, 500, 500, 0};
    TMyThread thread(std::move(port), options, sink);
    thread.start();
    while (driver.waits_.load() == 0) std::this_thread::yield();  // the start's count is taken
    driver.overruns_ = 3;
    const std::optional<Item> first = sink->next();
    ASSERT_TRUE(first);
    EXPECT_EQ(std::get<std::string>(*first), "受信ﾃﾞｰﾀが失われました (ｵｰﾊﾞｰﾗﾝ 3 回)。");
    driver.overruns_ = 7;
    const std::optional<Item> second = sink->next();
    ASSERT_TRUE(second);
    EXPECT_EQ(std::get<std::string>(*second), "受信ﾃﾞｰﾀが失われました (ｵｰﾊﾞｰﾗﾝ 7 回)。");
}

}  // namespace
}  // namespace vennick
