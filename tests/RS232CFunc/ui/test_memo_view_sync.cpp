// Memo1 and the line buffer under a typing operator: one text, edited in place, never copied
// back over the other.
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QRadioButton>
#include <functional>
#include <vector>

#include "tests/RS232CFunc/form_main_window.h"

namespace vennick {
namespace {

class MemoViewSyncTest : public test::FormMainWindow {
protected:
    // What the buffer must hold for the view as it is: rows joined by CR LF, UTF-8.
    std::string viewInBufferForm() {
        std::string text;
        for (QTextBlock row = memo()->document()->begin(); row.isValid(); row = row.next()) {
            if (row != memo()->document()->begin()) text += "\r\n";
            text += row.text().toStdString();
        }
        return text;
    }

    // Types each character as a key of its own; "\n" is the Enter key.
    void typeIntoMemo(const QString& keys) {
        memo()->setFocus();
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (keys[i] == QLatin1Char('\n')) {
                QTest::keyClick(memo(), Qt::Key_Return);
                continue;
            }
            const qsizetype length = keys[i].isHighSurrogate() ? 2 : 1;
            QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, keys.mid(i, length));
            QCoreApplication::sendEvent(memo(), &key);
            i += length - 1;
        }
    }

    void openEditable() {
        open(0);
        startMonitoring();
        memo()->setFocus();
    }
};

TEST_F(MemoViewSyncTest, LinesReceivedJustBeforeAKeystrokeAreKept) {
    openEditable();
    std::string expected;
    for (int n = 1; n <= 8; ++n) {
        const std::string line = std::to_string(n);
        receive(line + "\r", 2 * n - 1);
        ASSERT_FALSE(memo()->toPlainText().contains(QString::fromStdString(line)))
            << "the view has not caught up yet";
        QTest::keyClicks(memo(), QStringLiteral("x"));
        QTest::keyClick(memo(), Qt::Key_Return);
        expected += line + "\r\nx\r\n";
    }
    EXPECT_EQ(buffer(), expected);
    form_->flushView();
    EXPECT_EQ(viewInBufferForm(), expected);
}

TEST_F(MemoViewSyncTest, WrittenOrErasedLinesDoNotComeBackWithTheNextKeystroke) {
    for (const char* action : {"ActionWrite", "ActionBuffErase"}) {
        SCOPED_TRACE(action);
        openEditable();
        receive("1\r2\r", 2);
        form_->flushView();
        control<QAction>(action)->trigger();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form_->runState().lineCount() == 0; }, 5000));
        QTest::keyClicks(memo(), QStringLiteral("x"));
        EXPECT_EQ(buffer(), "x");
        EXPECT_EQ(memo()->toPlainText(), QStringLiteral("x"));
        form_.reset();
    }
}

TEST_F(MemoViewSyncTest, ShiftEnterEndsALineInTheViewAsInTheBuffer) {
    openEditable();
    typeIntoMemo(QStringLiteral("ab"));
    QTest::keyClick(memo(), Qt::Key_Return, Qt::ShiftModifier);
    typeIntoMemo(QStringLiteral("cd"));
    QTest::keyClick(memo(), Qt::Key_Return);
    receive("ef\r", 3);
    form_->flushView();
    ASSERT_EQ(memo()->blockCount(), 4);

    clickLine(1);
    EXPECT_EQ(memo()->textCursor().selectedText(), QStringLiteral("cd"));
    control<QAction>("ActionDeleteLine")->trigger();
    EXPECT_EQ(buffer(), "ab\r\nef\r\n");
    EXPECT_EQ(memo()->toPlainText(), QStringLiteral("ab\nef\n"));
}

TEST_F(MemoViewSyncTest, NonBreakingSpacesKeepTheSelectionOnTheClickedText) {
    openEditable();
    typeIntoMemo(QStringLiteral("\u00A0\u00A0b\n"));
    receive("b\r", 2);
    form_->flushView();
    EXPECT_EQ(buffer(), "\u00A0\u00A0b\r\nb\r\n");

    clickLine(1);  // the first line holding "b" is the typed one
    EXPECT_EQ(memo()->textCursor().selectionStart(), 2);
    EXPECT_EQ(memo()->textCursor().selectedText(), QStringLiteral("b"));
}

TEST_F(MemoViewSyncTest, DeletingALineLeavesTheCaretWhereTheLineWas) {
    openEditable();
    receive("A\rB\rC\r", 3);
    form_->flushView();
    clickLine(1);
    control<QAction>("ActionDeleteLine")->trigger();
    EXPECT_EQ(memo()->toPlainText(), QStringLiteral("A\nC\n"));
    EXPECT_EQ(memo()->textCursor().position(), 2);
    EXPECT_FALSE(memo()->textCursor().hasSelection());
}

// Every kind of edit, from the same start; the buffer then holds exactly what the view shows.
TEST_F(MemoViewSyncTest, EveryEditOfTheOperatorReachesTheBufferExactly) {
    const auto select = [this](int from, int to) {
        QTextCursor cursor(memo()->document());
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        memo()->setTextCursor(cursor);
    };
    const auto paste = [this](const QString& text) {
        QGuiApplication::clipboard()->setText(text);
        memo()->paste();
    };
    const std::vector<std::pair<const char*, std::function<void()>>> edits = {
        {"type over a selection across rows", [&] { select(2, 5), typeIntoMemo("z"); }},
        {"backspace at a row's start",
         [&] { select(4, 4), QTest::keyClick(memo(), Qt::Key_Backspace); }},
        {"delete a row break", [&] { select(3, 3), QTest::keyClick(memo(), Qt::Key_Delete); }},
        {"type at the very end", [&] { select(6, 6), typeIntoMemo("end"); }},
        {"wide characters",
         [&] { select(1, 1), typeIntoMemo(QStringLiteral("\u00A0測\U0001F600")); }},
        {"paste with line breaks",
         [&] { select(1, 2), paste(QStringLiteral("p\u2028q\nr\r\ns")); }},
        {"cut a whole row", [&] { select(4, 6), memo()->cut(); }},
    };
    for (const auto& [what, edit] : edits) {
        SCOPED_TRACE(what);
        openEditable();
        receive("A12\rB\r", 2);
        form_->flushView();
        edit();
        EXPECT_EQ(buffer(), viewInBufferForm());
        EXPECT_EQ(form_->runState().lineCount(), memo()->document()->lastBlock().length() > 1
                                                     ? memo()->blockCount()
                                                     : memo()->blockCount() - 1);
        form_.reset();
    }
}

TEST_F(MemoViewSyncTest, PastingBringsTheViewUpToDateFirst) {
    openEditable();
    receive("A\r", 1);
    QGuiApplication::clipboard()->setText(QStringLiteral("p"));
    memo()->paste();
    EXPECT_EQ(buffer(), "A\r\np");
    EXPECT_EQ(viewInBufferForm(), buffer());
}

}  // namespace
}  // namespace vennick
