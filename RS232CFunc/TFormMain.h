#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "RS232CFunc/log/log_write_thread.h"
#include "RS232CFunc/log/log_writer.h"
#include "RS232CFunc/receive/batched_receive_sink.h"
#include "RS232CFunc/receive/receive_thread.h"
#include "RS232CFunc/state/run_state.h"
#include "RS232CFunc/state/waiting_queue.h"
#include "RS232CFunc/ui/form_main_widgets.h"
#include "RS232CFunc/ui/memo_view_sync.h"
#include "settings/ini_file.h"
#include "settings/settings.h"

class QDialog;

namespace vennick {

class FramePlacer;
class Journal;
class Notifier;
class SerialPort;

// What the main window needs from outside; tests replace the boxes, the clock and the pauses.
// Repaints of a fast stream are coalesced to this period.
inline constexpr int kViewFlushPeriodMs = 200;
// At a confirmed close the lines still held are written for at most this long; what is left
// then stays in the journal for the next start.
inline constexpr int kCloseWriteLimitMs = 800;

struct FormMainServices {
    Notifier& notifier;
    // The folder the default log folder is made in: the executable's, with its trailing
    // separator, or the user's own (app/program_files.h) where the executable's is read-only.
    std::string executableDir;
    std::string iniPath;
    LocalClock clock = systemLocalTime;
    std::function<void(int milliseconds)> pause{};  // the UI thread's pauses; sleeps when unset
    std::function<std::unique_ptr<SerialPort>()> makeSerialPort{};  // createSerialPort when unset
    int viewFlushMs = kViewFlushPeriodMs;  // how long the widgets may lag behind a fast stream
    Journal* journal = nullptr;            // keeps the buffer on the disk; none when unset
    // Where lines wait beyond the list; in memory alone when unset.
    WaitingQueue* waiting = nullptr;
    int closeWriteLimitMs = kCloseWriteLimitMs;
};

// The main window: Idle with the big start button, then Monitoring with the received lines.
//
// Names: the window (TFormMain), its controls (Memo1, Label1, BitBtnStart, ActionWrite, ... as
// objectNames) and its handlers (BitBtnStartClick, ActionWriteExecute, TimerLogTimer,
// FormCloseQuery, ...) keep the PascalCase names the program has always used, control and event
// joined; operators' manuals and the tests find them by these names. Everything else (helpers,
// members, the core's classes) is named in the code's own camelCase.
class TFormMain : public QMainWindow {
    Q_OBJECT

public:
    explicit TFormMain(FormMainServices services, QWidget* parent = nullptr);
    ~TFormMain() override;

    // The settings dialog "環境" shows; created after this window.
    void setSettingsDialog(QDialog* dialog) { settingsDialog_ = dialog; }

    Settings& settings() { return settings_; }
    const RunState& runState() const { return runState_; }
    RunState& runState() { return runState_; }

    // Pushes pending view updates out now (they are otherwise coalesced).
    void flushView() { view_.flush(); }

signals:
    // The close went through: the application is asked to end.
    void closed();

public slots:
    void BitBtnStartClick();
    void ActionEnvExecute();
    void ActionBuffEraseExecute();
    void ActionDeleteLineExecute();
    void ActionWriteExecute();
    void ActionQuitExecute();
    void RadioWaitTimeClick(int index);
    void TimerLogTimer();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectHandlers();

    void FormShow();
    bool quitRefused();
    bool FormCloseQuery();
    bool FormClose();
    void Memo1MouseUp();

    void enterIdle();
    void selectWaitItem(std::int32_t waitIndex);
    void applyAutoWriteSetting();
    void placeCentred();
    void placeTopRight();
    void pause(int milliseconds);
    WaitingQueue& waiting();
    // Runs a handler; an AppError it raises goes to the error box, never a second box at once.
    void guarded(const std::function<void()>& handler);
    void showError(const std::string& message);

    FormMainServices services_;
    IniFile ini_;
    Settings settings_;
    std::int32_t comIndexInUse_ = 0;
    std::unique_ptr<LogWriteThread> writeThread_;
    MemoryWaitingQueue memoryWaiting_;
    MemoViewSync view_;
    RunState runState_;
    // Shared with the receive thread, which may outlive the window (see TMyThread).
    std::shared_ptr<BatchedReceiveSink> sink_;
    std::unique_ptr<SerialPort> port_;
    std::unique_ptr<TMyThread> thread_;  // kept once set; stopped, never replaced
    bool askingToClose_ = false;         // the close question is open
    bool closeAccepted_ = false;         // the operator's close went through: quitting is allowed
    bool started_ = false;
    bool shown_ = false;
    bool errorBoxOpen_ = false;
    QDialog* settingsDialog_ = nullptr;

    FramePlacer* placer_ = nullptr;
    FormMainWidgets w_ = buildFormMainWidgets(*this);  // built before anything shows them
};

}  // namespace vennick
