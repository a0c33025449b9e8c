#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/journal/journal_format.h"
#include "RS232CFunc/journal/journal_recovery.h"
#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/state/line_buffer.h"
#include "settings/file_system.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/recording_notifier.h"

namespace vennick {
namespace {

using namespace journal;
using test::readBytes;
using test::TempDir;
using test::utf8;
using test::writeBytes;

// One record of every kind, as a short run produces them.
std::vector<Record> sampleRecords() {
    return {leftOver("old\r\n"),
            change(0, 0, "12.5\r\n"),
            change(6, 0, "ｱｲｳ\r\n"),
            intent({Scope::Live, "/logs/14_03_27.TXT", 42, 17, 0xDEADBEEF, std::nullopt}),
            done(),
            change(0, 17, ""),
            snapshot("A\r\n"),
            intent({Scope::Live, "/logs/14_03_28.TXT", -1, 3, 0xBEEF, 3}),
            taken(3, "W\r\n", 7),
            abandoned(),
            moved("M\r\n", 9)};
}

std::string encodeAll(const std::vector<Record>& records,
                      std::vector<std::size_t>* ends = nullptr) {
    std::string bytes;
    for (const Record& record : records) {
        bytes += encode(record);
        if (ends) ends->push_back(bytes.size());
    }
    return bytes;
}

TEST(JournalFormat, EveryRecordComesBackAsWritten) {
    const std::vector<Record> records = sampleRecords();
    const std::string bytes = encodeAll(records);
    const Decoded decoded = decode(bytes);
    EXPECT_EQ(decoded.records, records);
    EXPECT_EQ(decoded.validBytes, bytes.size());
}

// A power cut can stop the file anywhere: every whole record before the cut counts.
TEST(JournalFormat, CutAtEveryByteKeepsEveryWholeRecordBeforeIt) {
    const std::vector<Record> records = sampleRecords();
    std::vector<std::size_t> ends;
    const std::string bytes = encodeAll(records, &ends);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        std::size_t whole = 0;
        while (whole < ends.size() && ends[whole] <= cut) ++whole;
        const Decoded decoded = decode(std::string_view(bytes).substr(0, cut));
        ASSERT_EQ(decoded.records,
                  std::vector<Record>(records.begin(), records.begin() + static_cast<long>(whole)))
            << "cut at " << cut;
        EXPECT_EQ(decoded.validBytes, whole == 0 ? 0 : ends[whole - 1]);
    }
}

// A damaged byte ends the journal at the record that holds it, whatever the byte becomes.
TEST(JournalFormat, DamageAtEveryByteKeepsTheRecordsBeforeIt) {
    const std::vector<Record> records = sampleRecords();
    std::vector<std::size_t> ends;
    const std::string bytes = encodeAll(records, &ends);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::size_t before = 0;
        while (ends[before] <= at) ++before;
        for (const int mask : {0x01, 0x80, 0xFF}) {
            std::string damaged = bytes;
            damaged[at] = static_cast<char>(static_cast<unsigned char>(damaged[at]) ^ mask);
            const Decoded decoded = decode(damaged);
            ASSERT_EQ(
                decoded.records,
                std::vector<Record>(records.begin(), records.begin() + static_cast<long>(before)))
                << "byte " << at << " mask " << mask;
        }
    }
}

TEST(JournalFormat, ReplayFollowsChangesAndSettledWrites) {
    const Intent write{Scope::Live, "f", 0, 6, 1, std::nullopt};  // of an earlier version
    const Intent oldWrite{Scope::LeftOver, "f", 0, 5, 1, std::nullopt};
    const Intent firstLine{Scope::Live, "f", 0, 3, 1, 3};  // a batch of the line "A"
    struct Case {
        const char* name;
        std::vector<Record> records;
        bool probeSays;
        Texts expected;
    };
    const std::vector<Case> cases = {
        {"changes",
         {change(0, 0, "A\r\n"), change(3, 0, "B\r\n"), change(0, 3, "")},
         false,
         {"", "B\r\n", 0}},
        {"clamped", {change(0, 0, "A\r\n"), change(9, 9, "C")}, false, {"", "A\r\nC", 0}},
        {"done", {change(0, 0, "A\r\n"), intent(write), done(), change(0, 3, "")}, false, {}},
        {"done without its clear", {change(0, 0, "A\r\n"), intent(write), done()}, false, {}},
        {"abandoned", {change(0, 0, "A\r\n"), intent(write), abandoned()}, true, {"", "A\r\n", 0}},
        {"lost outcome, landed", {change(0, 0, "A\r\n"), intent(write)}, true, {}},
        {"lost outcome, not landed",
         {change(0, 0, "A\r\n"), intent(write)},
         false,
         {"", "A\r\n", 0}},
        {"left over written",
         {leftOver("O\r\n"), change(0, 0, "A\r\n"), intent(oldWrite), done()},
         false,
         {"", "A\r\n", 0}},
        {"snapshot", {change(0, 0, "A\r\n"), snapshot("S")}, false, {"", "S", 0}},
        {"lines came while the batch was written",
         {change(0, 0, "A\r\n"), intent(firstLine), change(3, 0, "B\r\n"), done()},
         false,
         {"", "B\r\n", 0}},
        {"lost outcome of a batch with lines behind it, landed",
         {change(0, 0, "A\r\n"), intent(firstLine), change(3, 0, "B\r\n")},
         true,
         {"", "B\r\n", 0}},
        {"a typed batch takes the line end that joined it",
         {change(0, 0, "A\r\nB\r\n"), intent({Scope::Live, "f", 0, 1, 1, 1}), done()},
         false,
         {"", "B\r\n", 0}},
        {"waiting lines taken and moved",
         {taken(0, "W\r\n", 4), moved("M\r\n", 6), taken(3, {}, 5)},
         false,
         {"M\r\n", "W\r\n", 6}},
    };
    for (const Case& c : cases) {
        int probed = 0;
        const Texts texts = replay(c.records, [&](const Intent&, const std::string&) {
            ++probed;
            return c.probeSays;
        });
        EXPECT_EQ(texts, c.expected) << c.name;
        EXPECT_LE(probed, 1) << c.name;
    }
}

TEST(JournalFormat, JoinKeepsATypedLastLineApart) {
    EXPECT_EQ(joinTexts("A\r\n", "B\r\n"), "A\r\nB\r\n");
    EXPECT_EQ(joinTexts("A", "B\r\n"), "A\r\nB\r\n");
    EXPECT_EQ(joinTexts("", "B"), "B");
    EXPECT_EQ(joinTexts("A", ""), "A");
}

class JournalTest : public ::testing::Test {
protected:
    JournalTest() { std::filesystem::create_directory(temp / "logs"); }

    // The tests look at each record: the flusher must not flush between their steps.
    std::unique_ptr<Journal> open() { return Journal::open(path, std::chrono::hours(1)); }

    // What the journal file says (read once the journal let go of it: it shares it with nobody).
    Texts onDisk() const { return replay(decode(readBytes(temp / "Vennick.JNL")).records, {}); }

    std::string logFile() const { return logs + pathSeparator() + "14_03_27.TXT"; }

    TempDir temp;
    const std::string path = utf8(temp / "Vennick.JNL");
    const std::string logs = utf8(temp / "logs");
    const std::string exeDir = utf8(temp.path()) + pathSeparator();
    LogWriter writer{exeDir, [] { return TimeOfDay{14, 3, 27}; }};
    LineBuffer buffer;
    test::RecordingNotifier notifier;
};

TEST_F(JournalTest, LivesBesideTheSettingsFile) {
    EXPECT_EQ(journalPathFor("/opt/v/Vennick"), "/opt/v/Vennick.JNL");
    EXPECT_EQ(journalPathFor("C:/Tools/Vennick.exe"), "C:/Tools/Vennick.JNL");
}

TEST_F(JournalTest, WhatTheBufferHoldsIsOnTheDiskAfterAFlushAndComesBackLeftOver) {
    {
        auto journal = open();
        ASSERT_TRUE(journal);
        buffer.setObserver(journal.get());
        buffer.append("12.5");
        buffer.append("ｱｲｳ");
        buffer.replace(0, 2, "99");  // an edit in the view
        buffer.remove(1);
        journal->flush();
        buffer.setObserver(nullptr);
    }  // nothing left to flush: the file is as the flush left it
    EXPECT_EQ(onDisk().live, "99.5\r\n");
    EXPECT_EQ(open()->leftOver(), "99.5\r\n");
}

// A fast stream appends thousands of lines between two flushes: each run of them is one record.
TEST_F(JournalTest, LinesAppendedBetweenChangesGoOutAsOneRecord) {
    {
        auto journal = open();
        buffer.setObserver(journal.get());
        for (int line = 0; line < 100; ++line) buffer.append(std::to_string(line));
        journal->flush();
        for (int line = 100; line < 150; ++line) buffer.append(std::to_string(line));
        buffer.remove(0);
        buffer.append("150");
        buffer.setObserver(nullptr);
    }
    EXPECT_EQ(decode(readBytes(temp / "Vennick.JNL")).records.size(), 4u);
    EXPECT_EQ(onDisk().live, buffer.text());
}

TEST_F(JournalTest, TheFlusherWritesChangesWithoutBeingAsked) {
    auto journal = Journal::open(path);
    buffer.setObserver(journal.get());
    buffer.append("A");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (journal->fileBytes() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    buffer.setObserver(nullptr);
    journal.reset();
    EXPECT_EQ(onDisk().live, "A\r\n");
}

TEST_F(JournalTest, ALandedWriteLeavesNothingBehindAndTheFileStaysSmall) {
    auto journal = open();
    buffer.setObserver(journal.get());
    writer.setGuard(journal.get());
    const std::string line(1000, '7');
    for (int batch = 0; batch < 300; ++batch) {
        buffer.append(line);
        ASSERT_TRUE(writer.write(logs, buffer.text()));
        buffer.removeWrittenPrefix(buffer.text().size());
        if (batch % 20 == 0) journal->flush();
        EXPECT_LE(journal->fileBytes(), 2 * buffer.text().size() + Journal::kCompactSlackBytes);
    }
    buffer.append("kept");
    buffer.setObserver(nullptr);
    writer.setGuard(nullptr);
    journal.reset();
    EXPECT_EQ(onDisk().live, "kept\r\n");
    EXPECT_EQ(std::filesystem::file_size(logFile()), 300 * (line.size() + 2));
}

// Lines that never reached the disk need no intent: once written, the journal never hears of them.
TEST_F(JournalTest, OnlyAWriteOfLinesAlreadyOnTheDiskIsBracketedByAnIntent) {
    auto journal = open();
    buffer.setObserver(journal.get());
    writer.setGuard(journal.get());
    buffer.append("fresh");
    ASSERT_TRUE(writer.write(logs, buffer.text()));
    buffer.removeWrittenPrefix(buffer.text().size());
    journal->flush();
    EXPECT_EQ(journal->fileBytes(), 0u);

    buffer.append("flushed");
    journal->flush();
    const std::uint64_t flushed = journal->fileBytes();
    ASSERT_TRUE(writer.write(logs, buffer.text()));
    EXPECT_GT(journal->fileBytes(), flushed);  // the intent
    buffer.removeWrittenPrefix(buffer.text().size());
    journal->flush();
    EXPECT_EQ(journal->fileBytes(), 0u);
    EXPECT_EQ(readBytes(test::pathOf(logFile())), "fresh\r\nflushed\r\n");
    buffer.setObserver(nullptr);
    writer.setGuard(nullptr);
}

// A log write that hangs (a share that stops answering) holds nothing back: the lines that come
// meanwhile reach the disk, and so does the write's intent, placed behind its batch.
TEST_F(JournalTest, AWriteThatHangsLetsTheLinesBehindItReachTheDisk) {
    auto journal = open();
    buffer.setObserver(journal.get());
    buffer.append("A");
    journal->beforeAppend(logFile(), -1, "A\r\n", 3);  // nothing of it on the disk: no flush yet
    EXPECT_EQ(journal->fileBytes(), 0u);
    buffer.append("B");
    journal->flush();
    const Decoded onDiskNow = decode(readBytes(temp / "Vennick.JNL"));
    ASSERT_FALSE(onDiskNow.records.empty());
    EXPECT_EQ(replay(onDiskNow.records, {}).live, "A\r\nB\r\n");
    EXPECT_EQ(
        replay(onDiskNow.records, [](const Intent&, const std::string&) { return true; }).live,
        "B\r\n")
        << "the intent says which part a landed write took";

    buffer.removeWrittenPrefix(3);  // it landed after all
    buffer.setObserver(nullptr);
    journal.reset();
    EXPECT_EQ(onDisk().live, "B\r\n");
}

// Lines taken from the waiting store are noted in the record that holds their text; a landed
// write that drops the records since the disk was clean keeps the note.
TEST_F(JournalTest, WaitingLinesTakenAreNotedWithTheirText) {
    {
        auto journal = open();
        buffer.setObserver(journal.get());
        buffer.append("W1");
        journal->waitingTaken(5);
        journal->beforeAppend(logFile(), -1, "W1\r\n", 4);
        buffer.removeWrittenPrefix(4);
        buffer.append("W2");
        journal->waitingTaken(6);
        buffer.setObserver(nullptr);
    }
    EXPECT_EQ(onDisk(), (Texts{"", "W2\r\n", 6}));
    auto reopened = open();
    EXPECT_EQ(reopened->waitingTaken(), 6u);
    EXPECT_EQ(reopened->durableWaitingTaken(), 6u);
    EXPECT_EQ(reopened->leftOver(), "W2\r\n");
}

TEST_F(JournalTest, ASecondOpenerIsRefused) {
    auto journal = open();
    EXPECT_FALSE(open());
}

// The journal as a crash right after a log write's flush leaves it: the intent is on the disk,
// its outcome is not. Only the log file can tell.
TEST_F(JournalTest, AWriteWhoseOutcomeWasLostIsSettledByItsLogFile) {
    const std::string text = "12.5\r\n13.0\r\n";
    const Intent write{Scope::Live, logFile(), 9, text.size(), crc32(text), text.size()};
    struct Case {
        const char* name;
        std::string logBefore;  // nothing: no file
        std::string logAfterCrash;
        std::string leftOver;
        std::string logAfterOpen;
    };
    const std::string earlier = "earlier\r\n";
    const std::vector<Case> cases = {
        {"landed", earlier, earlier + text, "", earlier + text},
        {"landed, more after it", earlier, earlier + text + "x\r\n", "", earlier + text + "x\r\n"},
        {"never started", earlier, earlier, text, earlier},
        {"file gone", earlier, "", text, ""},
        {"torn", earlier, earlier + text.substr(0, 7), text, earlier},
        {"someone else's bytes", earlier, earlier + "other", text, earlier + "other"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(logFile());
        if (!c.logAfterCrash.empty()) writeBytes(test::pathOf(logFile()), c.logAfterCrash);
        writeBytes(temp / "Vennick.JNL", encode(change(0, 0, text)) + encode(intent(write)));
        EXPECT_EQ(open()->leftOver(), c.leftOver) << c.name;
        EXPECT_EQ(readBytes(test::pathOf(logFile())), c.logAfterOpen) << c.name;
    }
}

TEST_F(JournalTest, ADamagedTailCostsOnlyTheDamagedRecord) {
    const std::string bytes = encode(change(0, 0, "A\r\n")) + encode(change(3, 0, "B\r\n"));
    writeBytes(temp / "Vennick.JNL", bytes.substr(0, bytes.size() - 1) + "garbage");
    EXPECT_EQ(open()->leftOver(), "A\r\n");
    EXPECT_EQ(decode(readBytes(temp / "Vennick.JNL")).records, std::vector{leftOver("A\r\n")});
}

TEST_F(JournalTest, StartWritesTheLeftOverOnceAndSaysWhere) {
    writeBytes(temp / "Vennick.JNL", encode(change(0, 0, "12.5\r\nｱｲｳ\r\n")));
    writeJournalLeftOver(*open(), nullptr, logs, writer, notifier);
    EXPECT_EQ(notifier.informed, std::vector<std::string>{"前回書き込まれなかった 2 行を\n" +
                                                          logFile() + "\nに書き込みました。"});
    EXPECT_EQ(readBytes(test::pathOf(logFile())), "12.5\r\n\xB1\xB2\xB3\r\n");
    EXPECT_EQ(std::filesystem::file_size(temp / "Vennick.JNL"), 0u);

    writeJournalLeftOver(*open(), nullptr, logs, writer, notifier);  // nothing left: no second box
    EXPECT_EQ(notifier.informed.size(), 1u);
}

TEST_F(JournalTest, AFailedStartWriteKeepsTheLinesForTheNextStart) {
    writeBytes(temp / "Vennick.JNL", encode(change(0, 0, "A\r\n")));
    writeBytes(temp / "log", "");  // the fallback cannot be made
    writeJournalLeftOver(*open(), nullptr, utf8(temp / "gone"), writer, notifier);
    const std::string fallback = exeDir + pathSeparator() + "log";
    EXPECT_EQ(notifier.informed,
              std::vector<std::string>{"Cannot create " + fallback +
                                       "\n前回書き込まれなかった 1 行を\nログファイルに書き込めま"
                                       "せんでした。\n次回の起動時にもう一度書き込みます。"});
    EXPECT_EQ(open()->leftOver(), "A\r\n");
}

}  // namespace
}  // namespace vennick
