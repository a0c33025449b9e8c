// The main window driven offscreen with real files, on every system (receiving through a
// pseudo-terminal is in test_form_main_pty.cpp).
#include <QAction>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cerrno>
#include <system_error>

#include "tests/RS232CFunc/form_main_fixture.h"

namespace vennick {
namespace {

using FormMainTest = test::FormMainFixture;

// What QCoreApplication::quit() and the end of a Windows session deliver to the application.
void quitRequested() {
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
}

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
    EXPECT_EQ(control<QLabel>("StatusBarPanel0")->text().toStdString(), test::utf8(dir_ / "logs"));
    EXPECT_TRUE(control<QTimer>("TimerLog")->isActive());
    EXPECT_TRUE(control<QPlainTextEdit>("Memo1")->isReadOnly());
}

TEST_F(FormMainTest, ClosingInIdleSavesEveryKeyWithoutAQuestion) {
    open("cBauRate=$A\r\nRadioWaitTimeIndex=9\r\n");
    EXPECT_TRUE(control<QRadioButton>("RadioWaitTimeItem4")->isChecked());
    EXPECT_TRUE(form_->close());
    EXPECT_TRUE(notifier_.asked.empty());
    const std::string ini = test::readBytes(dir_ / "Vennick.INI");
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
    writeIni("RadioWaitTimeIndex=1\r\n", test::utf8(dir_ / "no-such-device"));
    open();
    control<QPushButton>("BitBtnStart")->click();
    ASSERT_EQ(notifier_.informed.size(), 1u);
    EXPECT_EQ(notifier_.informed[0], "RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。");
    // The device, what the system said, and the remedy; the system's words differ per OS.
    const std::string status = control<QLabel>("Label1")->text().toStdString();
    const std::string device = test::utf8(dir_ / "no-such-device");
#ifdef _WIN32
    EXPECT_EQ(status.rfind(device + ": ", 0), 0u) << status;
#else
    EXPECT_EQ(status, device + ": " + std::generic_category().message(ENOENT) +
                          " ([Ports] の設定を確認して下さい)");
#endif
    EXPECT_TRUE(control<QPushButton>("BitBtnStart")->isVisible());
    EXPECT_TRUE(control<QAction>("ActionEnv")->isEnabled());
    EXPECT_TRUE(form_->close()) << "no question without a receive thread";
}

// A quit request while the close question is open (a modal box runs an event loop of its own)
// must neither end the program nor answer the question; one while monitoring only asks.
TEST_F(FormMainTest, QuitWhileMonitoringWaitsForTheOperatorsAnswer) {
    openSilent();
    startMonitoring();
    int boxLoopResult = 0;
    notifier_.whileAsked = [&] {
        QEventLoop box;
        QTimer::singleShot(0, &box, [] { quitRequested(); });
        QTimer::singleShot(50, &box, [&] { box.exit(1); });
        boxLoopResult = box.exec();
    };
    EXPECT_FALSE(form_->close());
    EXPECT_EQ(boxLoopResult, 1) << "the quit ended the question's own event loop";
    EXPECT_EQ(notifier_.asked.size(), 1u);
    EXPECT_TRUE(form_->isVisible());

    notifier_.whileAsked = nullptr;
    quitRequested();
    ASSERT_TRUE(waitFor([&] { return notifier_.asked.size() == 2; })) << "a quit asks like a close";
    EXPECT_TRUE(form_->isVisible());

    notifier_.answers.push_back(true);
    EXPECT_TRUE(form_->close());
    EXPECT_FALSE(form_->isVisible());
}

}  // namespace
}  // namespace vennick
