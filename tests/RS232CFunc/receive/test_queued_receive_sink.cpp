#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/receive/queued_receive_sink.h"
#include "RS232CFunc/state/run_state.h"
#include "tests/settings/temp_dir.h"

namespace vennick {
namespace {

std::vector<std::string> drain(QueuedReceiveSink& sink) {
    std::vector<std::string> taken;
    QueuedReceiveSink::Item item;
    while (sink.take(item)) {
        if (auto* line = std::get_if<LineEvent>(&item)) {
            taken.push_back(line->text);
        } else {
            taken.push_back("status:" + std::get<std::string>(item));
        }
    }
    return taken;
}

TEST(QueuedReceiveSink, HoldsLinesBackUntilTheBurstEndsAndKeepsTheirOrder) {
    int wakes = 0;
    QueuedReceiveSink sink([&] { ++wakes; });
    sink.lineReceived({"1", 2, 1, false});
    sink.lineReceived({"2", 2, 1, false});
    EXPECT_EQ(wakes, 0);
    sink.burstEnded();
    sink.burstEnded();
    EXPECT_EQ(wakes, 1) << "one wake per batch";
    sink.lineReceived({"3", 2, 1, false});
    sink.burstEnded();
    EXPECT_EQ(wakes, 1) << "the UI thread has not emptied the queue yet: no second wake";
    EXPECT_EQ(drain(sink), (std::vector<std::string>{"1", "2", "3"}));

    sink.burstEnded();
    EXPECT_EQ(wakes, 1) << "nothing waiting, nothing to wake for";
    sink.lineReceived({"4", 2, 1, false});
    sink.statusReported("lost");
    EXPECT_EQ(wakes, 2) << "a status text wakes at once, after the lines before it";
    EXPECT_EQ(drain(sink), (std::vector<std::string>{"4", "status:lost"}));
}

TEST(QueuedReceiveSink, EveryLineArrivesWhenBothThreadsRun) {
    std::atomic<int> wakes{0};
    QueuedReceiveSink sink([&] { ++wakes; });
    constexpr int kLines = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kLines; ++i) {
            sink.lineReceived({std::to_string(i), 1, 1, false});
            if (i % 7 == 0) sink.burstEnded();
        }
        sink.burstEnded();
    });
    std::vector<std::string> taken;
    while (static_cast<int>(taken.size()) < kLines) {
        for (auto& text : drain(sink)) taken.push_back(std::move(text));
        std::this_thread::yield();
    }
    producer.join();
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(taken[static_cast<std::size_t>(i)], std::to_string(i));
    EXPECT_GE(wakes.load(), 1);
}

// Lines without text: EOT alone, a line of spaces, noise between terminators.
const LineEvent kEot{"", 1, 0, true};
const LineEvent kSpaces{"", 5, 4, false};
const LineEvent kNoise{"", 3, 0, false};

// While the UI thread takes nothing, a flood of lines without text waits as two events at most,
// after each line with text, with every byte and character counted.
TEST(QueuedReceiveSink, LinesWithoutTextWaitMergedWhateverTheirNumber) {
    QueuedReceiveSink sink([] {});
    std::int64_t bytes = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        const LineEvent& event = i % 3 == 0 ? kEot : i % 3 == 1 ? kSpaces : kNoise;
        if (i % 250'000 == 0) sink.lineReceived({"12.5", 5, 4, false});
        sink.lineReceived(event);
        bytes += event.bytesReceived + (i % 250'000 == 0 ? 5 : 0);
    }
    sink.burstEnded();
    EXPECT_LE(sink.waitingItems(), 4u * 3u);
    std::int64_t taken = 0;
    QueuedReceiveSink::Item item;
    while (sink.take(item)) taken += std::get<LineEvent>(item).bytesReceived;
    EXPECT_EQ(taken, bytes);
}

// A run state that saves into a directory of its own.
struct RunOnDisk {
    explicit RunOnDisk(std::int32_t waitIndex) {
        std::filesystem::create_directory(temp.path() / "logs");
        settings.logDirectory = test::utf8(temp.path() / "logs");
        settings.waitIndex = waitIndex;
    }
    std::string files() const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(temp.path() / "logs")) {
            all += entry.path().filename().string() + ":" + test::readBytes(entry.path()) + ";";
        }
        return all;
    }
    struct View : RunStateView {
        void statusChanged() override {}
        void showWrittenCount(std::int32_t) override {}
        void showActions(const ActionStates&) override {}
        void textAppended() override {}
        void lineRemoved(int) override {}
        void textCleared() override {}
        void selectLine(const LineSelection&) override {}
        void lineCountChanged(int) override {}
    };
    test::TempDir temp;
    Settings settings;
    LogWriter writer{test::utf8(temp.path()) + "/", [] { return TimeOfDay{9, 5, 7}; }};
    View view;
    RunState state{settings, writer, view};
};

auto outcome(const RunOnDisk& run) {
    const RunState& s = run.state;
    return std::make_tuple(s.status(), s.buffer().text(), s.writeRequest(), s.writtenCount(),
                           run.files());
}

// Applied merged, the lines leave the run state exactly as applied one by one: the same counts
// on the status line, the same write requests, the same files.
TEST(QueuedReceiveSink, MergedLinesLeaveTheRunStateAsEachLineWould) {
    const LineEvent a{"A1", 3, 2, false};
    const LineEvent b{"B2", 3, 2, true};
    const std::vector<std::vector<LineEvent>> streams = {
        {a, kEot, kEot, kEot, kSpaces, kEot, kNoise},
        {kSpaces, kNoise, kEot, kSpaces, kEot, a, kNoise, kEot, kEot},
        {a, kSpaces, kNoise, kSpaces, b, kEot, kEot, kSpaces, a},
        {kEot, kEot, a, kEot, kEot, b, kNoise, kNoise},
    };
    for (const std::int32_t waitIndex : {1, 0}) {
        for (std::size_t n = 0; n < streams.size(); ++n) {
            SCOPED_TRACE("stream " + std::to_string(n) + ", wait index " +
                         std::to_string(waitIndex));
            RunOnDisk oneByOne(waitIndex), merged(waitIndex);
            QueuedReceiveSink sink([] {});
            for (const LineEvent& event : streams[n]) {
                oneByOne.state.applyLine(event);
                sink.lineReceived(event);
            }
            EXPECT_LT(sink.waitingItems(), streams[n].size());
            QueuedReceiveSink::Item item;
            while (sink.take(item)) merged.state.applyLine(std::get<LineEvent>(item));
            EXPECT_EQ(outcome(merged), outcome(oneByOne));
        }
    }
}

}  // namespace
}  // namespace vennick
