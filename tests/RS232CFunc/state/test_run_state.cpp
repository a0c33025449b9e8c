#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/state/run_state.h"
#include "settings/app_error.h"
#include "tests/support/log_test_support.h"

namespace vennick {
namespace {

using testing::HeldLock;
using testing::namesIn;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

class RecordingView : public RunStateView {
public:
    void statusChanged() override { statuses.push_back(state->status()); }
    void showWrittenCount(std::int32_t count) override { writtenCounts.push_back(count); }
    void showActions(const ActionStates& states) override {
        actions = states;
        ++actionUpdates;
    }
    void textAppended() override { changes.push_back("append"); }
    void lineRemoved(int index) override { changes.push_back("remove " + std::to_string(index)); }
    void textCleared() override { changes.push_back("clear"); }
    void selectLine(const LineSelection& selection) override { selected = selection; }
    void lineCountChanged(int count) override { lineCounts.push_back(count); }

    const RunState* state = nullptr;
    std::vector<std::string> statuses;
    std::vector<std::int32_t> writtenCounts;
    ActionStates actions;
    int actionUpdates = 0;
    std::vector<std::string> changes;  // of the buffer, as the view is told
    std::optional<LineSelection> selected;
    std::vector<int> lineCounts;
};

constexpr ActionStates kNothingEnabled{false, false, false};
constexpr ActionStates kWriteAndErase{true, true, false};

class RunStateTest : public ::testing::Test {
protected:
    RunStateTest() {
        std::filesystem::create_directory(logs);
        std::filesystem::create_directory(temp / "exe");
        settings.logDirectory = logs;
        settings.waitIndex = 1;
        view.state = &state;
    }

    std::string logFile() const { return logs + "/14_03_27.TXT"; }

    // No directory to write into: the configured one is gone, a file stands on the fallback.
    void blockWriting() {
        writeFile(temp / "exe/log", "");
        settings.logDirectory = temp / "gone";
    }

    TempDir temp;
    const std::string logs = temp / "logs";
    Settings settings;
    LogWriter writer{temp / "exe/", [] { return TimeOfDay{14, 3, 27}; }};
    RecordingView view;
    RunState state{settings, writer, view};
};

TEST_F(RunStateTest, TypicalEventIsShownThenWrittenAtTheEot) {
    state.applyLine({"12.5", 5, 4});  // 12.5 CR
    EXPECT_EQ(view.statuses.back(), "line=1 nb=4 gb=5");
    EXPECT_EQ(view.actions, kWriteAndErase);
    EXPECT_EQ(view.changes, std::vector<std::string>{"append"});

    state.applyLine({"", 2, 0, true});  // LF EOT
    EXPECT_EQ(view.statuses,
              (std::vector<std::string>{"line=1 nb=4 gb=5", "", "line=0 nb=0 gb=0"}));
    EXPECT_EQ(view.writtenCounts, std::vector<std::int32_t>{1});
    EXPECT_EQ(readFile(logFile()), "12.5\r\n");
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_EQ(state.buffer().count(), 0);
    EXPECT_EQ(view.lineCounts, (std::vector<int>{1, 0}));
    EXPECT_EQ(view.changes, (std::vector<std::string>{"append", "clear"}));
    EXPECT_EQ(view.actions, kNothingEnabled);
    EXPECT_EQ(state.clickedLine(), -1);
}

TEST_F(RunStateTest, CountersWrapAroundAndTheStatusLineShowsThemSigned) {
    state.applyLine({"A", 2147483647, 1});
    state.applyLine({"B", 2, 1});
    EXPECT_EQ(view.statuses.back(), "line=2 nb=2 gb=-2147483647");
}

TEST_F(RunStateTest, EotOnAnEmptyBufferWritesTheNextLineRightAfterIt) {
    state.applyLine({"", 1, 0, true});
    EXPECT_EQ(state.writeRequest(), 1);
    EXPECT_EQ(view.statuses.back(), "line=0 nb=0 gb=1");
    EXPECT_TRUE(namesIn(logs).empty());

    state.applyLine({"ABC", 4, 3});  // no EOT of its own
    EXPECT_EQ(readFile(logFile()), "ABC\r\n");
    EXPECT_EQ(state.writtenCount(), 1);
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_EQ(view.statuses.back(), "line=0 nb=0 gb=0");
}

TEST_F(RunStateTest, EotRequestsNoWriteWhileAutomaticWritingIsOffOrNegative) {
    for (const std::int32_t index : {0, -1}) {
        state.setWaitIndex(index);
        state.applyLine({"ABC", 4, 3, true});
        EXPECT_EQ(state.writeRequest(), 0) << index;
    }
    EXPECT_EQ(state.buffer().count(), 2);
    EXPECT_TRUE(namesIn(logs).empty());
}

TEST_F(RunStateTest, SilentSaveFailureKeepsLinesCountAndRequestForTheNextLine) {
    writeFile(logFile(), "earlier\r\n");
    {
        const HeldLock held(logFile());
        state.applyLine({"A", 2, 1, true});
        EXPECT_EQ(state.buffer().text(), "A\r\n");
        EXPECT_EQ(state.writeRequest(), 1);
        EXPECT_EQ(state.writtenCount(), 0);
        EXPECT_TRUE(view.writtenCounts.empty());
        EXPECT_EQ(view.statuses.back(), "line=1 nb=1 gb=2");
        EXPECT_EQ(view.actions, kWriteAndErase);

        state.writeBuffer();  // "書込" fails the same way
        EXPECT_EQ(state.buffer().text(), "A\r\n");
        EXPECT_EQ(readFile(logFile()), "earlier\r\n");

        state.timerTick();  // so does the timer, which then starts counting afresh
        EXPECT_EQ(state.tickCount(), 0);
        EXPECT_EQ(state.buffer().text(), "A\r\n");
    }
    state.applyLine({"B", 2, 1});  // the file is free again: this line retries
    EXPECT_EQ(readFile(logFile()), "earlier\r\nA\r\nB\r\n");
    EXPECT_EQ(state.writtenCount(), 1);
    EXPECT_EQ(state.writeRequest(), 0);
}

TEST_F(RunStateTest, DirectoryErrorFinishesTheLineThenPropagates) {
    blockWriting();
    EXPECT_THROW(state.applyLine({"A", 2, 1, true}), AppError);
    EXPECT_EQ(view.statuses.back(), "line=1 nb=1 gb=2");
    EXPECT_EQ(view.actions, kWriteAndErase);
    EXPECT_EQ(state.buffer().text(), "A\r\n");
    EXPECT_EQ(state.writeRequest(), 1);

    EXPECT_THROW(state.writeBuffer(), AppError);
    EXPECT_EQ(state.buffer().text(), "A\r\n");
}

TEST_F(RunStateTest, MissingLogDirectoryWritesToTheFallbackAndKeepsTheSetting) {
    const std::string gone = temp / "gone";
    settings.logDirectory = gone;
    state.applyLine({"A", 2, 1, true});
    EXPECT_EQ(readFile(temp / "exe/log/14_03_27.TXT"), "A\r\n");
    EXPECT_EQ(state.settings().logDirectory, gone);
    EXPECT_FALSE(std::filesystem::exists(gone));
}

TEST_F(RunStateTest, ClickSelectsTheFirstLineContainingTheTextAndDeleteRemovesTheClickedOne) {
    state.setWaitIndex(0);
    state.applyLine({"A12", 4, 3});
    state.applyLine({"12", 3, 2});

    state.lineClicked(1);
    ASSERT_TRUE(view.selected);
    EXPECT_EQ(state.buffer().offsetOf(*view.selected), 1);
    EXPECT_EQ(view.selected->length, 2);
    EXPECT_EQ(state.clickedLine(), 1);
    EXPECT_TRUE(view.actions.deleteLine);

    view.lineCounts.clear();
    state.deleteClickedLine();
    EXPECT_EQ(state.buffer().text(), "A12\r\n");
    EXPECT_EQ(view.changes.back(), "remove 1");
    EXPECT_EQ(view.lineCounts, std::vector<int>{1});
    EXPECT_EQ(view.actions, kWriteAndErase);  // disabled until the next click
    EXPECT_EQ(state.clickedLine(), 1);

    state.deleteClickedLine();  // index 1 no longer exists
    EXPECT_EQ(state.buffer().text(), "A12\r\n");
}

TEST_F(RunStateTest, DeleteStaysOffAfterAClickBelowTheLastLineOrANewLine) {
    state.setWaitIndex(0);
    state.applyLine({"A", 2, 1});
    state.selectionLengthChanged(0);  // the click itself emptied the selection
    state.lineClicked(1);
    EXPECT_FALSE(view.selected);
    EXPECT_FALSE(view.actions.deleteLine);
    state.deleteClickedLine();
    EXPECT_EQ(state.buffer().count(), 1);

    state.lineClicked(0);
    ASSERT_TRUE(view.actions.deleteLine);
    state.applyLine({"B", 2, 1});  // drops the selection
    EXPECT_FALSE(view.actions.deleteLine);
    state.deleteClickedLine();
    EXPECT_EQ(state.buffer().count(), 2);
}

TEST_F(RunStateTest, OnAnEmptyBufferWriteChangesNothingAndEraseStillResets) {
    state.writeBuffer();
    EXPECT_EQ(state.writeRequest(), 0);
    EXPECT_EQ(view.actionUpdates, 0);
    EXPECT_TRUE(namesIn(logs).empty());

    state.applyLine({"", 3, 0});  // bytes that framed no line
    EXPECT_EQ(view.statuses.back(), "line=0 nb=0 gb=3");
    state.eraseBuffer();
    EXPECT_EQ(view.statuses.back(), "");
    EXPECT_EQ(state.received(), 0);
    EXPECT_EQ(state.accepted(), 0);
    EXPECT_EQ(state.clickedLine(), -1);
    EXPECT_EQ(view.actions, kNothingEnabled);
}

TEST_F(RunStateTest, TimerWritesOnTheWaitIndexthTickAndRetriesAfterADirectoryError) {
    state.setWaitIndex(2);
    state.timerTick();  // empty buffer: nothing
    state.applyLine({"A", 2, 1});
    state.timerTick();
    EXPECT_EQ(state.tickCount(), 1);
    EXPECT_TRUE(namesIn(logs).empty());
    state.timerTick();
    EXPECT_EQ(readFile(logFile()), "A\r\n");
    EXPECT_EQ(state.tickCount(), 0);

    SCOPED_TRACE("no directory to write into: the count stays and every tick retries");
    blockWriting();
    state.applyLine({"B", 2, 1});
    state.timerTick();
    EXPECT_THROW(state.timerTick(), AppError);
    EXPECT_EQ(state.tickCount(), 2);
    EXPECT_THROW(state.timerTick(), AppError);
    EXPECT_EQ(state.tickCount(), 3);

    settings.logDirectory = logs;  // the directory is back
    state.timerTick();
    EXPECT_EQ(readFile(logFile()), "A\r\nB\r\n");
    EXPECT_EQ(state.tickCount(), 0);
    EXPECT_EQ(state.buffer().count(), 0);
}

TEST_F(RunStateTest, WriteFromAnotherSourceRestartsTheTickCount) {
    state.setWaitIndex(3);
    state.applyLine({"A", 2, 1});
    state.timerTick();
    state.timerTick();
    ASSERT_EQ(state.tickCount(), 2);
    state.writeBuffer();
    EXPECT_EQ(state.tickCount(), 0);
}

TEST_F(RunStateTest, TypedTextIsCountedAtOnceButEnablesNothingUntilTheNextUpdate) {
    state.setWaitIndex(0);
    state.applyViewEdit(0, 0, "typed");
    EXPECT_EQ(view.lineCounts, std::vector<int>{1});
    EXPECT_EQ(view.actionUpdates, 0);
    EXPECT_TRUE(view.changes.empty()) << "the view shows its own edit already";

    state.applyLine({"ABC", 4, 3});  // joins the typed line with CR LF, none after
    state.writeBuffer();
    EXPECT_EQ(readFile(logFile()), "typed\r\nABC");
}

}  // namespace
}  // namespace vennick
