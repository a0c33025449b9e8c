// The main window driven offscreen, through a real pseudo-terminal and real files.
#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>
#include <QAction>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "RS232CFunc/TFormMain.h"
#include "support/recording_notifier.h"

namespace vennick {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class FormMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vennick-form-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "logs");
        char name[256] = {};
        int slave = -1;
        ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        device_ = name;
    }

    void TearDown() override {
        form_.reset();
        ::close(master_);
        fs::remove_all(dir_);
    }

    void writeIni(const std::string& params, const std::string& device = {}) {
        std::ofstream ini(dir_ / "Vennick.INI", std::ios::binary);
        ini << "[WorkFiles]\r\nexLogFilePath=" << (dir_ / "logs").string() << "\r\n"
            << "[Params]\r\n"
            << params << "[Ports]\r\nCOM1=" << (device.empty() ? device_ : device) << "\r\n";
    }

    void open(const std::string& params = "RadioWaitTimeIndex=1\r\n") {
        if (!fs::exists(dir_ / "Vennick.INI")) writeIni(params);
        FormMainServices services{notifier_,
                                  dir_.string() + "/",
                                  (dir_ / "Vennick.INI").string(),
                                  [] {
                                      return TimeOfDay{9, 5, 7};
                                  },
                                  [](int) {},
                                  {}};
        form_ = std::make_unique<TFormMain>(services);
        form_->show();
    }

    template <typename T>
    T* control(const char* name) {
        T* found = form_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QString status() { return control<QLabel>("Label1")->text(); }

    void send(std::string_view bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(
            [&] {
                form_->flushView();
                return condition();
            },
            5000);
    }

    void startMonitoring() {
        control<QPushButton>("BitBtnStart")->click();
        ASSERT_TRUE(control<QLabel>("LabelWatch")->isVisible());
    }

    // Puts the caret on a line of the view and releases the mouse there, as a click does.
    void clickLine(int line) {
        auto* memo = control<QPlainTextEdit>("Memo1");
        QTextCursor cursor(memo->document()->findBlockByNumber(line));
        memo->setTextCursor(cursor);
        QTest::mouseRelease(memo->viewport(), Qt::LeftButton, {}, memo->cursorRect().center());
        QCoreApplication::processEvents();
    }

    fs::path dir_;
    int master_ = -1;
    std::string device_;
    test::RecordingNotifier notifier_;
    std::unique_ptr<TFormMain> form_;
};

TEST_F(FormMainTest, StartsIdleWithOnlyTheStartButtonAndSettings) {
    open();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("Vennick(RS232C)"));
    EXPECT_FALSE(control<QPlainTextEdit>("Memo1")->isVisible());
    EXPECT_FALSE(control<QLabel>("LabelBigLog")->isVisible());
    EXPECT_FALSE(control<QLabel>("LabelWatch")->isVisible());
    EXPECT_TRUE(control<QPushButton>("BitBtnStart")->isVisible());
    EXPECT_TRUE(control<QAction>("ActionEnv")->isEnabled());
    EXPECT_FALSE(control<QAction>("ActionWrite")->isEnabled());
    EXPECT_FALSE(control<QAction>("ActionBuffErase")->isEnabled());
    EXPECT_FALSE(control<QAction>("ActionDeleteLine")->isEnabled());
    EXPECT_TRUE(control<QAction>("ActionQuit")->isEnabled());
    EXPECT_EQ(control<QLabel>("StatusBarPanel0")->text().toStdString(), (dir_ / "logs").string());
    EXPECT_TRUE(control<QTimer>("TimerLog")->isActive());
    EXPECT_TRUE(control<QPlainTextEdit>("Memo1")->isReadOnly());
}

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
    EXPECT_EQ(readFile(dir_ / "logs" / "09_05_07.TXT"), "12.5\r\n");
    EXPECT_TRUE(waitFor([&] { return control<QPlainTextEdit>("Memo1")->toPlainText().isEmpty(); }));
}

TEST_F(FormMainTest, ClickSelectsTheFirstLineHoldingTheTextAndDeletesTheClickedOne) {
    open("RadioWaitTimeIndex=0\r\n");
    startMonitoring();
    send("A12\r12\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 2; }));

    clickLine(1);
    auto* memo = control<QPlainTextEdit>("Memo1");
    EXPECT_EQ(memo->textCursor().selectionStart(), 1);
    EXPECT_EQ(memo->textCursor().selectedText(), QStringLiteral("12"));
    ASSERT_TRUE(control<QAction>("ActionDeleteLine")->isEnabled());

    control<QAction>("ActionDeleteLine")->trigger();
    EXPECT_EQ(form_->runState().buffer().text(), "A12\r\n");
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
    ASSERT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 2; }));
    EXPECT_EQ(form_->runState().buffer().text(), "typed\r\n7");
    ASSERT_TRUE(control<QAction>("ActionWrite")->isEnabled());

    control<QAction>("ActionWrite")->trigger();
    EXPECT_EQ(readFile(dir_ / "logs" / "09_05_07.TXT"), "typed\r\n7");
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
    EXPECT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 1; }));

    notifier_.answers.push_back(true);
    EXPECT_TRUE(form_->close());
    EXPECT_EQ(status(), QStringLiteral("終了中...."));
}

TEST_F(FormMainTest, ClosingInIdleSavesEveryKeyWithoutAQuestion) {
    open("cBauRate=$A\r\nRadioWaitTimeIndex=9\r\n");
    EXPECT_TRUE(control<QRadioButton>("RadioWaitTimeItem4")->isChecked());
    EXPECT_TRUE(form_->close());
    EXPECT_TRUE(notifier_.asked.empty());
    const std::string ini = readFile(dir_ / "Vennick.INI");
    EXPECT_NE(ini.find("cBauRate=10\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("RadioWaitTimeIndex=4\r\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("COM1=" + device_), std::string::npos) << "the port mapping survives";
}

TEST_F(FormMainTest, NegativeWaitIndexSelectsNothingAndKeepsTheTimerRunning) {
    open("RadioWaitTimeIndex=-2\r\n");
    auto* group = control<QGroupBox>("RadioWaitTime");
    for (auto* item : group->findChildren<QRadioButton*>()) EXPECT_FALSE(item->isChecked());
    EXPECT_EQ(form_->runState().waitIndex(), -2);
    EXPECT_TRUE(control<QTimer>("TimerLog")->isActive());
    EXPECT_TRUE(control<QPlainTextEdit>("Memo1")->isReadOnly());
}

TEST_F(FormMainTest, PortThatCannotOpenLeavesTheWindowIdle) {
    writeIni("RadioWaitTimeIndex=1\r\n", (dir_ / "no-such-device").string());
    open();
    control<QPushButton>("BitBtnStart")->click();
    ASSERT_EQ(notifier_.informed.size(), 1u);
    EXPECT_EQ(notifier_.informed[0], "RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。");
    EXPECT_EQ(control<QLabel>("Label1")->text().toStdString(),
              (dir_ / "no-such-device").string() + ": " + std::generic_category().message(ENOENT) +
                  " ([Ports] の設定を確認して下さい)");
    EXPECT_TRUE(control<QPushButton>("BitBtnStart")->isVisible());
    EXPECT_TRUE(control<QAction>("ActionEnv")->isEnabled());
    EXPECT_TRUE(form_->close()) << "no question without a receive thread";
}

TEST_F(FormMainTest, DirectoryErrorOnWriteShowsOneErrorBoxAndKeepsTheLines) {
    writeIni("RadioWaitTimeIndex=0\r\n");
    fs::remove(dir_ / "logs");
    std::ofstream(dir_ / "log") << "a file where the fallback directory would go";
    open();
    notifier_.informed.clear();
    startMonitoring();
    send("1\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 1; }));

    control<QAction>("ActionWrite")->trigger();
    ASSERT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "Cannot create " + dir_.string() + "//log");
    EXPECT_EQ(form_->runState().buffer().count(), 1);
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
        EXPECT_TRUE(QTest::qWaitFor([&] { return form_->runState().buffer().count() == 2; }, 5000));
    };
    send("1\r\x04");
    ASSERT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 2; }));
    EXPECT_EQ(notifier_.errors.size(), 1u);
    EXPECT_EQ(notifier_.errors[0], "Cannot create " + dir_.string() + "//log");

    notifier_.whileErrorShown = nullptr;
    send("3\r");
    ASSERT_TRUE(waitFor([&] { return form_->runState().buffer().count() == 3; }));
    EXPECT_EQ(notifier_.errors.size(), 2u) << "once the box is closed the next failure shows again";
    EXPECT_EQ(form_->runState().writeRequest(), 1);
}

}  // namespace
}  // namespace vennick
