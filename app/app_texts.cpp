#include "app/app_texts.h"

#include <cctype>

#include "settings/cp932.h"

namespace vennick {
namespace {

bool isLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The last character of code page 932 text, as its bytes.
std::string lastCharacter(const std::string& cp932) {
    std::size_t start = 0;
    std::size_t last = 0;
    while (start < cp932.size()) {
        last = start;
        const bool doubleByte =
            isLeadByte(static_cast<unsigned char>(cp932[start])) && start + 1 < cp932.size();
        start += doubleByte ? 2 : 1;
    }
    return cp932.substr(last);
}

}  // namespace

std::string applicationTitle(const std::string& executablePath) {
    const auto nameStart = executablePath.find_last_of("/\\");
    std::string title =
        nameStart == std::string::npos ? executablePath : executablePath.substr(nameStart + 1);
    title = title.substr(0, title.find('.'));
    // Names are ASCII in practice; a multi-byte UTF-8 sequence passes through unchanged.
    for (std::size_t i = 1; i < title.size(); ++i) {
        const auto byte = static_cast<unsigned char>(title[i]);
        if (byte < 0x80) title[i] = static_cast<char>(std::tolower(byte));
    }
    return title;
}

std::string errorBoxText(const std::string& message) {
    if (message.empty()) return message;
    const std::string last = lastCharacter(utf8ToCp932(message));
    return last > std::string(".") ? message + "." : message;
}

}  // namespace vennick
