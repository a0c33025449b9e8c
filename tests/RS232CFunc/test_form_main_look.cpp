// The main window as the operator sees it: sizes, fonts, nothing cut off or covered, and what
// it says when something goes wrong.
#include <QGroupBox>
#include <QRadioButton>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <filesystem>

#include "tests/RS232CFunc/form_main_window.h"

namespace vennick {
namespace {

class FormMainLookTest : public test::FormMainWindow {
protected:
    // The widgets of the area between the tool bars and the status bar that are in sight.
    std::vector<QWidget*> visibleInCentre() {
        std::vector<QWidget*> visible;
        QWidget* central = form_->centralWidget();
        for (QWidget* child : central->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child->isVisibleTo(central)) visible.push_back(child);
        }
        return visible;
    }

    void expectNothingCoveredOrCut() {
        const QRect centre = form_->centralWidget()->rect();
        const std::vector<QWidget*> visible = visibleInCentre();
        for (std::size_t i = 0; i < visible.size(); ++i) {
            EXPECT_TRUE(centre.contains(visible[i]->geometry()))
                << visible[i]->objectName().toStdString();
            for (std::size_t j = i + 1; j < visible.size(); ++j) {
                EXPECT_FALSE(visible[i]->geometry().intersects(visible[j]->geometry()))
                    << visible[i]->objectName().toStdString() << " and "
                    << visible[j]->objectName().toStdString();
            }
        }
        auto* group = control<QGroupBox>("RadioWaitTime");
        for (auto* item : group->findChildren<QRadioButton*>()) {
            EXPECT_TRUE(group->contentsRect().contains(item->geometry()))
                << item->text().toStdString();
            EXPECT_GE(item->height(), item->sizeHint().height()) << item->text().toStdString();
        }
    }

    // The row of the view at a height inside its viewport.
    int rowAt(int y) { return memo()->cursorForPosition(QPoint(2, y)).blockNumber(); }
};

TEST_F(FormMainLookTest, ToolBarButtonsUseTheWindowFontAndAreTwentyPixelsHigh) {
    open(1);
    for (const char* bar : {"ToolBar1", "ToolBar1Row2"}) {
        auto* toolBar = control<QToolBar>(bar);
        EXPECT_EQ(toolBar->height(), 20) << bar;
        for (QAction* action : toolBar->actions()) {
            QWidget* button = toolBar->widgetForAction(action);
            SCOPED_TRACE(action->text().toStdString());
            EXPECT_EQ(button->height(), 20);
            EXPECT_EQ(button->font().pixelSize(), 12);
            EXPECT_EQ(QFontInfo(button->font()).family(), QFontInfo(form_->font()).family());
            EXPECT_GE(button->width(), button->sizeHint().width()) << "as wide as the caption";
        }
    }
}

TEST_F(FormMainLookTest, BothStatesFitTheClientAreaWithNothingCoveredOrCut) {
    open(4);
    EXPECT_EQ(form_->size(), QSize(266, 169));
    EXPECT_EQ(control<QStatusBar>("StatusBar")->geometry().bottom(), 168);
    expectNothingCoveredOrCut();
    startMonitoring();
    expectNothingCoveredOrCut();
}

TEST_F(FormMainLookTest, Memo1ShowsTheLastLinesReceived) {
    open(4);
    startMonitoring();
    receive("1\r2\r3\r4\r5\r", 5);
    form_->flushView();
    const int rowHeight = memo()->fontMetrics().lineSpacing();
    const int margin = static_cast<int>(memo()->document()->documentMargin());
    ASSERT_GE(memo()->viewport()->height(), 2 * margin + 2 * rowHeight) << "two whole rows";
    EXPECT_EQ(rowAt(margin + 1), 3);
    EXPECT_EQ(rowAt(margin + 2 * rowHeight - 1), 4) << "the last line in the lowest whole row";
}

TEST_F(FormMainLookTest, AnErrorOfAnotherKindIsShownWithoutAMessageAndTheRunGoesOn) {
    clock_ = []() -> TimeOfDay { throw 42; };
    open(0);
    startMonitoring();
    receive("1\r", 1);
    form_->flushView();
    control<QAction>("ActionWrite")->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifier_.errors.empty(); }, 5000));
    EXPECT_EQ(notifier_.errors, std::vector<std::string>{""});
    receive("2\r", 2);
    EXPECT_EQ(buffer(), "1\r\n2\r\n");
}

TEST_F(FormMainLookTest, ARefusedSaveAtCloseSaysThatReceptionHasStopped) {
    open(1);
    startMonitoring();
    const std::string ini = dir() + "/Vennick.INI";
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);  // no file can be written there

    notifier_.answers = {true, true};
    EXPECT_FALSE(form_->close());
    EXPECT_EQ(notifier_.errors, std::vector<std::string>{ini + " に書き込めません"});
    EXPECT_EQ(control<QLabel>("Label1")->text(),
              QStringLiteral("受信を停止しました。設定を保存できません。"));
    EXPECT_TRUE(form_->isVisible());

    EXPECT_FALSE(form_->close()) << "a second try meets the stopped thread and fails the same";
    EXPECT_EQ(control<QLabel>("Label1")->text(),
              QStringLiteral("受信を停止しました。設定を保存できません。"));
    std::filesystem::remove(ini);
    notifier_.answers = {true};
    EXPECT_TRUE(form_->close());
}

}  // namespace
}  // namespace vennick
