#pragma once

// The main window offscreen with a scripted serial line and real files in a temporary folder:
// no pseudo-terminal, so these tests run on every system.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <climits>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>

#include "RS232CFunc/TFormMain.h"
#include "support/recording_notifier.h"
#include "support/scripted_serial_port.h"

// Readable failures: GoogleTest finds this beside QString.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace vennick::test {

class FormMainWindow : public ::testing::Test {
protected:
    // A flush period no test waits out: the view then lags behind until something brings it up
    // to date, which is what the operator's fast hands meet in the real program.
    static constexpr int kNeverFlushMs = INT_MAX;

    std::string dir() const { return temp_.path().toStdString(); }
    std::string logs() const { return dir() + "/logs"; }

    void open(int waitIndex, int flushMs = kNeverFlushMs) {
        std::ofstream ini(dir() + "/Vennick.INI", std::ios::binary);
        ini << "[WorkFiles]\r\nexLogFilePath=" << logs()
            << "\r\n[Params]\r\nRadioWaitTimeIndex=" << waitIndex << "\r\n";
        ini.close();
        FormMainServices services{
            notifier_, dir() + "/", dir() + "/Vennick.INI",
            clock_,    [](int) {},  [this] { return std::make_unique<ScriptedSerialPort>(line_); },
            flushMs};
        form_ = std::make_unique<TFormMain>(services);
        form_->show();
    }

    void startMonitoring() {
        control<QPushButton>("BitBtnStart")->click();
        ASSERT_TRUE(control<QLabel>("LabelWatch")->isVisible());
    }

    template <typename T>
    T* control(const char* name) {
        T* found = form_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QPlainTextEdit* memo() { return control<QPlainTextEdit>("Memo1"); }
    std::string buffer() { return form_->runState().text(); }

    // The receive thread has handed the lines over and the buffer holds them; the view is left
    // as it is.
    void receive(std::string_view bytes, int linesAfter) {
        line_->send(bytes);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return form_->runState().lineCount() == linesAfter; }, 5000));
    }

    // Puts the caret on a row of the view and releases the mouse there, as a click does.
    void clickLine(int row) {
        QTextCursor cursor(memo()->document()->findBlockByNumber(row));
        memo()->setTextCursor(cursor);
        QTest::mouseRelease(memo()->viewport(), Qt::LeftButton, {}, memo()->cursorRect().center());
        QCoreApplication::processEvents();
    }

    LocalClock clock_ = [] { return TimeOfDay{9, 5, 7}; };
    QTemporaryDir temp_;
    std::shared_ptr<ScriptedLine> line_ = std::make_shared<ScriptedLine>();
    RecordingNotifier notifier_;
    std::unique_ptr<TFormMain> form_;
};

}  // namespace vennick::test
