// The port texts of the status line, one wording for every OS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RS232CFunc/port/port_problem.h"
#include "RS232CFunc/port/serial_port.h"

namespace vennick {
namespace {

TEST(PortProblemText, OneTableOfRemediesWithEachSystemsOwnWhereTheyDiffer) {
    using P = PortProblem;
    const struct {
        PortProblem problem;
        const char* onWindows;
        const char* onPosix;
    } cases[] = {
        {P::NotFound, "ｹｰﾌﾞﾙと COM 番号を確認して下さい", "[Ports] の設定を確認して下さい"},
        {P::InUse, "他のﾌﾟﾛｸﾞﾗﾑが使用中です", "他のﾌﾟﾛｸﾞﾗﾑが使用中です"},
        {P::NoPermission, "", "ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに入れて下さい"},
        {P::Other, "", ""},
    };
    for (const auto& [problem, onWindows, onPosix] : cases) {
        EXPECT_EQ(remedyFor(problem, PortSystem::Windows), onWindows);
        EXPECT_EQ(remedyFor(problem, PortSystem::Posix), onPosix);
    }
}

TEST(PortProblemText, AFailedOpenNamesTheDeviceTheSystemsWordsAndTheRemedy) {
    EXPECT_EQ(
        openFailureText("COM3", PortProblem::InUse, "Access denied (ｴﾗｰ 5)", PortSystem::Windows),
        "COM3: Access denied (ｴﾗｰ 5) (他のﾌﾟﾛｸﾞﾗﾑが使用中です)");
    EXPECT_EQ(openFailureText("/dev/ttyUSB0", PortProblem::NoPermission, "Permission denied",
                              PortSystem::Posix),
              "/dev/ttyUSB0: Permission denied (ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに入れて下さい)");
    EXPECT_EQ(openFailureText("COM3", PortProblem::Other, "said", PortSystem::Windows),
              "COM3: said");
    // This system's own mapping and words: no remedy for success.
    const std::string text = openFailureText("port", SystemError{0});
    EXPECT_EQ(text, "port: " + systemErrorText(0));
}

TEST(PortProblemText, RefusedSettingsAreNamedWithTheirValuesInFieldOrder) {
    using F = LineField;
    const LineSettings line{128000, 7, Parity::Even, StopBits::OneAndHalf};
    const struct {
        std::vector<LineField> refused;
        const char* text;
    } cases[] = {
        {{}, ""},
        {{F::StopBits}, "/dev/ttyUSB0: ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません"},
        {{F::Parity, F::DataBits}, "/dev/ttyUSB0: ﾃﾞｰﾀﾋﾞｯﾄ 7、ﾊﾟﾘﾃｨ Even は使えません"},
        {{F::StopBits, F::BitRate, F::Parity, F::DataBits},
         "/dev/ttyUSB0: ﾋﾞｯﾄﾚｰﾄ 128000、ﾃﾞｰﾀﾋﾞｯﾄ 7、ﾊﾟﾘﾃｨ Even、ｽﾄｯﾌﾟﾋﾞｯﾄ 1.5 は使えません"},
    };
    for (const auto& [refused, text] : cases) {
        EXPECT_EQ(refusedSettingsText("/dev/ttyUSB0", line, refused), text);
    }
    EXPECT_EQ(refusedSettingsText("COM3", {9600, 8, Parity::Odd, StopBits::Two},
                                  {F::Parity, F::StopBits}),
              "COM3: ﾊﾟﾘﾃｨ Odd、ｽﾄｯﾌﾟﾋﾞｯﾄ 2 は使えません");
}

TEST(PortProblemText, UnreadableSettingsSayWhy) {
    EXPECT_EQ(settingsUnreadableText("COM1", 1),
              "COM1: ﾎﾟｰﾄ設定を読めません " + systemErrorText(1));
}

}  // namespace
}  // namespace vennick
