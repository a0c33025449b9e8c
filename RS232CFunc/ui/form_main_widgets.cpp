#include "RS232CFunc/ui/form_main_widgets.h"

#include <QAction>
#include <QButtonGroup>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

#include "RS232CFunc/ui/form_main_style.h"
#include "RS232CFunc/ui/memo_edit.h"

namespace vennick {
namespace {

constexpr int kClientWidth = 266;
constexpr int kClientHeight = 169;
constexpr int kToolBarRowHeight = 20;  // as high as its buttons
constexpr int kStatusBarHeight = 19;
const char* const kWaitItems[] = {"0秒", "1秒", "2秒", "3秒", "5秒"};

namespace layout {
constexpr int kCentralHeight = kClientHeight - 2 * kToolBarRowHeight - kStatusBarHeight;
constexpr int kLabelHeight = 24;
constexpr int kLabelWidth = 110;
constexpr int kStatusLineHeight = 13;
constexpr int kStartWidth = 137;
constexpr int kStartHeight = 65;
}  // namespace layout

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

class Builder {
public:
    explicit Builder(QMainWindow& window)
        : window_(window), style_(new FormMainStyle), central_(new QWidget(&window)) {
        style_->setParent(&window);
    }

    FormMainWidgets build() {
        window_.setObjectName(QStringLiteral("FormMain"));
        window_.setWindowTitle(QStringLiteral("Vennick(RS232C)"));
        window_.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
        window_.setFont(pixelFont(QStringLiteral("ＭＳ Ｐゴシック"), 12));
        buildToolBars();
        central_->setFixedSize(kClientWidth, layout::kCentralHeight);
        window_.setCentralWidget(central_);
        buildLabels();
        buildMemo();
        buildRadioGroup();
        buildStartButton();
        layOutCentral();
        buildStatusBar();
        buildTimers();
        window_.setFixedSize(kClientWidth, kClientHeight);
        return widgets_;
    }

private:
    void buildToolBars();
    QAction* addAction(QToolBar* bar, const char* name, const QString& caption);
    void buildLabels();
    QLabel* addLabel(const char* name, int pixels);
    void buildMemo();
    void buildRadioGroup();
    void buildStartButton();
    void layOutCentral();
    void buildStatusBar();
    void buildTimers();

    QMainWindow& window_;
    QStyle* style_;
    QWidget* central_;
    FormMainWidgets widgets_;
};

void Builder::buildToolBars() {
    widgets_.toolBar1 = new QToolBar(&window_);
    widgets_.toolBar1->setObjectName(QStringLiteral("ToolBar1"));
    widgets_.toolBar1Row2 = new QToolBar(&window_);
    widgets_.toolBar1Row2->setObjectName(QStringLiteral("ToolBar1Row2"));
    for (QToolBar* bar : {widgets_.toolBar1, widgets_.toolBar1Row2}) {
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
        bar->setContextMenuPolicy(Qt::PreventContextMenu);
        bar->setFixedHeight(kToolBarRowHeight);
        bar->setStyle(style_);
    }
    window_.addToolBar(Qt::TopToolBarArea, widgets_.toolBar1);
    window_.addToolBarBreak(Qt::TopToolBarArea);
    window_.addToolBar(Qt::TopToolBarArea, widgets_.toolBar1Row2);
    window_.setContextMenuPolicy(Qt::PreventContextMenu);

    QToolBar* row1 = widgets_.toolBar1;
    QToolBar* row2 = widgets_.toolBar1Row2;
    widgets_.actionEnv = addAction(row1, "ActionEnv", QStringLiteral("環境"));
    widgets_.actionBuffErase = addAction(row1, "ActionBuffErase", QStringLiteral("ﾊﾞｯﾌｧ消去"));
    widgets_.actionDeleteLine = addAction(row1, "ActionDeleteLine", QStringLiteral("行削除"));
    widgets_.actionWrite = addAction(row2, "ActionWrite", QStringLiteral("書込"));
    widgets_.actionQuit = addAction(row2, "ActionQuit", QStringLiteral("終了"));
}

QAction* Builder::addAction(QToolBar* bar, const char* name, const QString& caption) {
    QAction* action = bar->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    bar->widgetForAction(action)->setFixedHeight(kToolBarRowHeight);
    return action;
}

void Builder::buildLabels() {
    widgets_.labelWatch = addLabel("LabelWatch", 24);
    widgets_.labelBigLog = addLabel("LabelBigLog", 24);
    widgets_.labelBigLog->setStyleSheet(QStringLiteral("color: navy"));
    widgets_.labelBigLog->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    widgets_.label1 = addLabel("Label1", 12);
    widgets_.label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

QLabel* Builder::addLabel(const char* name, int pixels) {
    auto* label = new QLabel(central_);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(pixelFont(window_.font().family(), pixels));
    return label;
}

void Builder::buildMemo() {
    auto* memo = new MemoEdit(central_);
    memo->setObjectName(QStringLiteral("Memo1"));
    memo->setFont(pixelFont(QStringLiteral("ＭＳ ゴシック"), 15));
    memo->setStyleSheet(QStringLiteral("QPlainTextEdit { background: white; color: blue; }"));
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setFocusPolicy(Qt::ClickFocus);
    memo->setUndoRedoEnabled(false);
    memo->setFrameShape(QFrame::Box);
    memo->setLineWidth(1);
    // The rows reach the frame: with the Windows style's taller radio items a margin would leave
    // the list a pixel short of two whole rows.
    memo->document()->setDocumentMargin(0);
    widgets_.memo1 = memo;
}

void Builder::buildRadioGroup() {
    auto* group = new QGroupBox(QStringLiteral("自動書込"), central_);
    group->setObjectName(QStringLiteral("RadioWaitTime"));
    group->setStyle(style_);
    auto* buttons = new QButtonGroup(group);
    auto* row = new QHBoxLayout(group);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(0);
    for (int item = 0; item < 5; ++item) {
        auto* button = new QRadioButton(QString::fromUtf8(kWaitItems[item]), group);
        button->setObjectName(QStringLiteral("RadioWaitTimeItem%1").arg(item));
        button->setFocusPolicy(Qt::NoFocus);
        buttons->addButton(button, item);
        row->addWidget(button);
    }
    buttons->button(0)->setChecked(true);
    widgets_.radioWaitTime = group;
    widgets_.radioButtons = buttons;
}

// The caption over a picture, as the start button has always looked.
void Builder::buildStartButton() {
    auto* button = new QPushButton(central_);
    button->setObjectName(QStringLiteral("BitBtnStart"));
    button->setFocusPolicy(Qt::NoFocus);
    button->setAccessibleName(QStringLiteral("受信開始"));
    auto* stack = new QVBoxLayout(button);
    stack->setContentsMargins(2, 6, 2, 6);
    auto* caption = new QLabel(QStringLiteral("受信開始"), button);
    caption->setFont(pixelFont(window_.font().family(), 16, true));
    auto* picture = new QLabel(button);
    picture->setPixmap(startPicture(true));
    for (QLabel* part : {caption, picture}) {
        part->setAlignment(Qt::AlignCenter);
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
        stack->addWidget(part);
    }
    widgets_.bitBtnStart = button;
}

// The central area under the two tool bar rows, top to bottom: the two big labels, the list
// view, the status line and the "自動書込" group, which is as high as its items need; the list
// view takes the height that is left. The start button lies over the middle, above the status
// line, where in Idle nothing else is shown.
void Builder::layOutCentral() {
    const QMargins frame = widgets_.radioWaitTime->contentsMargins();
    const int radioHeight =
        frame.top() + widgets_.radioButtons->button(0)->sizeHint().height() + frame.bottom();
    const int radioTop = layout::kCentralHeight - radioHeight;
    const int statusTop = radioTop - layout::kStatusLineHeight;
    widgets_.labelWatch->setGeometry(4, 0, layout::kLabelWidth, layout::kLabelHeight);
    widgets_.labelBigLog->setGeometry(kClientWidth - 4 - layout::kLabelWidth, 0,
                                      layout::kLabelWidth, layout::kLabelHeight);
    widgets_.memo1->setGeometry(0, layout::kLabelHeight, kClientWidth,
                                statusTop - layout::kLabelHeight);
    widgets_.label1->setGeometry(0, statusTop, kClientWidth - 2, layout::kStatusLineHeight);
    widgets_.radioWaitTime->setGeometry(0, radioTop, kClientWidth, radioHeight);
    widgets_.bitBtnStart->setGeometry((kClientWidth - layout::kStartWidth) / 2,
                                      std::max(0, (statusTop - layout::kStartHeight) / 2),
                                      layout::kStartWidth, layout::kStartHeight);
}

void Builder::buildStatusBar() {
    auto* bar = new QStatusBar(&window_);
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(kStatusBarHeight);
    auto* panel = new QLabel(bar);
    panel->setObjectName(QStringLiteral("StatusBarPanel0"));
    panel->setMinimumWidth(50);  // the last panel runs on to the window's edge
    bar->addWidget(panel, 1);
    window_.setStatusBar(bar);
    widgets_.statusPanel = panel;
}

void Builder::buildTimers() {
    widgets_.timerLog = new QTimer(&window_);
    widgets_.timerLog->setObjectName(QStringLiteral("TimerLog"));
    widgets_.timerLog->setInterval(0);
}

}  // namespace

FormMainWidgets buildFormMainWidgets(QMainWindow& window) {
    return Builder(window).build();
}

}  // namespace vennick
