// SHA-1 digests in lower-case hex, as mzML writes them (OpenSSL underneath).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "export/format.hpp"

namespace corvane::mzml {

using output::Failure;
using output::Outcome;

// A running SHA-1 digest.
class Sha1 {
public:
    Sha1();
    void update(const void* data, std::size_t size);
    // The digest of everything given to update; the object is spent afterwards.
    // Fails only when OpenSSL cannot provide SHA-1.
    [[nodiscard]] Outcome<std::string> hex();

private:
    struct Free {
        void operator()(void* ctx) const;
    };
    std::unique_ptr<void, Free> ctx_;
};

// Digest of the first length bytes of the open file fd, read with pread (the file
// position is left alone). Fails when the file is shorter or cannot be read.
[[nodiscard]] Outcome<std::string> sha1_of_fd(int fd, std::uint64_t length);

// Digest of the whole file at path.
[[nodiscard]] Outcome<std::string> sha1_of_file(const std::string& path);

}  // namespace corvane::mzml
