#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "RS232CFunc/log/log_write_thread.h"
#include "RS232CFunc/state/run_state.h"
#include "tests/support/log_test_support.h"

namespace vennick {
namespace {

using Kind = BatchWriter::Outcome::Kind;
using testing::readFile;
using testing::TempDir;

// A writer whose batches land (or fail) when the test says so.
class HeldWriter : public BatchWriter {
public:
    void submit(std::string /*logDirectory*/, std::string text, Done done) override {
        batches.push_back(text);
        pending.push_back(std::move(done));
    }
    void finish(Kind kind, std::string message = {}) {
        ASSERT_FALSE(pending.empty()) << "no write under way";
        Done done = std::move(pending.front());
        pending.pop_front();
        done({kind, std::move(message)});
    }

    std::vector<std::string> batches;
    std::deque<Done> pending;
};

class RecordingView : public RunStateView {
public:
    void catchUp(const ShownState& state) override {
        status = state.status;
        actions = state.actions;
        writtenCount = state.writtenCount;
        ++catchUps;
    }
    int caretLine() const override { return caret; }
    void lineRemoved(int index) override { changes.push_back("remove " + std::to_string(index)); }
    void textCutAt(std::size_t keptBytes) override {
        changes.push_back("cut " + std::to_string(keptBytes));
    }
    void selectLine(const LineSelection& selection) override { selected = selection; }
    void changed() override {}
    void errorRaised(const std::string& message) override { errors.push_back(message); }

    std::string status;
    ActionStates actions;
    std::int32_t writtenCount = 0;
    int catchUps = 0;
    int caret = 0;
    std::vector<std::string> changes;
    std::optional<LineSelection> selected;
    std::vector<std::string> errors;
};

constexpr ActionStates kNothingEnabled{false, false, false};
constexpr ActionStates kWriteAndErase{true, true, false};
constexpr const char* kLimitText = "Line が 1000 を超えました。";

class RunStateTest : public ::testing::Test {
protected:
    RunStateTest() { settings.waitIndex = 1; }

    void receive(LineEvent line) {
        std::vector<LineEvent> lines{std::move(line)};
        state.receive(lines);
    }
    void receiveLines(int from, int to, bool eotAfter = false) {
        std::vector<LineEvent> lines;
        for (int n = from; n <= to; ++n) lines.push_back({std::to_string(n), 3, 2});
        if (eotAfter) lines.back().endedByEot = true;
        state.receive(lines);
    }
    std::string shownStatus() {
        state.showState();
        return view.status;
    }
    ActionStates shownActions() {
        state.showState();
        return view.actions;
    }

    Settings settings;
    HeldWriter writer;
    MemoryWaitingQueue waiting;
    RecordingView view;
    RunState state{settings, writer, waiting, view};
};

TEST_F(RunStateTest, TypicalEventIsShownThenWrittenAtTheEot) {
    receive({"12.5", 5, 4});  // 12.5 CR
    EXPECT_EQ(shownStatus(), "line=1 nb=4 gb=5");
    EXPECT_EQ(shownActions(), kWriteAndErase);
    EXPECT_TRUE(writer.batches.empty());

    receive({"", 2, 0, true});  // LF EOT
    ASSERT_EQ(writer.batches, std::vector<std::string>{"12.5\r\n"});
    EXPECT_EQ(state.writeRequest(), 1);
    writer.finish(Kind::Landed);
    EXPECT_EQ(shownStatus(), "line=0 nb=0 gb=0");
    EXPECT_EQ(view.writtenCount, 1);
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_EQ(state.text(), "");
    EXPECT_EQ(shownActions(), kNothingEnabled);
    EXPECT_EQ(state.clickedLine(), -1);
}

TEST_F(RunStateTest, CountersWrapAroundAndTheStatusLineShowsThemSigned) {
    receive({"A", 2147483647, 1});
    receive({"B", 2, 1});
    EXPECT_EQ(shownStatus(), "line=2 nb=2 gb=-2147483647");
}

TEST_F(RunStateTest, EotOnAnEmptyBufferWritesTheNextLineRightAfterIt) {
    receive({"", 1, 0, true});
    EXPECT_EQ(state.writeRequest(), 1);
    EXPECT_EQ(shownStatus(), "line=0 nb=0 gb=1");
    EXPECT_TRUE(writer.batches.empty());

    receive({"ABC", 4, 3});  // no EOT of its own
    ASSERT_EQ(writer.batches, std::vector<std::string>{"ABC\r\n"});
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.writtenCount(), 1);
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_EQ(shownStatus(), "line=0 nb=0 gb=0");
}

TEST_F(RunStateTest, EotRequestsNoWriteWhileAutomaticWritingIsOffOrNegative) {
    for (const std::int32_t index : {0, -1}) {
        state.setWaitIndex(index);
        receive({"ABC", 4, 3, true});
        EXPECT_EQ(state.writeRequest(), 0) << index;
    }
    EXPECT_EQ(state.lineCount(), 2);
    EXPECT_TRUE(writer.batches.empty());
}

TEST_F(RunStateTest, FailedWriteKeepsLinesCountAndRequestForTheNextLine) {
    receive({"A", 2, 1, true});
    writer.finish(Kind::Failed);
    EXPECT_EQ(state.text(), "A\r\n");
    EXPECT_EQ(state.writeRequest(), 1);
    EXPECT_EQ(state.writtenCount(), 0);
    EXPECT_EQ(shownStatus(), "line=1 nb=1 gb=2");
    EXPECT_EQ(shownActions(), kWriteAndErase);

    state.writeBuffer();  // "書込" fails the same way
    writer.finish(Kind::Failed);
    state.timerTick();  // so does the timer, which then starts counting afresh
    writer.finish(Kind::Failed);
    EXPECT_EQ(state.tickCount(), 0);
    EXPECT_EQ(state.text(), "A\r\n");

    receive({"B", 2, 1});  // the next line retries
    ASSERT_EQ(writer.batches.back(), "A\r\nB\r\n");
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.writtenCount(), 1);
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_TRUE(view.errors.empty());
}

TEST_F(RunStateTest, ErrorIsShownAndTheTimerRetriesOnEveryTick) {
    receive({"A", 2, 1, true});
    writer.finish(Kind::Error, "Cannot create /x/log");
    EXPECT_EQ(view.errors, std::vector<std::string>{"Cannot create /x/log"});
    EXPECT_EQ(shownStatus(), "line=1 nb=1 gb=2");
    EXPECT_EQ(state.text(), "A\r\n");
    EXPECT_EQ(state.writeRequest(), 1);

    state.setWaitIndex(2);
    state.timerTick();
    state.timerTick();
    writer.finish(Kind::Error, "Cannot create /x/log");
    EXPECT_EQ(state.tickCount(), 2) << "the count stays, so the next tick tries again";
    state.timerTick();
    EXPECT_EQ(writer.batches.size(), 3u);
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.tickCount(), 0);
    EXPECT_EQ(state.lineCount(), 0);
}

TEST_F(RunStateTest, ClickSelectsTheFirstLineContainingTheTextAndDeleteRemovesTheClickedOne) {
    state.setWaitIndex(0);
    receive({"A12", 4, 3});
    receive({"12", 3, 2});

    view.caret = 1;
    state.lineClicked();
    EXPECT_EQ(view.selected, (LineSelection{0, 1, 2}));
    EXPECT_EQ(state.clickedLine(), 1);
    EXPECT_TRUE(view.actions.deleteLine);

    state.deleteClickedLine();
    EXPECT_EQ(state.text(), "A12\r\n");
    EXPECT_EQ(view.changes.back(), "remove 1");
    EXPECT_EQ(view.actions, kWriteAndErase);  // disabled until the next click
    EXPECT_EQ(state.clickedLine(), 1);

    state.deleteClickedLine();  // index 1 no longer exists
    EXPECT_EQ(state.text(), "A12\r\n");
}

TEST_F(RunStateTest, DeleteStaysOffAfterAClickBelowTheLastLineOrANewLine) {
    state.setWaitIndex(0);
    receive({"A", 2, 1});
    state.selectionLengthChanged(0);  // the click itself emptied the selection
    view.caret = 1;
    state.lineClicked();
    EXPECT_FALSE(view.selected);
    EXPECT_FALSE(view.actions.deleteLine);
    state.deleteClickedLine();
    EXPECT_EQ(state.lineCount(), 1);

    view.caret = 0;
    state.lineClicked();
    ASSERT_TRUE(view.actions.deleteLine);
    receive({"B", 2, 1});  // drops the selection
    EXPECT_FALSE(shownActions().deleteLine);
    state.deleteClickedLine();
    EXPECT_EQ(state.lineCount(), 2);
}

TEST_F(RunStateTest, OnAnEmptyBufferWriteChangesNothingAndEraseStillResets) {
    state.writeBuffer();
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_TRUE(writer.batches.empty());

    receive({"", 3, 0});  // bytes that framed no line
    EXPECT_EQ(shownStatus(), "line=0 nb=0 gb=3");
    state.eraseBuffer();
    EXPECT_EQ(view.status, "");
    EXPECT_EQ(state.received(), 0);
    EXPECT_EQ(state.accepted(), 0);
    EXPECT_EQ(state.clickedLine(), -1);
    EXPECT_EQ(view.actions, kNothingEnabled);
}

TEST_F(RunStateTest, TimerWritesOnTheWaitIndexthTickThatFindsLines) {
    state.setWaitIndex(2);
    state.timerTick();  // empty buffer: nothing
    receive({"A", 2, 1});
    state.timerTick();
    EXPECT_EQ(state.tickCount(), 1);
    EXPECT_TRUE(writer.batches.empty());
    state.timerTick();
    ASSERT_EQ(writer.batches, std::vector<std::string>{"A\r\n"});
    state.timerTick();  // the write is under way: the ticks only count
    EXPECT_EQ(writer.batches.size(), 1u);
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.tickCount(), 0);
    EXPECT_EQ(shownStatus(), "");
}

TEST_F(RunStateTest, WriteFromAnotherSourceRestartsTheTickCount) {
    state.setWaitIndex(3);
    receive({"A", 2, 1});
    state.timerTick();
    state.timerTick();
    ASSERT_EQ(state.tickCount(), 2);
    state.writeBuffer();
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.tickCount(), 0);
}

TEST_F(RunStateTest, TypedTextIsCountedAtOnceButEnablesNothingUntilTheNextUpdate) {
    state.setWaitIndex(0);
    EXPECT_TRUE(state.applyViewEdit(0, 0, "typed"));
    EXPECT_EQ(state.lineCount(), 1);
    EXPECT_EQ(shownActions(), kNothingEnabled);
    EXPECT_TRUE(view.changes.empty()) << "the view shows its own edit already";

    receive({"ABC", 4, 3});  // joins the typed line with CR LF, none after
    state.writeBuffer();
    EXPECT_EQ(writer.batches, std::vector<std::string>{"typed\r\nABC"});
}

// Lines beyond the list wait, in order, and enter it as it gets room, each with the effects it
// would have had arriving then: its counts, its EOT's write, the status line.
TEST_F(RunStateTest, LinesBeyondTheListWaitAndEnterInOrderAsItGetsRoom) {
    state.setWaitIndex(0);
    receiveLines(1, 1003);
    EXPECT_EQ(state.lineCount(), RunState::kLineLimit + 1);
    EXPECT_TRUE(state.linesWaiting());
    EXPECT_EQ(shownStatus(), kLimitText);

    state.eraseBuffer();  // the two waiting lines come in
    EXPECT_EQ(state.text(), "1002\r\n1003\r\n");
    EXPECT_EQ(state.received(), 6);
    EXPECT_FALSE(state.linesWaiting());
    EXPECT_EQ(shownStatus(), "line=2 nb=4 gb=6");

    receiveLines(1, 999);  // full again
    state.setWaitIndex(1);
    receive({"", 1, 0, true});  // waits: the list is full
    receive({"last", 5, 4});
    EXPECT_TRUE(writer.batches.empty());
    view.caret = 5;
    state.lineClicked();
    state.deleteClickedLine();  // room: the EOT writes the list, then "last" joins it
    ASSERT_EQ(writer.batches.size(), 1u);
    EXPECT_EQ(writer.batches[0].find("last"), std::string::npos);
    EXPECT_EQ(state.lineCount(), RunState::kLineLimit + 1);
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.text(), "last\r\n");
    EXPECT_FALSE(state.linesWaiting());
}

// A batch is the list at the moment the write began; what arrives meanwhile joins the list
// behind it, keeps its counts, and stays when the batch has landed.
TEST_F(RunStateTest, WhileABatchIsWrittenLinesKeepComingAndOnlyTheBatchLeaves) {
    receive({"A", 2, 1});
    receive({"", 2, 0, true});
    ASSERT_EQ(writer.batches, std::vector<std::string>{"A\r\n"});
    receive({"B", 3, 1});
    EXPECT_EQ(shownStatus(), "line=2 nb=2 gb=7");
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.text(), "B\r\n");
    EXPECT_EQ(shownStatus(), "line=1 nb=1 gb=3");
    EXPECT_EQ(state.writeRequest(), 0) << "B ended with no EOT: it waits for its own";
    EXPECT_EQ(writer.batches.size(), 1u);

    receive({"", 1, 0, true});
    receive({"C", 2, 1, true});  // an EOT while B is being written: C follows right after
    writer.finish(Kind::Landed);
    EXPECT_EQ(writer.batches.back(), "C\r\n");
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.text(), "");
    EXPECT_EQ(state.writtenCount(), 3);
}

// The operator's actions take the lines that are not being written.
TEST_F(RunStateTest, WhileABatchIsWrittenTheOperatorActsOnTheLinesBehindIt) {
    state.setWaitIndex(0);
    receiveLines(1, 2);
    state.writeBuffer();
    receiveLines(3, 4);

    view.caret = 0;
    state.lineClicked();
    state.deleteClickedLine();  // line 1 is being written
    EXPECT_EQ(state.lineCount(), 4);
    EXPECT_FALSE(state.applyViewEdit(0, 1, "x")) << "an edit of the batch is refused";
    EXPECT_TRUE(state.applyViewEdit(6, 0, "x"));
    EXPECT_EQ(state.text(), "1\r\n2\r\nx3\r\n4\r\n");

    state.eraseBuffer();
    EXPECT_EQ(state.text(), "1\r\n2\r\n");
    EXPECT_EQ(view.changes.back(), "cut 6");
    EXPECT_EQ(state.received(), 6) << "the counts that came with the batch";
    writer.finish(Kind::Landed);
    EXPECT_EQ(state.text(), "");
    EXPECT_EQ(state.received(), 0);

    EXPECT_FALSE(state.applyViewEdit(0, 0, "y")) << "before the written bytes";
    EXPECT_TRUE(state.applyViewEdit(6, 0, "y"));
    EXPECT_EQ(state.text(), "y");
}

TEST_F(RunStateTest, ReceptionWaitsOnlyWhileTheWaitingQueueIsFull) {
    MemoryWaitingQueue small(4 * sizeof(WaitingLine));
    RunState tight{settings, writer, small, view};
    std::vector<LineEvent> lines(RunState::kLineLimit + 1, LineEvent{"x", 2, 1});
    tight.receive(lines);
    EXPECT_TRUE(tight.hasRoom());
    std::vector<LineEvent> more(8, LineEvent{"y", 2, 1});
    tight.receive(more);
    EXPECT_FALSE(tight.hasRoom());
    EXPECT_FALSE(tight.waitForRoom(1));
    tight.eraseBuffer();
    EXPECT_TRUE(tight.waitForRoom(1));
    EXPECT_EQ(tight.lineCount(), 8);
}

// At a confirmed close the list and the waiting lines go out, batch after batch, through the
// real writer thread into real files.
TEST(RunStateClose, EverythingHeldIsWrittenBeforeTheProgramEnds) {
    TempDir temp;
    Settings settings;
    settings.logDirectory = temp.path();
    settings.waitIndex = 0;
    LogWriteThread writer(LogWriter(temp.path() + "/", [] { return TimeOfDay{9, 5, 7}; }));
    MemoryWaitingQueue waiting;
    RecordingView view;
    RunState state{settings, writer, waiting, view};
    std::vector<LineEvent> lines;
    std::string expected;
    for (int n = 1; n <= 2500; ++n) {
        lines.push_back({std::to_string(n), 6, 4});
        expected += std::to_string(n) + "\r\n";
    }
    state.receive(lines);
    ASSERT_TRUE(state.linesWaiting());
    EXPECT_TRUE(state.writeEverything(20000));
    EXPECT_EQ(readFile(temp.path() + "/09_05_07.TXT"), expected);
    EXPECT_EQ(state.writtenCount(), 3);
    EXPECT_EQ(state.lineCount(), 0);
}

}  // namespace
}  // namespace vennick
