#pragma once

// The main window driven offscreen, with real files in a temporary directory. Portable: the
// tests through a pseudo-terminal derive from it (test_form_main_pty.cpp).

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "RS232CFunc/TFormMain.h"
#include "RS232CFunc/port/serial_port.h"
#include "support/recording_notifier.h"
#include "tests/settings/temp_dir.h"

namespace vennick::test {

// A port that opens and never receives: monitoring without a device.
class SilentPort : public SerialPort {
public:
    bool open(const std::string&) override { return open_ = true; }
    bool isOpen() const override { return open_; }
    void close() override { open_ = false; }
    void applyLineSettings(const LineSettings&) override {}
    void applyTimeouts() override {}
    int bytesWaiting() override { return 0; }
    Wait waitForInput(int timeoutMs) override {
        idle(timeoutMs);
        return Wait::TimedOut;
    }
    int read(std::span<std::uint8_t>) override {
        idle(510);
        return 0;
    }
    void interruptWait() override {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        woken_.notify_all();
    }

private:
    void idle(int milliseconds) {
        std::unique_lock lock(mutex_);
        woken_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                        [&] { return interrupted_; });
        interrupted_ = false;
    }

    bool open_ = false;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool interrupted_ = false;
};

class FormMainFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir_ / "logs");
        device_ = utf8(dir_ / "device");
    }

    void TearDown() override { form_.reset(); }

    void writeIni(const std::string& params, const std::string& device = {}) {
        std::ofstream ini(dir_ / "Vennick.INI", std::ios::binary);
        ini << "[WorkFiles]\r\nexLogFilePath=" << utf8(dir_ / "logs") << "\r\n"
            << "[Params]\r\n"
            << params << "[Ports]\r\nCOM1=" << (device.empty() ? device_ : device) << "\r\n";
    }

    void open(const std::string& params = "RadioWaitTimeIndex=1\r\n") {
        if (!std::filesystem::exists(dir_ / "Vennick.INI")) writeIni(params);
        FormMainServices services{notifier_,
                                  utf8(dir_ / ""),
                                  utf8(dir_ / "Vennick.INI"),
                                  [] {
                                      return TimeOfDay{9, 5, 7}; },
                                  [](int) {},
                                  makePort_};
        form_ = std::make_unique<TFormMain>(services);
        form_->show();
    }

    // Monitoring with a port that opens and stays silent, on any system.
    void openSilent(const std::string& params = "RadioWaitTimeIndex=1\r\n") {
        makePort_ = [] { return std::make_unique<SilentPort>(); };
        open(params);
    }

    template <typename T>
    T* control(const char* name) {
        T* found = form_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QString status() { return control<QLabel>("Label1")->text(); }

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

    TempDir dir_;
    std::string device_;
    std::function<std::unique_ptr<SerialPort>()> makePort_;
    RecordingNotifier notifier_;
    std::unique_ptr<TFormMain> form_;
};

}  // namespace vennick::test
