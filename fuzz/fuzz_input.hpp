// Helpers shared by the fuzz targets: taking fixed-width fields off the front of the
// fuzzer's input, splitting an input into files, and checking a target's own invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::fuzz {

// Reads little-endian fields from the front of an input; a field that runs past the end
// reads as zero bytes, so every input maps to some set of parameters.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> data) : data_(data) {}

    template <class T>
    T take() {
        T value{};
        unsigned char raw[sizeof(T)] = {};
        const std::size_t n = sizeof(T) < data_.size() ? sizeof(T) : data_.size();
        if (n > 0) std::memcpy(raw, data_.data(), n);
        std::memcpy(&value, raw, sizeof(T));
        data_ = data_.subspan(n);
        return value;
    }

    // Whatever has not been taken yet.
    [[nodiscard]] std::span<const std::uint8_t> rest() const { return data_; }

private:
    std::span<const std::uint8_t> data_;
};

// Separates the files of a multi-file input. Eight bytes that no generated file holds.
inline constexpr std::string_view file_separator = "\xF5\x1E\x5E\x9A\x11\xC0\xDE\xFE";

// Splits data at every file_separator into parts (as many as there are separators + 1).
inline std::vector<std::span<const std::uint8_t>> split_files(std::span<const std::uint8_t> data) {
    std::vector<std::span<const std::uint8_t>> parts;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(file_separator, start);
        if (at == std::string_view::npos) break;
        parts.push_back(data.subspan(start, at - start));
        start = at + file_separator.size();
    }
    parts.push_back(data.subspan(start));
    return parts;
}

// Joins files into one input; the inverse of split_files.
inline std::vector<std::uint8_t> join_files(const std::vector<std::vector<std::uint8_t>>& files) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i > 0) out.insert(out.end(), file_separator.begin(), file_separator.end());
        out.insert(out.end(), files[i].begin(), files[i].end());
    }
    return out;
}

// A broken invariant of the code under test: report it and abort, so the fuzzer keeps
// the input as a crash.
[[noreturn]] inline void invariant_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

}  // namespace corvane::fuzz

#define FUZZ_CHECK(cond) \
    ((cond) ? static_cast<void>(0) : ::corvane::fuzz::invariant_failed(#cond, __FILE__, __LINE__))
