#include "RS232CFunc/TFormMain.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

#include "RS232CFunc/state/auto_write.h"
#include "RS232CFunc/ui/form_main_style.h"
#include "RS232CFunc/ui/frame_placement.h"
#include "RS232CFunc/journal/journal.h"
#include "RS232CFunc/port/serial_port.h"
#include "RS232CFunc/ui/window_placement.h"
#include "settings/app_error.h"
#include "settings/notifier.h"

namespace vennick {
namespace {

constexpr int kClientWidth = 266;
constexpr int kClientHeight = 169;
constexpr int kToolBarRowHeight = 20;  // as high as its buttons
constexpr int kStatusBarHeight = 19;
constexpr int kStartupPauseMs = 1000;
constexpr const char* kReceptionStopped = "受信を停止しました。設定を保存できません。";
const char* const kWaitItems[] = {"0秒", "1秒", "2秒", "3秒", "5秒"};

QFont pixelFont(const QString& family, int pixels, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// A plain serial-plug picture under the start button's caption.
QPixmap startPicture(bool enabled) {
    QPixmap picture(32, 20);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor body = enabled ? QColor(0, 110, 40) : QColor(150, 150, 150);
    painter.setPen(QPen(body.darker(), 1));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(2, 3, 22, 14), 3, 3);
    painter.setBrush(Qt::white);
    for (int pin = 0; pin < 3; ++pin) painter.drawEllipse(QPointF(7.0 + 6 * pin, 10), 1.6, 1.6);
    painter.setPen(QPen(body, 3));
    painter.drawLine(QPointF(24, 10), QPointF(31, 10));
    return picture;
}

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

}  // namespace

TFormMain::TFormMain(FormMainServices services, QWidget* parent)
    : QMainWindow(parent),
      services_(std::move(services)),
      ini_(services_.iniPath),
      writer_(services_.executableDir, services_.clock),
      view_(*gate_, services_.viewFlushMs),
      runState_(settings_, writer_, view_),
      sink_(std::make_shared<QueuedReceiveSink>([this] {
          QMetaObject::invokeMethod(
              this, [this] { drainReceived(); }, Qt::QueuedConnection);
      })) {
    if (services_.journal) {
        runState_.setBufferObserver(services_.journal);
        writer_.setGuard(services_.journal);
    }
    buildWidgets();
    view_.attach(runState_, {memo1_, label1_, labelBigLog_, actionWrite_, actionBuffErase_,
                             actionDeleteLine_});
    settings_ = loadSettings(ini_, services_.executableDir, services_.notifier);
    comIndexInUse_ = settings_.comIndex;
    new QuitFilter(this, [this] { return quitRefused(); });
}

// A receive thread stuck in a platform call is let go after a bounded wait; from then on it
// must not wake this window.
TFormMain::~TFormMain() {
    thread_.reset();
    sink_->disconnect();
}

namespace layout {
constexpr int kCentralHeight = kClientHeight - 2 * kToolBarRowHeight - kStatusBarHeight;
constexpr int kLabelHeight = 24;
constexpr int kLabelWidth = 110;
constexpr int kStatusLineHeight = 13;
constexpr int kStartWidth = 137;
constexpr int kStartHeight = 65;
}  // namespace layout

void TFormMain::buildWidgets() {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QStringLiteral("Vennick(RS232C)"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setFont(pixelFont(QStringLiteral("ＭＳ Ｐゴシック"), 12));
    placer_ = new FramePlacer(*this);
    style_ = new FormMainStyle;
    style_->setParent(this);
    buildToolBars();

    auto* central = new QWidget(this);
    central->setFixedSize(kClientWidth, layout::kCentralHeight);
    setCentralWidget(central);
    buildLabels(central);
    buildMemo(central);
    buildRadioGroup(central);
    buildStartButton(central);
    layOutCentral();
    buildStatusBar();
    buildTimers();
    setFixedSize(kClientWidth, kClientHeight);
}

QLabel* TFormMain::addLabel(QWidget* parent, const char* name, int pixels) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(pixelFont(font().family(), pixels));
    return label;
}

// The central area under the two tool bar rows, top to bottom: the two big labels, the list
// view, the status line and the "自動書込" group, which is as high as its items need; the list
// view takes the height that is left. The start button lies over the middle, above the status
// line, where in Idle nothing else is shown.
void TFormMain::layOutCentral() {
    const QMargins frame = radioWaitTime_->contentsMargins();
    const int radioHeight =
        frame.top() + radioButtons_->button(0)->sizeHint().height() + frame.bottom();
    const int radioTop = layout::kCentralHeight - radioHeight;
    const int statusTop = radioTop - layout::kStatusLineHeight;
    labelWatch_->setGeometry(4, 0, layout::kLabelWidth, layout::kLabelHeight);
    labelBigLog_->setGeometry(kClientWidth - 4 - layout::kLabelWidth, 0, layout::kLabelWidth,
                              layout::kLabelHeight);
    memo1_->setGeometry(0, layout::kLabelHeight, kClientWidth, statusTop - layout::kLabelHeight);
    label1_->setGeometry(0, statusTop, kClientWidth - 2, layout::kStatusLineHeight);
    radioWaitTime_->setGeometry(0, radioTop, kClientWidth, radioHeight);
    bitBtnStart_->setGeometry((kClientWidth - layout::kStartWidth) / 2,
                              std::max(0, (statusTop - layout::kStartHeight) / 2),
                              layout::kStartWidth, layout::kStartHeight);
}

void TFormMain::buildLabels(QWidget* central) {
    labelWatch_ = addLabel(central, "LabelWatch", 24);
    labelBigLog_ = addLabel(central, "LabelBigLog", 24);
    labelBigLog_->setStyleSheet(QStringLiteral("color: navy"));
    labelBigLog_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label1_ = addLabel(central, "Label1", 12);
    label1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void TFormMain::buildMemo(QWidget* central) {
    memo1_ = new MemoEdit(central);
    memo1_->setObjectName(QStringLiteral("Memo1"));
    memo1_->setFont(pixelFont(QStringLiteral("ＭＳ ゴシック"), 15));
    memo1_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: white; color: blue; }"));
    memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo1_->setFocusPolicy(Qt::ClickFocus);
    memo1_->setUndoRedoEnabled(false);
    memo1_->setFrameShape(QFrame::Box);
    memo1_->setLineWidth(1);
    // The rows reach the frame: with the Windows style's taller radio items a margin would leave
    // the list a pixel short of two whole rows.
    memo1_->document()->setDocumentMargin(0);
    memo1_->viewport()->installEventFilter(this);
}

// The caption over a picture, as the start button has always looked.
void TFormMain::buildStartButton(QWidget* central) {
    bitBtnStart_ = new QPushButton(central);
    bitBtnStart_->setObjectName(QStringLiteral("BitBtnStart"));
    bitBtnStart_->setFocusPolicy(Qt::NoFocus);
    bitBtnStart_->setAccessibleName(QStringLiteral("受信開始"));
    auto* stack = new QVBoxLayout(bitBtnStart_);
    stack->setContentsMargins(2, 6, 2, 6);
    auto* caption = new QLabel(QStringLiteral("受信開始"), bitBtnStart_);
    caption->setFont(pixelFont(font().family(), 16, true));
    auto* picture = new QLabel(bitBtnStart_);
    picture->setPixmap(startPicture(true));
    for (QLabel* part : {caption, picture}) {
        part->setAlignment(Qt::AlignCenter);
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
        stack->addWidget(part);
    }
    connect(bitBtnStart_, &QPushButton::clicked, this,
            [this] { guarded([this] { BitBtnStartClick(); }); });
}

void TFormMain::buildStatusBar() {
    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(kStatusBarHeight);
    statusPanel_ = new QLabel(bar);
    statusPanel_->setObjectName(QStringLiteral("StatusBarPanel0"));
    statusPanel_->setMinimumWidth(50);  // the last panel runs on to the window's edge
    bar->addWidget(statusPanel_, 1);
    setStatusBar(bar);
}

void TFormMain::buildTimers() {
    timerLog_ = new QTimer(this);
    timerLog_->setObjectName(QStringLiteral("TimerLog"));
    timerLog_->setInterval(0);
    connect(timerLog_, &QTimer::timeout, this, [this] { guarded([this] { TimerLogTimer(); }); });
}

void TFormMain::buildToolBars() {
    toolBar1_ = new QToolBar(this);
    toolBar1_->setObjectName(QStringLiteral("ToolBar1"));
    toolBar1Row2_ = new QToolBar(this);
    toolBar1Row2_->setObjectName(QStringLiteral("ToolBar1Row2"));
    for (QToolBar* bar : {toolBar1_, toolBar1Row2_}) {
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
        bar->setContextMenuPolicy(Qt::PreventContextMenu);
        bar->setFixedHeight(kToolBarRowHeight);
        bar->setStyle(style_);
    }
    addToolBar(Qt::TopToolBarArea, toolBar1_);
    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, toolBar1Row2_);
    setContextMenuPolicy(Qt::PreventContextMenu);

    actionEnv_ =
        addAction(toolBar1_, "ActionEnv", QStringLiteral("環境"), &TFormMain::ActionEnvExecute);
    actionBuffErase_ = addAction(toolBar1_, "ActionBuffErase", QStringLiteral("ﾊﾞｯﾌｧ消去"),
                                 &TFormMain::ActionBuffEraseExecute);
    actionDeleteLine_ = addAction(toolBar1_, "ActionDeleteLine", QStringLiteral("行削除"),
                                  &TFormMain::ActionDeleteLineExecute);
    actionWrite_ = addAction(toolBar1Row2_, "ActionWrite", QStringLiteral("書込"),
                             &TFormMain::ActionWriteExecute);
    actionQuit_ = addAction(toolBar1Row2_, "ActionQuit", QStringLiteral("終了"),
                            &TFormMain::ActionQuitExecute);
}

QAction* TFormMain::addAction(QToolBar* bar, const char* name, const QString& caption,
                              void (TFormMain::*handler)()) {
    QAction* action = bar->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    bar->widgetForAction(action)->setFixedHeight(kToolBarRowHeight);
    connect(action, &QAction::triggered, this,
            [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
    return action;
}

void TFormMain::buildRadioGroup(QWidget* parent) {
    radioWaitTime_ = new QGroupBox(QStringLiteral("自動書込"), parent);
    radioWaitTime_->setObjectName(QStringLiteral("RadioWaitTime"));
    radioWaitTime_->setStyle(style_);
    radioButtons_ = new QButtonGroup(radioWaitTime_);
    auto* row = new QHBoxLayout(radioWaitTime_);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(0);
    for (int item = 0; item < 5; ++item) {
        auto* button = new QRadioButton(QString::fromUtf8(kWaitItems[item]), radioWaitTime_);
        button->setObjectName(QStringLiteral("RadioWaitTimeItem%1").arg(item));
        button->setFocusPolicy(Qt::NoFocus);
        radioButtons_->addButton(button, item);
        row->addWidget(button);
    }
    radioButtons_->button(0)->setChecked(true);
    connect(radioButtons_, &QButtonGroup::idClicked, this,
            [this](int index) { guarded([this, index] { RadioWaitTimeClick(index); }); });
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
    memo1_->hide();
    labelBigLog_->hide();
    actionEnv_->setEnabled(true);
    actionWrite_->setEnabled(false);
    actionBuffErase_->setEnabled(false);
    actionDeleteLine_->setEnabled(false);
    bitBtnStart_->show();
    labelWatch_->hide();
    selectWaitItem(runState_.waitIndex());
    applyAutoWriteSetting();
    statusPanel_->setText(QString::fromStdString(settings_.logDirectory));
}

// The group holds its selection within -1 (none) to 4; moving it onto an item runs the click.
void TFormMain::selectWaitItem(std::int32_t waitIndex) {
    if (waitIndex < 0) {
        radioButtons_->setExclusive(false);
        for (QAbstractButton* button : radioButtons_->buttons()) button->setChecked(false);
        radioButtons_->setExclusive(true);
        return;
    }
    const int item = waitIndex > 4 ? 4 : static_cast<int>(waitIndex);
    if (radioButtons_->checkedId() == item) return;
    radioButtons_->button(item)->setChecked(true);
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
        thread_ = std::make_unique<TMyThread>(std::move(port_), options, sink_, gate_);
        thread_->start();
        pause(kStartupPauseMs);
    }
    started_ = true;
    placeTopRight();
    view_.showWrittenCount(runState_.writtenCount());
    memo1_->show();
    labelBigLog_->show();
    actionEnv_->setEnabled(false);
    runState_.updateActions();
    bitBtnStart_->hide();
    labelWatch_->setText(QStringLiteral("監視中"));
    labelWatch_->setStyleSheet(QStringLiteral("color: blue"));
    labelWatch_->show();
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
        timerLog_->stop();
        timerLog_->setInterval(0);
    } else if (!timerLog_->isActive()) {
        // A running timer keeps its phase: only a stopped one starts a new period.
        timerLog_->start(setting.intervalMs);
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

bool TFormMain::FormClose() {
    if (thread_ && started_) {
        runState_.setStatus("終了中....");
        flushView();
        thread_->requestStop();
        pause(kStartupPauseMs);
        started_ = false;
    }
    try {
        saveSettings(ini_, settings_);
    } catch (...) {
        // The window stays open and looks as it did, but nothing is received any more.
        if (thread_) {
            drainReceived();
            runState_.setStatus(kReceptionStopped);
        }
        throw;
    }
    return true;
}

// --- The list view ------------------------------------------------------------------------

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == memo1_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        QMetaObject::invokeMethod(
            this, [this] { guarded([this] { Memo1MouseUp(); }); }, Qt::QueuedConnection);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::Memo1MouseUp() {
    runState_.lineClicked(view_.caretLine());
}

// --- Receive path -------------------------------------------------------------------------

// The receive thread wakes the UI thread once per read from the port, and only when the queue
// was empty: the lines are taken at once, so an EOT's batch goes to disk without delay.
void TFormMain::drainReceived() {
    const MemoViewSync::ReceivedBatch batch(view_);
    QueuedReceiveSink::Item item;
    while (sink_->take(item)) {
        if (auto* status = std::get_if<std::string>(&item)) {
            runState_.setStatus(*status);
            continue;
        }
        const auto& event = std::get<LineEvent>(item);
        guarded([&] { runState_.applyLine(event); });
        if (!event.text.empty()) gate_->lineApplied();
    }
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
