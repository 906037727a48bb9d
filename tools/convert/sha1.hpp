// SHA-1 digests in lower-case hex, as mzML writes them (OpenSSL underneath).
#pragma once

#include <cstdint>
#include <string>

#include "mzml.hpp"

namespace corvane::convert {

// Digest of the first length bytes of the open file fd, read with pread (the file
// position is left alone). Fails when the file is shorter or cannot be read.
[[nodiscard]] Outcome<std::string> sha1_of_fd(int fd, std::uint64_t length);

// Digest of the whole file at path.
[[nodiscard]] Outcome<std::string> sha1_of_file(const std::string& path);

}  // namespace corvane::convert
