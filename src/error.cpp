#include "error.hpp"

#include <cstring>

namespace corvane {

namespace {

// The platform's message for an errno value. glibc's strerror_r comes in two
// flavours; the overloads pick whichever this libc declares.
[[maybe_unused]] const char* message_from(int rc, const char* buffer) {
    return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* message_from(const char* text, const char*) { return text; }

}  // namespace

std::string os_message(int code) {
    char buffer[256] = {};
    return message_from(strerror_r(code, buffer, sizeof buffer), buffer);
}

std::string Error::display() const {
    if (const auto* io = as_io()) {
        if (io->unexpected_eof) return "I/O error: failed to fill whole buffer";
        return "I/O error: " + os_message(io->code) + " (os error " + std::to_string(io->code) + ")";
    }
    return "parse error: " + as_parse()->message;
}

}  // namespace corvane
