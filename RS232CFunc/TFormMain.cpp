#include "RS232CFunc/TFormMain.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/port/serial_port.h"
#include "RS232CFunc/state/auto_write.h"
#include "RS232CFunc/ui/frame_placement.h"
#include "RS232CFunc/ui/memo_edit.h"
#include "RS232CFunc/ui/window_placement.h"
#include "settings/app_error.h"
#include "settings/notifier.h"

namespace vennick {
namespace {

constexpr int kStartupPauseMs = 1000;
constexpr const char* kReceptionStopped = "受信を停止しました。設定を保存できません。";

// Shows the application's quit requests to `refuse` before Qt acts on them.
class QuitFilter : public QObject {
public:
    QuitFilter(QObject* parent, std::function<bool()> refuse)
        : QObject(parent), refuse_(std::move(refuse)) {
        QCoreApplication::instance()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != QCoreApplication::instance() || event->type() != QEvent::Quit) return false;
        if (!refuse_()) return false;
        event->ignore();
        return true;
    }

private:
    std::function<bool()> refuse_;
};

// The log writer of the window's writes: each is bracketed in the journal, when there is one.
LogWriter guardedWriter(const FormMainServices& services) {
    LogWriter writer(services.executableDir, services.clock);
    writer.setGuard(services.journal);
    return writer;
}

}  // namespace

TFormMain::TFormMain(FormMainServices services, QWidget* parent)
    : QMainWindow(parent),
      services_(std::move(services)),
      ini_(services_.iniPath),
      writeThread_(std::make_unique<LogWriteThread>(guardedWriter(services_))),
      view_(services_.viewFlushMs),
      runState_(settings_, *writeThread_, waiting(), view_),
      sink_(std::make_shared<BatchedReceiveSink>(runState_)) {
    runState_.setJournal(services_.journal);
    waiting().setReadyHandler([this] { runState_.waitingReady(); });
    placer_ = new FramePlacer(*this);
    view_.attach(runState_,
                 {w_.memo1, w_.label1, w_.labelBigLog, w_.actionWrite, w_.actionBuffErase,
                  w_.actionDeleteLine},
                 [this](const std::string& message) { showError(message); });
    connectHandlers();
    settings_ = loadSettings(ini_, services_.executableDir, services_.notifier);
    comIndexInUse_ = settings_.comIndex;
    new QuitFilter(this, [this] { return quitRefused(); });
}

// A receive thread stuck in a platform call, or a write stuck on a share, is let go after a
// bounded wait; from then on neither may reach this window.
TFormMain::~TFormMain() {
    thread_.reset();
    sink_->disconnect();
    waiting().setReadyHandler(nullptr);
    writeThread_.reset();
    runState_.setJournal(nullptr);
}

WaitingQueue& TFormMain::waiting() {
    return services_.waiting ? *services_.waiting : memoryWaiting_;
}

// Every control's signal goes to its handler here; an AppError a handler raises goes to the
// error box.
void TFormMain::connectHandlers() {
    const auto guardedCall = [this](void (TFormMain::*handler)()) {
        return [this, handler] { guarded([this, handler] { (this->*handler)(); }); };
    };
    connect(w_.bitBtnStart, &QPushButton::clicked, this, guardedCall(&TFormMain::BitBtnStartClick));
    connect(w_.actionEnv, &QAction::triggered, this, guardedCall(&TFormMain::ActionEnvExecute));
    connect(w_.actionBuffErase, &QAction::triggered, this,
            guardedCall(&TFormMain::ActionBuffEraseExecute));
    connect(w_.actionDeleteLine, &QAction::triggered, this,
            guardedCall(&TFormMain::ActionDeleteLineExecute));
    connect(w_.actionWrite, &QAction::triggered, this, guardedCall(&TFormMain::ActionWriteExecute));
    connect(w_.actionQuit, &QAction::triggered, this, guardedCall(&TFormMain::ActionQuitExecute));
    connect(w_.radioButtons, &QButtonGroup::idClicked, this,
            [this](int index) { guarded([this, index] { RadioWaitTimeClick(index); }); });
    connect(w_.timerLog, &QTimer::timeout, this, guardedCall(&TFormMain::TimerLogTimer));
    // The list view's clicks: Memo1MouseUp once Qt has moved the caret.
    w_.memo1->viewport()->installEventFilter(this);
}

// --- States -------------------------------------------------------------------------------

void TFormMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TFormMain::FormShow() {
    enterIdle();
}

void TFormMain::enterIdle() {
    placeCentred();
    runState_.clearWriteRequest();
    w_.memo1->hide();
    w_.labelBigLog->hide();
    w_.actionEnv->setEnabled(true);
    w_.actionWrite->setEnabled(false);
    w_.actionBuffErase->setEnabled(false);
    w_.actionDeleteLine->setEnabled(false);
    w_.bitBtnStart->show();
    w_.labelWatch->hide();
    selectWaitItem(runState_.waitIndex());
    applyAutoWriteSetting();
    w_.statusPanel->setText(QString::fromStdString(settings_.logDirectory));
}

// The group holds its selection within -1 (none) to 4; moving it onto an item runs the click.
void TFormMain::selectWaitItem(std::int32_t waitIndex) {
    if (waitIndex < 0) {
        w_.radioButtons->setExclusive(false);
        for (QAbstractButton* button : w_.radioButtons->buttons()) button->setChecked(false);
        w_.radioButtons->setExclusive(true);
        return;
    }
    const int item = waitIndex > 4 ? 4 : static_cast<int>(waitIndex);
    if (w_.radioButtons->checkedId() == item) return;
    w_.radioButtons->button(item)->setChecked(true);
    RadioWaitTimeClick(item);
}

void TFormMain::BitBtnStartClick() {
    if (!port_) port_ = services_.makeSerialPort ? services_.makeSerialPort() : createSerialPort();
    const std::string device = portDeviceFor(ini_, comIndexInUse_);
    const auto showReason = [this](const std::string& reason) { runState_.setStatus(reason); };
    if (openPort(*port_, device, settings_, services_.notifier, showReason) != 0) return;
    if (!started_) {
        runState_.receiveStarted();
        TMyThread::Options options{device, lineSettingsFor(settings_)};
        thread_ = std::make_unique<TMyThread>(std::move(port_), options, sink_);
        thread_->start();
        pause(kStartupPauseMs);
    }
    started_ = true;
    placeTopRight();
    w_.memo1->show();
    w_.labelBigLog->show();
    w_.actionEnv->setEnabled(false);
    runState_.updateActions();
    w_.bitBtnStart->hide();
    w_.labelWatch->setText(QStringLiteral("監視中"));
    w_.labelWatch->setStyleSheet(QStringLiteral("color: blue"));
    w_.labelWatch->show();
}

// --- Actions ------------------------------------------------------------------------------

void TFormMain::ActionEnvExecute() {
    if (settingsDialog_) settingsDialog_->exec();
}

void TFormMain::ActionBuffEraseExecute() {
    runState_.eraseBuffer();
}

void TFormMain::ActionDeleteLineExecute() {
    runState_.deleteClickedLine();
}

void TFormMain::ActionWriteExecute() {
    runState_.writeBuffer();
}

void TFormMain::ActionQuitExecute() {
    close();
}

void TFormMain::RadioWaitTimeClick(int index) {
    runState_.setWaitIndex(index);
    applyAutoWriteSetting();
}

void TFormMain::applyAutoWriteSetting() {
    const AutoWriteSetting setting = autoWriteSettingFor(runState_.waitIndex());
    if (!setting.timerEnabled) {
        w_.timerLog->stop();
        w_.timerLog->setInterval(0);
    } else if (!w_.timerLog->isActive()) {
        // A running timer keeps its phase: only a stopped one starts a new period.
        w_.timerLog->start(setting.intervalMs);
    }
    view_.setEditable(!setting.viewReadOnly);
}

void TFormMain::TimerLogTimer() {
    runState_.timerTick();
}

// --- Closing ------------------------------------------------------------------------------

void TFormMain::closeEvent(QCloseEvent* event) {
    bool accepted = false;
    guarded([&] { accepted = FormCloseQuery() && FormClose(); });
    if (!accepted) {
        event->ignore();
        return;
    }
    event->accept();
    closeAccepted_ = true;
    emit closed();
}

bool TFormMain::FormCloseQuery() {
    if (!thread_) return true;
    askingToClose_ = true;
    const bool yes = services_.notifier.confirm("監視中ですが、\n終了してもいいですか？");
    askingToClose_ = false;
    return yes;
}

// Qt ends the program on a quit request (session end, quit(), the last window closed) by closing
// every window, but counts a window whose close is under way as closed: a quit arriving while the
// question is open would end the program before the operator answered. While monitoring, a quit
// is therefore only a request to close, which asks; the answer alone ends the program.
bool TFormMain::quitRefused() {
    if (!thread_ || closeAccepted_) return false;
    if (!askingToClose_) {
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
    }
    return true;
}

// The lines still held are written before the settings are saved, so that their file is named
// after the time they came; what a failed or hanging write leaves stays in the journal.
bool TFormMain::FormClose() {
    if (thread_ && started_) {
        runState_.setStatus("終了中....");
        flushView();
        thread_->stopAndWait(kStartupPauseMs);
        started_ = false;
        runState_.writeEverything(services_.closeWriteLimitMs);
    }
    try {
        saveSettings(ini_, settings_);
    } catch (...) {
        // The window stays open and looks as it did, but nothing is received any more.
        if (thread_) runState_.setStatus(kReceptionStopped);
        throw;
    }
    return true;
}

// --- The list view ------------------------------------------------------------------------

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == w_.memo1->viewport() && event->type() == QEvent::MouseButtonRelease) {
        QMetaObject::invokeMethod(
            this, [this] { guarded([this] { Memo1MouseUp(); }); }, Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::Memo1MouseUp() {
    runState_.lineClicked();
}

// --- Helpers ------------------------------------------------------------------------------

void TFormMain::placeCentred() {
    placer_->place(&centredPosition);
}

void TFormMain::placeTopRight() {
    placer_->place(&topRightPosition);
}

void TFormMain::pause(int milliseconds) {
    if (services_.pause) {
        services_.pause(milliseconds);
    } else {
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    }
}

void TFormMain::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const AppError& error) {
        showError(error.what());
    } catch (...) {
        showError("");  // not ours: shown without a message, and the run goes on
    }
}

void TFormMain::showError(const std::string& message) {
    if (errorBoxOpen_) return;  // one box at a time; the next tick or line retries anyway
    errorBoxOpen_ = true;
    services_.notifier.showError(message);
    errorBoxOpen_ = false;
}

}  // namespace vennick
