// Ranged reads from the data files. Every call opens the file afresh (read-only,
// close-on-exec) and closes it before returning; nothing stays open. The reads go
// through sys::read (sys.hpp), where tests inject interruptions and short files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"

namespace corvane::raw {

// The length bytes of the file at path, starting at offset. Errors: Io when the file
// cannot be opened, inspected, positioned in or read ("failed to fill whole buffer" when
// it ends early); Parse "read_bytes: requested L bytes at offset O but PATH has only R
// bytes remaining" when the span does not fit. An empty request still opens the file.
[[nodiscard]] Result<std::vector<std::uint8_t>> read_bytes(const std::string& path,
                                                           std::uint64_t offset,
                                                           std::uint64_t length);

// read_bytes into out, a buffer the caller already has: out.size() bytes at offset, with
// the same system calls, checks and errors. Nothing is allocated.
[[nodiscard]] Result<void> read_bytes_into(const std::string& path, std::uint64_t offset,
                                           std::span<std::uint8_t> out);

// The error read_bytes gives for a span that a regular file of file_size bytes cannot
// serve (the Parse "requested ... remaining" text above, or Io EINVAL for an empty span
// at an offset the system cannot position to), or nothing when the span fits. Lets a
// caller that knows a file's size foresee that failure without opening the file.
[[nodiscard]] std::optional<Error> span_error(const std::string& path, std::uint64_t file_size,
                                              std::uint64_t offset, std::uint64_t length);

// Reads a whole file (Io error when it cannot be opened or read).
[[nodiscard]] Result<std::vector<std::uint8_t>> read_file(const std::string& path);

}  // namespace corvane::raw
