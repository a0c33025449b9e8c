// Completion in an editable combo box, typed key by key into a real box.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "RS232CPara/type_ahead.h"

namespace vennick {
namespace {

TEST(TypeAheadMatchTest, FirstEntryInListOrderLetterCaseIgnored) {
    const QStringList rates{"110", "1200", "9600", "96000", "19200"};
    const QStringList parity{"No", "Even", "Odd"};
    struct Case {
        const QStringList& entries;
        const char* text;
        bool typed;
        int expected;
    };
    const Case cases[] = {
        {rates, "1", true, 0},    {rates, "12", true, 1},    {rates, "96", true, 2},
        {rates, "96", false, -1}, {rates, "9600", false, 2}, {rates, "7", true, -1},
        {parity, "o", true, 2},   {parity, "ODD", false, 2}, {parity, "", true, -1},
        {parity, "", false, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(typeAheadMatch(c.entries, QString::fromLatin1(c.text), c.typed), c.expected)
            << c.text << (c.typed ? " typed" : " edited");
    }
}

class TypeAheadTest : public ::testing::Test {
protected:
    void SetUp() override {
        box_.setEditable(true);
        box_.setInsertPolicy(QComboBox::NoInsert);
        box_.setCompleter(nullptr);
        box_.addItems({"No", "Even", "Odd", "110", "9600", "96000"});
        typeAhead_ = new TypeAhead(box_);  // the box owns it
        changes_ = std::make_unique<QSignalSpy>(typeAhead_, &TypeAhead::selectionChanged);
        box_.show();
        box_.lineEdit()->setFocus();
    }

    void typeOver(const char* keys) {
        box_.lineEdit()->selectAll();
        QTest::keyClicks(box_.lineEdit(), QString::fromLatin1(keys));
    }

    QString text() { return box_.lineEdit()->text(); }
    QString highlighted() { return box_.lineEdit()->selectedText(); }

    QComboBox box_;
    TypeAhead* typeAhead_ = nullptr;
    std::unique_ptr<QSignalSpy> changes_;
};

TEST_F(TypeAheadTest, RetypingAShorterTextSelectsTheFirstMatchAgain) {
    typeOver("Od");
    ASSERT_EQ(box_.currentIndex(), 2);
    typeOver("O");
    EXPECT_EQ(box_.currentIndex(), 2);
    EXPECT_EQ(text(), QStringLiteral("Odd"));
    EXPECT_EQ(highlighted(), QStringLiteral("dd"));
    EXPECT_EQ(changes_->count(), 1) << "Odd was selected already";
}

TEST_F(TypeAheadTest, BackspaceTakesTheCompletionAwayAndLeavesWhatWasTyped) {
    typeOver("96");
    ASSERT_EQ(text(), QStringLiteral("9600"));
    QTest::keyClick(box_.lineEdit(), Qt::Key_Backspace);
    EXPECT_EQ(text(), QStringLiteral("96"));
    EXPECT_EQ(box_.currentIndex(), -1) << "no entry reads 96";
    QTest::keyClick(box_.lineEdit(), Qt::Key_Backspace);
    EXPECT_EQ(text(), QStringLiteral("9"));
    QTest::keyClicks(box_.lineEdit(), QStringLiteral("60"));
    EXPECT_EQ(text(), QStringLiteral("9600")) << "typing completes again";
    EXPECT_EQ(box_.currentIndex(), 4);
}

TEST_F(TypeAheadTest, TypingTheSelectedEntrysStartKeepsItAndIsNoChange) {
    box_.setCurrentIndex(4);
    typeOver("9");
    EXPECT_EQ(box_.currentIndex(), 4);
    EXPECT_EQ(text(), QStringLiteral("9600"));
    EXPECT_EQ(changes_->count(), 0);
}

TEST_F(TypeAheadTest, EnterSelectsNothing) {
    box_.setCurrentIndex(4);
    QSignalSpy activated(&box_, &QComboBox::activated);
    QTest::keyClick(box_.lineEdit(), Qt::Key_Return);
    QTest::keyClick(&box_, Qt::Key_Enter);
    EXPECT_EQ(activated.count(), 0);
    EXPECT_EQ(changes_->count(), 0);
}

}  // namespace
}  // namespace vennick
