#include <gtest/gtest.h>

#include <thread>

#include "RS232CFunc/queued_receive_sink.h"

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

}  // namespace
}  // namespace vennick
