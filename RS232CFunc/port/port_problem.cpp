#include "RS232CFunc/port/port_problem.h"

#include <algorithm>
#include <string>

#include "RS232CFunc/port/serial_port.h"

namespace vennick {
namespace {

struct Remedy {
    PortProblem problem;
    const char* onWindows;
    const char* onPosix;
};

// On Linux a missing device is a matter of the [Ports] mapping, and a refused one of the
// device's group. (Windows reports a COM port held by another program as access denied, so it
// maps that to InUse and never says NoPermission.)
constexpr Remedy kRemedies[] = {
    {PortProblem::NotFound, "ｹｰﾌﾞﾙと COM 番号を確認して下さい", "[Ports] の設定を確認して下さい"},
    {PortProblem::InUse, "他のﾌﾟﾛｸﾞﾗﾑが使用中です", "他のﾌﾟﾛｸﾞﾗﾑが使用中です"},
    {PortProblem::NoPermission, "", "ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに入れて下さい"},
    {PortProblem::Other, "", ""},
};

std::string fieldText(LineField field, const LineSettings& line) {
    switch (field) {
        case LineField::BitRate:
            return "ﾋﾞｯﾄﾚｰﾄ " + std::to_string(line.bitRate);
        case LineField::DataBits:
            return "ﾃﾞｰﾀﾋﾞｯﾄ " + std::to_string(line.dataBits);
        case LineField::Parity:
            return "ﾊﾟﾘﾃｨ " + parityEntries()[line.parity == Parity::Even  ? 1
                                              : line.parity == Parity::Odd ? 2
                                                                           : 0];
        case LineField::StopBits:
            return "ｽﾄｯﾌﾟﾋﾞｯﾄ " + stopBitsEntries()[line.stopBits == StopBits::OneAndHalf ? 1
                                                    : line.stopBits == StopBits::Two      ? 2
                                                                                          : 0];
    }
    return {};
}

}  // namespace

std::string remedyFor(PortProblem problem, PortSystem system) {
    for (const Remedy& remedy : kRemedies) {
        if (remedy.problem == problem) {
            return system == PortSystem::Windows ? remedy.onWindows : remedy.onPosix;
        }
    }
    return {};
}

std::string openFailureText(const std::string& device, SystemError error) {
    return openFailureText(device, portProblemFor(error), systemErrorText(error));
}

std::string openFailureText(const std::string& device, PortProblem problem,
                            const std::string& systemText, PortSystem system) {
    const std::string remedy = remedyFor(problem, system);
    return device + ": " + systemText + (remedy.empty() ? "" : " (" + remedy + ")");
}

std::string settingsUnreadableText(const std::string& device, SystemError error) {
    return device + ": ﾎﾟｰﾄ設定を読めません " + systemErrorText(error);
}

std::string refusedSettingsText(const std::string& device, const LineSettings& line,
                                std::vector<LineField> refused) {
    if (refused.empty()) return {};
    std::sort(refused.begin(), refused.end());
    refused.erase(std::unique(refused.begin(), refused.end()), refused.end());
    std::string text = device + ": ";
    for (std::size_t i = 0; i < refused.size(); ++i) {
        if (i > 0) text += "、";
        text += fieldText(refused[i], line);
    }
    return text + " は使えません";
}

}  // namespace vennick
