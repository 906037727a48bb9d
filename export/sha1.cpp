#include "sha1.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace corvane::mzml {

namespace {

// Bytes per read: large enough to keep the digest busy, small enough to stay in cache.
constexpr std::size_t chunk_size = std::size_t{1} << 20;

}  // namespace

Sha1::Sha1() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), EVP_sha1(), nullptr) != 1) ctx_.reset();
}

void Sha1::Free::operator()(void* ctx) const { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx)); }

void Sha1::update(const void* data, std::size_t size) {
    if (ctx_) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_.get()), data, size);
}

Outcome<std::string> Sha1::hex() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!ctx_ || EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), digest.data(), &size) != 1) {
        return std::unexpected(Failure{"SHA-1 is not available from OpenSSL"});
    }
    ctx_.reset();
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

Outcome<std::string> sha1_of_fd(int fd, std::uint64_t length) {
    Sha1 sha;
    std::vector<char> chunk(chunk_size);
    std::uint64_t done = 0;
    while (done < length) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, length - done));
        const ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(Failure{"reading for the checksum failed: " + os_message(errno), errno});
        if (n == 0) return std::unexpected(Failure{"reading for the checksum failed: the file ended early"});
        sha.update(chunk.data(), static_cast<std::size_t>(n));
        done += static_cast<std::uint64_t>(n);
    }
    return sha.hex();
}

Outcome<std::string> sha1_of_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(Failure{path + ": " + os_message(errno)});
    struct stat st {};
    Outcome<std::string> digest = std::unexpected(Failure{});
    if (::fstat(fd, &st) != 0) {
        digest = std::unexpected(Failure{path + ": " + os_message(errno)});
    } else {
        digest = sha1_of_fd(fd, static_cast<std::uint64_t>(st.st_size));
    }
    ::close(fd);
    return digest;
}

}  // namespace corvane::mzml
