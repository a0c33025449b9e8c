// The settings dialog offscreen: controls by name, boxes and the folder chooser replaced.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>

#include "RS232CFunc/port/port_tables.h"
#include "RS232CPara/TRS232CParaForm.h"
#include "settings/settings.h"
#include "support/recording_notifier.h"

namespace vennick {
namespace {

class ParaFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings_.logDirectory = "/var/log/instrument";
        ParaFormServices services{notifier_, settings_,
                                  [this] {
                                      ++mainWindowCloses_;
                                      return mainWindowCloses_result_;
                                  },
                                  [this](QWidget*, const QString& start) {
                                      browserStarts_.push_back(start);
                                      return chosenFolder_;
                                  }};
        form_ = std::make_unique<TRS232CParaForm>(services);
    }

    QComboBox* combo(const char* name) {
        auto* found = form_->findChild<QComboBox*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit* logPath() { return form_->findChild<QLineEdit*>(QStringLiteral("EditLogFilePath")); }
    QPushButton* button(const char* name) {
        return form_->findChild<QPushButton*>(QString::fromLatin1(name));
    }

    // The operator selects the box's text and types over it.
    void type(QComboBox* box, const char* text) {
        box->lineEdit()->setFocus();
        box->lineEdit()->selectAll();
        QTest::keyClicks(box->lineEdit(), QString::fromLatin1(text));
    }

    Settings settings_;
    test::RecordingNotifier notifier_;
    int mainWindowCloses_ = 0;
    bool mainWindowCloses_result_ = true;
    std::optional<std::string> chosenFolder_;
    std::vector<QString> browserStarts_;
    std::unique_ptr<TRS232CParaForm> form_;
};

TEST_F(ParaFormTest, ShowsTheRecordAndListsTheTables) {
    settings_.bitRateIndex = 22;
    settings_.parityIndex = 2;
    settings_.stopBitsIndex = 1;
    form_->show();
    EXPECT_EQ(form_->windowTitle(), QStringLiteral("RS232Cﾊﾟﾗﾒｰﾀ設定"));
    EXPECT_EQ(form_->size(), QSize(311, 284));
    EXPECT_EQ(combo("ComboComName")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(combo("ComboBauRate")->currentText(), QStringLiteral("2000000"));
    EXPECT_EQ(combo("ComboBauRate")->count(), 23);
    EXPECT_EQ(combo("ComboBiteSize")->currentText(), QStringLiteral("8"));
    EXPECT_EQ(combo("ComboParity")->currentText(), QStringLiteral("Odd"));
    EXPECT_EQ(combo("ComboStopBits")->currentText(), QStringLiteral("1.5"));
    EXPECT_EQ(logPath()->text(), QStringLiteral("/var/log/instrument"));
    EXPECT_FALSE(form_->changed()) << "filling from the program is no change";
    EXPECT_EQ(button("Button1")->focusPolicy() & Qt::TabFocus, Qt::TabFocus);
    EXPECT_EQ(combo("ComboParity")->focusPolicy() & Qt::TabFocus, 0);
}

TEST_F(ParaFormTest, OutOfRangeIndicesShowNoSelection) {
    settings_.comIndex = -1;  // a typed text: the box keeps the text it had
    settings_.bitRateIndex = 99;
    form_->show();
    EXPECT_EQ(combo("ComboComName")->currentIndex(), -1);
    EXPECT_EQ(combo("ComboComName")->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(combo("ComboBauRate")->currentIndex(), -1);
    EXPECT_EQ(combo("ComboBauRate")->currentText(), QString());
}

TEST_F(ParaFormTest, TypingCompletesToTheFirstMatchingEntry) {
    settings_.bitRateIndex = 0;
    form_->show();
    QComboBox* rate = combo("ComboBauRate");
    type(rate, "96");
    EXPECT_EQ(rate->currentIndex(), 8);
    EXPECT_EQ(rate->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(rate->lineEdit()->selectedText(), QStringLiteral("00"));
    EXPECT_TRUE(form_->changed());

    QComboBox* parity = combo("ComboParity");
    type(parity, "e");
    EXPECT_EQ(parity->currentText(), QStringLiteral("Even")) << "letter case ignored";
}

TEST_F(ParaFormTest, TextMatchingNothingSelectsNothingAndApplyStoresMinusOne) {
    form_->show();
    QComboBox* rate = combo("ComboBauRate");
    type(rate, "99");
    EXPECT_EQ(rate->currentIndex(), -1);
    EXPECT_EQ(rate->currentText(), QStringLiteral("99"));
    EXPECT_EQ(rate->count(), 23) << "typed text is never added to the list";

    notifier_.answers = {true};
    button("Button1")->click();
    EXPECT_EQ(settings_.bitRateIndex, -1);
    EXPECT_EQ(bitRateFor(settings_.bitRateIndex), 9600) << "the port then opens at a safe rate";
}

TEST_F(ParaFormTest, ApplyStoresEverythingTellsTwiceAndClosesTheMainWindow) {
    form_->show();
    type(combo("ComboComName"), "COM3");
    type(combo("ComboParity"), "O");
    logPath()->setText(QStringLiteral("/srv/share/logs"));
    notifier_.answers = {true};
    button("Button1")->click();

    ASSERT_EQ(notifier_.asked.size(), 1u);
    EXPECT_EQ(notifier_.asked[0], "ﾊﾟﾗﾒｰﾀを書き換えてもいいですか?");
    EXPECT_EQ(settings_.comIndex, 2);
    EXPECT_EQ(settings_.parityIndex, 2);
    EXPECT_EQ(settings_.bitRateIndex, 8);
    EXPECT_EQ(settings_.logDirectory, "/srv/share/logs");
    ASSERT_EQ(notifier_.informed.size(), 2u);
    EXPECT_EQ(notifier_.informed[0],
              "ﾊﾟﾗﾒｰﾀを書き換えました。\n反映するにはｱﾌﾟﾘｹｰｼｮﾝの再起動が必要です。");
    EXPECT_EQ(notifier_.informed[1], "ｱﾌﾟﾘｹｰｼｮﾝを終了します。");
    EXPECT_EQ(mainWindowCloses_, 1);
    EXPECT_FALSE(form_->isVisible());
}

TEST_F(ParaFormTest, ApplyAnsweredNoStoresNothing) {
    form_->show();
    type(combo("ComboBauRate"), "1152");
    button("Button1")->click();
    EXPECT_EQ(settings_.bitRateIndex, 8);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(mainWindowCloses_, 0);
}

TEST_F(ParaFormTest, FailedSaveKeepsTheDialogOpenWithItsSavedFlag) {
    mainWindowCloses_result_ = false;
    form_->show();
    notifier_.answers = {true};
    button("Button1")->click();
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(form_->saved());
    EXPECT_TRUE(form_->close()) << "applied: closing asks nothing";
    EXPECT_TRUE(notifier_.asked.size() == 1u);
}

TEST_F(ParaFormTest, ClosingAfterAChangeAsksAndKeepsTheRecord) {
    form_->show();
    QComboBox* rate = combo("ComboBauRate");
    rate->setCurrentIndex(3);
    emit rate->activated(3);
    EXPECT_FALSE(form_->close());
    ASSERT_EQ(notifier_.asked.size(), 1u);
    EXPECT_EQ(notifier_.asked[0], "設定変更を押さないと書き換えは行いませんがいいですか?");
    EXPECT_TRUE(form_->isVisible());

    notifier_.answers = {true};
    EXPECT_TRUE(form_->close());
    EXPECT_EQ(settings_.bitRateIndex, 8);
}

TEST_F(ParaFormTest, TypingOnlyTheDirectoryOrNothingClosesWithoutAQuestion) {
    form_->show();
    EXPECT_TRUE(form_->close());
    form_->show();
    logPath()->setFocus();
    QTest::keyClicks(logPath(), "/elsewhere");
    EXPECT_TRUE(form_->close());
    EXPECT_TRUE(notifier_.asked.empty());
    EXPECT_EQ(settings_.logDirectory, "/var/log/instrument");
    form_->show();
    EXPECT_EQ(logPath()->text(), QStringLiteral("/var/log/instrument"))
        << "every showing starts anew";
}

TEST_F(ParaFormTest, BrowseReplacesTheTextAndCancelChangesNothing) {
    form_->show();
    button("bGetPath")->click();
    EXPECT_EQ(logPath()->text(), QStringLiteral("/var/log/instrument"));
    EXPECT_FALSE(form_->changed());

    chosenFolder_ = "/mnt/share";
    button("bGetPath")->click();
    EXPECT_EQ(logPath()->text(), QStringLiteral("/mnt/share"));
    EXPECT_TRUE(form_->changed());
}

TEST_F(ParaFormTest, TheBrowserOpensAtTheTopOfTheFolderTree) {
    form_->show();
    button("bGetPath")->click();
    ASSERT_EQ(browserStarts_.size(), 1u);
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    EXPECT_TRUE(browserStarts_[0] == desktop || browserStarts_[0] == QDir::homePath())
        << browserStarts_[0].toStdString();
    EXPECT_TRUE(QDir(browserStarts_[0]).exists());
}

TEST_F(ParaFormTest, EnterInAnyFieldPressesNoButton) {
    form_->show();
    for (QPushButton* each : form_->findChildren<QPushButton*>()) {
        EXPECT_FALSE(each->isDefault() || each->autoDefault()) << each->text().toStdString();
    }
    std::vector<QWidget*> fields{logPath()};
    for (QComboBox* box : form_->findChildren<QComboBox*>()) fields.push_back(box);
    for (QWidget* field : fields) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(field, Qt::Key_Enter);
    }
    EXPECT_TRUE(browserStarts_.empty());
    EXPECT_TRUE(notifier_.asked.empty());
    EXPECT_FALSE(form_->changed());
}

TEST_F(ParaFormTest, TypingWhatKeepsTheSelectedEntryIsNoChange) {
    form_->show();
    type(combo("ComboBauRate"), "9");
    EXPECT_EQ(combo("ComboBauRate")->currentText(), QStringLiteral("9600"));
    EXPECT_TRUE(form_->close());
    EXPECT_TRUE(notifier_.asked.empty());
}

TEST_F(ParaFormTest, RetypedParityIsStoredNotMinusOne) {
    form_->show();
    type(combo("ComboParity"), "Od");
    type(combo("ComboParity"), "O");
    notifier_.answers = {true};
    button("Button1")->click();
    EXPECT_EQ(settings_.parityIndex, 2);
}

TEST_F(ParaFormTest, TheOuterFrameIsCentredOnTheScreen) {
    form_->show();
    QTest::qWait(200);  // a window manager's frame comes late; the placement follows it
    const QRect screen = form_->screen()->geometry();
    const QRect frame = form_->frameGeometry();
    EXPECT_LE(std::abs(frame.center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(frame.center().y() - screen.center().y()), 1);
}

TEST_F(ParaFormTest, EscapeDoesNotCloseTheDialog) {
    form_->show();
    QTest::keyClick(form_.get(), Qt::Key_Escape);
    EXPECT_TRUE(form_->isVisible());
}

}  // namespace
}  // namespace vennick
