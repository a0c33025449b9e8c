#pragma once

class QAction;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QMainWindow;
class QPushButton;
class QTimer;
class QToolBar;

namespace vennick {

class MemoEdit;

// The main window's controls. Each carries its name as its objectName, so that tests and the
// acceptance suite find it the way the operator's manual names it.
struct FormMainWidgets {
    QToolBar* toolBar1 = nullptr;      // row 1: "環境", "ﾊﾞｯﾌｧ消去", "行削除"
    QToolBar* toolBar1Row2 = nullptr;  // row 2: "書込", "終了"
    QAction* actionEnv = nullptr;
    QAction* actionBuffErase = nullptr;
    QAction* actionDeleteLine = nullptr;
    QAction* actionWrite = nullptr;
    QAction* actionQuit = nullptr;
    MemoEdit* memo1 = nullptr;
    QPushButton* bitBtnStart = nullptr;
    QLabel* labelWatch = nullptr;
    QLabel* labelBigLog = nullptr;
    QLabel* label1 = nullptr;  // the status line
    QGroupBox* radioWaitTime = nullptr;
    QButtonGroup* radioButtons = nullptr;  // the items of "自動書込", ids 0 to 4
    QLabel* statusPanel = nullptr;         // the status bar's one panel
    QTimer* timerLog = nullptr;
};

// Builds the window's caption, flags, fonts and controls with their sizes and places, in the
// state they have before the window is first shown. Connects nothing: the window wires them.
FormMainWidgets buildFormMainWidgets(QMainWindow& window);

}  // namespace vennick
