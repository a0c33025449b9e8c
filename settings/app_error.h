#pragma once

#include <stdexcept>
#include <string>

namespace vennick {

// The program's own error type: its message (UTF-8) is what the operator sees in the error box.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vennick
