// The lines waiting beyond the list, in real files beside a journal in a temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/journal/journal_recovery.h"
#include "RS232CFunc/journal/waiting_store.h"
#include "RS232CFunc/log/log_writer.h"
#include "settings/file_system.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/recording_notifier.h"

namespace vennick {
namespace {

using test::readBytes;
using test::TempDir;
using test::utf8;

constexpr auto kDeadline = std::chrono::seconds(20);

// Polls what the store's thread does on its own time.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class WaitingStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<WaitingStore> open(std::uint64_t taken = 0,
                                       WaitingStore::Limits limits = WaitingStore::Limits{}) {
        auto store = WaitingStore::open(
            journal, taken, [this] { return durable.load(); }, limits);
        store->setReadyHandler([this] {
            {
                const std::lock_guard lock(mutex);
                ++readies;
            }
            ready.notify_all();
        });
        return store;
    }

    static LineEvent line(int n) {
        return {std::string("L").append(std::to_string(n)), 4, 3, n % 10 == 0};  // GCC 12 -Wrestrict
    }

    // What an earlier run left, as the next start reads it.
    std::vector<std::string> leftOver(const WaitingStore& store, std::uint64_t* last = nullptr) {
        std::vector<std::string> pieces;
        store.forEachLeftOver(64, [&](std::string_view text, std::uint64_t upTo, int) {
            pieces.emplace_back(text);
            if (last) *last = upTo;
            return true;
        });
        return pieces;
    }

    int segmentFiles() const {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
            if (entry.path().filename().string().rfind("Vennick.W", 0) == 0) ++count;
        }
        return count;
    }

    // The oldest waiting line, waiting for the store to read it back from the disk if need be.
    std::optional<WaitingLine> popWaiting(WaitingStore& store) {
        std::unique_lock lock(mutex);
        for (;;) {
            const int before = readies;
            lock.unlock();
            std::optional<WaitingLine> popped = store.pop();
            lock.lock();
            if (popped || store.empty()) return popped;
            if (!ready.wait_for(lock, kDeadline, [&] { return readies > before; })) {
                return std::nullopt;
            }
        }
    }

    TempDir temp;
    const std::string journal = utf8(temp / "Vennick.JNL");
    std::atomic<std::uint64_t> durable{0};
    std::mutex mutex;
    std::condition_variable ready;
    int readies = 0;
};

TEST_F(WaitingStoreTest, LinesAreOnTheDiskAndComeBackAtTheNextStartAfterWhatWasTaken) {
    {
        auto store = open();
        for (int n = 1; n <= 5; ++n) store->push(line(n));
        store->push({"", 1, 0, true});  // counts and an EOT, no text
        ASSERT_EQ(store->pop()->event.text, "L1");
        store->flush();
    }  // a crash now: the journal had taken line 2 into the list
    auto next = open(2);
    std::uint64_t last = 0;
    EXPECT_EQ(leftOver(*next, &last), std::vector<std::string>{"L3\r\nL4\r\nL5\r\n"});
    EXPECT_EQ(last, 6u);
    EXPECT_TRUE(next->empty()) << "left-over lines never join this run's queue";
    next->push(line(7));
    EXPECT_EQ(next->pop()->number, 7u) << "numbering goes on behind the left-over lines";
}

// Memory holds the oldest lines and the newest; the rest is read back from the disk when the
// list gets to it, in order, none twice.
TEST_F(WaitingStoreTest, MemoryStaysBoundedAndEveryLineComesBackInOrder) {
    WaitingStore::Limits limits;
    limits.memoryBytes = 8 * 1024;
    limits.segmentBytes = 2 * 1024;
    limits.flushDelay = std::chrono::milliseconds(1);
    auto store = open(0, limits);
    constexpr int kLines = 3000;
    for (int n = 1; n <= kLines; ++n) store->push(line(n));
    store->flush();
    EXPECT_LE(store->memoryBytes(), limits.memoryBytes);
    for (int n = 1; n <= kLines; ++n) {
        const std::optional<WaitingLine> popped = popWaiting(*store);
        ASSERT_TRUE(popped) << n;
        ASSERT_EQ(popped->number, static_cast<std::uint64_t>(n));
        ASSERT_EQ(popped->event.text, line(n).text);
        ASSERT_EQ(popped->event.endedByEot, line(n).endedByEot);
    }
    EXPECT_TRUE(store->empty());
}

TEST_F(WaitingStoreTest, SegmentsGoOnceTheJournalHasTheirLinesOnItsDisk) {
    WaitingStore::Limits limits;
    limits.segmentBytes = 512;
    limits.flushDelay = std::chrono::milliseconds(1);
    {
        auto store = open(0, limits);
        for (int n = 1; n <= 100; ++n) {
            store->push(line(n));
            if (n % 10 == 0) store->flush();  // as the thread writes them, a few at a time
        }
        for (int n = 1; n <= 100; ++n) store->pop();
        const int before = segmentFiles();
        ASSERT_GT(before, 2);
        durable = 60;  // the journal's disk has lines up to 60
        ASSERT_TRUE(eventually([&] { return segmentFiles() < before; }));
        EXPECT_GT(segmentFiles(), 0) << "those with lines after 60 stay";
        durable = 100;
        EXPECT_TRUE(eventually([&] { return segmentFiles() == 0; }));
    }
    EXPECT_TRUE(leftOver(*open(100)).empty());
}

TEST_F(WaitingStoreTest, ReceptionWaitsAtTheDiskBoundUntilLinesLeave) {
    WaitingStore::Limits limits;
    limits.segmentBytes = 256;
    limits.diskBytes = 2048;
    limits.flushDelay = std::chrono::milliseconds(1);
    auto store = open(0, limits);
    int pushed = 0;
    while (store->hasRoom()) {
        store->push(line(++pushed));
        if (pushed % 10 == 0) store->flush();
    }
    store->flush();
    EXPECT_FALSE(store->hasRoom());
    EXPECT_LT(pushed, 200);
    while (store->pop()) {
    }
    durable = static_cast<std::uint64_t>(pushed);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(ready.wait_for(lock, kDeadline, [&] { return store->hasRoom(); }));
}

// After a crash, the next start writes the lines the journal held, then the waiting ones, in
// order, and says how many went where; nothing comes back at the start after.
TEST_F(WaitingStoreTest, TheNextStartWritesTheListThenTheWaitingLines) {
    {
        auto crashed = Journal::open(journal);
        LineBuffer buffer;
        buffer.setObserver(crashed.get());
        buffer.append("A");
        buffer.setObserver(nullptr);
        auto store = open();
        for (int n = 1; n <= 3; ++n) store->push(line(n));
    }
    const std::string logs = utf8(temp / "logs");
    std::filesystem::create_directory(logs);
    LogWriter writer(utf8(temp.path()) + pathSeparator(), [] { return TimeOfDay{9, 5, 7}; });
    test::RecordingNotifier notifier;
    const std::string logFile = logs + pathSeparator() + "09_05_07.TXT";
    {
        auto journalAgain = Journal::open(journal);
        durable = 0;
        auto store = WaitingStore::open(journal, journalAgain->waitingTaken(),
                                        [&] { return journalAgain->durableWaitingTaken(); });
        writeJournalLeftOver(*journalAgain, store.get(), logs, writer, notifier);
    }
    EXPECT_EQ(readBytes(test::pathOf(logFile)), "A\r\nL1\r\nL2\r\nL3\r\n");
    EXPECT_EQ(notifier.informed, std::vector<std::string>{"前回書き込まれなかった 4 行を\n" +
                                                          logFile + "\nに書き込みました。"});
    auto journalAgain = Journal::open(journal);
    auto store = WaitingStore::open(journal, journalAgain->waitingTaken(),
                                    [&] { return journalAgain->durableWaitingTaken(); });
    EXPECT_EQ(journalAgain->leftOver(), "");
    EXPECT_TRUE(leftOver(*store).empty());
}

}  // namespace
}  // namespace vennick
