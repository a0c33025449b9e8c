// The main window driven offscreen, receiving through a real pseudo-terminal (POSIX only).
#include <pty.h>
#include <unistd.h>
#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "tests/RS232CFunc/form_main_fixture.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::utf8;

// The device is the slave end of a real pseudo-terminal; the tests write to its master.
class FormMainTest : public test::FormMainFixture {
protected:
    void SetUp() override {
        FormMainFixture::SetUp();
        char name[256] = {};
        int slave = -1;
        ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        device_ = name;
    }

    void TearDown() override {
        FormMainFixture::TearDown();
        ::close(master_);
    }

    void send(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master_ = -1;
};

TEST_F(FormMainTest, TypicalEventIsShownCountedAndWritten) {
    open();
    startMonitoring();
    EXPECT_EQ(control<QLabel>("LabelBigLog")->text(), QStringLiteral("0000"));
    EXPECT_EQ(control<QLabel>("LabelWatch")->text(), QStringLiteral("監視中"));
    EXPECT_FALSE(control<QAction>("ActionEnv")->isEnabled());

    send("12.5\r");
    ASSERT_TRUE(waitFor([&] { return status() == QStringLiteral("line=1 nb=4 gb=5"); }));
    EXPECT_EQ(control<QPlainTextEdit>("Memo1")->toPlainText(), QStringLiteral("12.5\n"));

    send("\n\x04");
    ASSERT_TRUE(waitFor([&] { return status() == QStringLiteral("line=0 nb=0 gb=0"); }));
    EXPECT_EQ(control<QLabel>("LabelBigLog")->text(), QStringLiteral("0001"));
    EXPECT_EQ(readBytes(dir_ / "logs" / "09_05_07.TXT"), "12.5\r\n");
    EXPECT_TRUE(waitFor([&] { return control<QPlainTextEdit>("Memo1")->toPlainText().isEmpty(); }));
}

TEST_F(FormMainTest, ClickSelectsTheFirstLineHoldingTheTextAndDeletesTheClickedOne) {
    open("RadioWaitTimeIndex=0\r\n");
    startMonitoring();
    send("A12\r12\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 2; }));

    clickLine(1);
    auto* memo = control<QPlainTextEdit>("Memo1");
    EXPECT_EQ(memo->textCursor().selectionStart(), 1);
    EXPECT_EQ(memo->textCursor().selectedText(), QStringLiteral("12"));
    ASSERT_TRUE(control<QAction>("ActionDeleteLine")->isEnabled());

    control<QAction>("ActionDeleteLine")->trigger();
    EXPECT_EQ(form_->runState().text(), "A12\r\n");
    EXPECT_TRUE(waitFor([&] { return memo->toPlainText() == QStringLiteral("A12\n"); }));
    EXPECT_FALSE(control<QAction>("ActionDeleteLine")->isEnabled());
}

TEST_F(FormMainTest, ZeroSecondsLetsTheOperatorTypeAndWriteThatText) {
    open();
    control<QRadioButton>("RadioWaitTimeItem0")->click();
    auto* memo = control<QPlainTextEdit>("Memo1");
    EXPECT_FALSE(memo->isReadOnly());
    EXPECT_FALSE(control<QTimer>("TimerLog")->isActive());
    startMonitoring();

    memo->setFocus();
    QTest::keyClicks(memo, "typed");
    EXPECT_FALSE(control<QAction>("ActionWrite")->isEnabled()) << "typing applies no action rules";
    send("7\r\x04");  // EOT with automatic writing off requests nothing
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 2; }));
    EXPECT_EQ(form_->runState().text(), "typed\r\n7");
    ASSERT_TRUE(control<QAction>("ActionWrite")->isEnabled());

    control<QAction>("ActionWrite")->trigger();
    ASSERT_TRUE(waitFor([&] { return form_->runState().writtenCount() == 1; }));
    EXPECT_EQ(readBytes(dir_ / "logs" / "09_05_07.TXT"), "typed\r\n7");
    EXPECT_EQ(control<QLabel>("LabelBigLog")->text(), QStringLiteral("0001"));
}

TEST_F(FormMainTest, ClosingWhileMonitoringAsksAndNoKeepsReceiving) {
    open();
    startMonitoring();
    EXPECT_FALSE(form_->close());
    ASSERT_EQ(notifier_.asked.size(), 1u);
    EXPECT_EQ(notifier_.asked[0], "監視中ですが、\n終了してもいいですか？");
    EXPECT_TRUE(form_->isVisible());

    send("5\r");
    EXPECT_TRUE(waitFor([&] { return form_->runState().lineCount() == 1; }));

    notifier_.answers.push_back(true);
    EXPECT_TRUE(form_->close());
    EXPECT_EQ(status(), QStringLiteral("終了中...."));
}

// A confirmed close writes what the window holds, as "書込" would, so that the file is named
// after the time the lines came, not after the next start's.
TEST_F(FormMainTest, AConfirmedCloseWritesTheLinesStillInTheWindow) {
    open("RadioWaitTimeIndex=0\r\n");
    startMonitoring();
    send("1\r2\r3\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 3; }));
    notifier_.answers.push_back(true);
    EXPECT_TRUE(form_->close());
    EXPECT_EQ(readBytes(dir_ / "logs" / "09_05_07.TXT"), "1\r\n2\r\n3\r\n");
    EXPECT_EQ(form_->runState().lineCount(), 0);
}

TEST_F(FormMainTest, DirectoryErrorOnWriteShowsOneErrorBoxAndKeepsTheLines) {
    writeIni("RadioWaitTimeIndex=0\r\n");
    fs::remove(dir_ / "logs");
    std::ofstream(dir_ / "log") << "a file where the fallback directory would go";
    open();
    notifier_.informed.clear();
    startMonitoring();
    send("1\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 1; }));

    control<QAction>("ActionWrite")->trigger();
    ASSERT_TRUE(waitFor([&] { return !notifier_.errors.empty(); }));
    ASSERT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "Cannot create " + utf8(dir_.path()) + "//log");
    EXPECT_EQ(form_->runState().lineCount(), 1);
    EXPECT_EQ(control<QLabel>("LabelBigLog")->text(), QStringLiteral("0000"));
}

TEST_F(FormMainTest, ErrorsFromReceivedLinesNeverStackASecondBox) {
    writeIni("RadioWaitTimeIndex=3\r\n");
    fs::remove(dir_ / "logs");
    std::ofstream(dir_ / "log") << "a file where the fallback directory would go";
    open();
    startMonitoring();
    notifier_.whileErrorShown = [&] {
        send("2\r\x04");  // the next line retries the write and fails again while the box is up
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return form_->runState().lineCount() == 2 && !form_->runState().writing(); },
            5000));
        QCoreApplication::processEvents();  // its error arrives while the box is still up
    };
    send("1\r\x04");
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 2; }));
    EXPECT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "Cannot create " + utf8(dir_.path()) + "//log");

    notifier_.whileErrorShown = nullptr;
    send("3\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().lineCount() == 3; }));
    EXPECT_TRUE(waitFor([&] { return notifier_.errors.size() == 2; }))
        << "once the box is closed the next failure shows again";
    EXPECT_EQ(form_->runState().writeRequest(), 1);
}

}  // namespace
}  // namespace vennick
