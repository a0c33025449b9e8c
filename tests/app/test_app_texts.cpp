#include <gtest/gtest.h>

#include "app/app_texts.h"

namespace vennick {
namespace {

TEST(ApplicationTitle, IsTheFileNameCutAtTheFirstDotWithTheRestInLowerCase) {
    EXPECT_EQ(applicationTitle("C:\\Tools\\Vennick.exe"), "Vennick");
    EXPECT_EQ(applicationTitle("/opt/vennick/VENNICK"), "Vennick");
    EXPECT_EQ(applicationTitle("/a.b/LOGGER.V2.EXE"), "Logger");
    EXPECT_EQ(applicationTitle("vennick"), "vennick");
}

TEST(ErrorBoxText, AppendsADotAfterCharactersThatSortAboveIt) {
    EXPECT_EQ(errorBoxText("Cannot create C:\\x"), "Cannot create C:\\x.");
    EXPECT_EQ(errorBoxText("C:\\x.INI に書き込めません"), "C:\\x.INI に書き込めません.");
    EXPECT_EQ(errorBoxText("切断されました。"), "切断されました。.");
    EXPECT_EQ(errorBoxText("ｱ"), "ｱ.") << "half-width katakana sorts above";
    EXPECT_EQ(errorBoxText("1"), "1.");
}

TEST(ErrorBoxText, LeavesDotsLowerCharactersAndEmptyMessagesAlone) {
    EXPECT_EQ(errorBoxText("done."), "done.");
    EXPECT_EQ(errorBoxText("a-"), "a-");
    EXPECT_EQ(errorBoxText("path/"), "path/.") << "'/' (0x2F) sorts above '.'";
    EXPECT_EQ(errorBoxText(""), "");
}

}  // namespace
}  // namespace vennick
