#include <errno.h>
#include <iconv.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "settings/cp932_platform.h"
#include "settings/cp932_posix.h"
#include "settings/utf8.h"

namespace vennick {
namespace {

// glibc's "CP932" is Microsoft's table; "SHIFT_JIS" would turn 0x5C into a yen sign and reject
// the NEC and IBM extensions.
constexpr const char* kCp932 = "CP932";
constexpr const char* kUtf8 = "UTF-8";

class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as possible; stops at the first input byte it cannot take.
    // Returns errno of the stop (0 when everything was converted).
    int convert(std::string_view& in, std::string& out) {
        char buffer[1024];
        while (!in.empty()) {
            char* src = const_cast<char*>(in.data());
            std::size_t srcLeft = in.size();
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            const std::size_t result = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            const int error = result == static_cast<std::size_t>(-1) ? errno : 0;
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            in.remove_prefix(in.size() - srcLeft);
            if (error != 0 && error != E2BIG) return error;
        }
        return 0;
    }

private:
    iconv_t cd_;
};

// Runs the conversion to the end, putting "?" for each character (or stray byte) that the
// target cannot hold. `unitLength` says how many input bytes one "?" stands for.
template <typename UnitLength>
std::string convertAll(const char* to, const char* from, std::string_view in,
                       UnitLength unitLength) {
    std::string out;
    out.reserve(in.size() * 3 / 2);
    Converter converter(to, from);
    if (!converter.ok()) return std::string(in.size(), '?');
    while (!in.empty()) {
        const int error = converter.convert(in, out);
        if (error == 0) break;
        out += '?';
        if (error == EINVAL) break;  // cut off in the middle of a character at the very end
        const std::size_t skip = unitLength(in);
        in.remove_prefix(skip == 0 ? 1 : skip);
    }
    return out;
}

std::optional<std::string> convertExactly(const char* to, const char* from, std::string_view in) {
    Converter converter(to, from);
    std::string out;
    if (!converter.ok() || converter.convert(in, out) != 0) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::string> cp932ToUtf8Exactly(std::string_view cp932) {
    return convertExactly(kUtf8, kCp932, cp932);
}

std::optional<std::string> utf8ToCp932Exactly(std::string_view utf8) {
    auto cp932 = convertExactly(kCp932, kUtf8, utf8);
    if (!cp932 || cp932ToUtf8Exactly(*cp932) != utf8) return std::nullopt;
    return cp932;
}

namespace platform {

std::string utf8ToCp932(std::string_view utf8) {
    return convertAll(kCp932, kUtf8, utf8, utf8SequenceLength);
}

std::string cp932ToUtf8(std::string_view cp932) {
    // A byte that starts no valid character is dropped alone, so the next one is read afresh.
    return convertAll(kUtf8, kCp932, cp932, [](std::string_view) { return std::size_t{1}; });
}

}  // namespace platform
}  // namespace vennick
