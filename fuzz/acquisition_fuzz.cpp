// A whole acquisition assembled from fuzzed files, opened and drained. The input holds
// MSScan.bin, MSPeak.bin, MSProfile.bin, Devices.xml and Contents.xml in this order,
// separated by file_separator; a file whose part is missing is not written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "fuzz_input.hpp"
#include "reader.hpp"

namespace {

constexpr std::array<const char*, 5> file_names = {"MSScan.bin", "MSPeak.bin", "MSProfile.bin",
                                                   "Devices.xml", "Contents.xml"};

// One acquisition folder per process, rewritten for every input.
const std::string& acquisition_dir() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/corvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        if (::mkdir((pattern + "/AcqData").c_str(), 0700) != 0) std::abort();
        return pattern;
    }();
    return dir;
}

void write_or_remove(const std::string& path, const std::span<const std::uint8_t>* part) {
    ::unlink(path.c_str());
    if (part == nullptr) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    std::size_t done = 0;
    while (done < part->size()) {
        const ssize_t n = ::write(fd, part->data() + done, part->size() - done);
        if (n <= 0) std::abort();
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = corvane::fuzz::split_files({data, size});
    const std::string& dir = acquisition_dir();
    for (std::size_t i = 0; i < file_names.size(); ++i) {
        write_or_remove(dir + "/AcqData/" + file_names[i], i < parts.size() ? &parts[i] : nullptr);
    }

    auto reader = corvane::Reader::open(dir);
    if (!reader) return 0;
    const std::size_t scans = reader->scans().records.size();
    auto it = reader->iter_spectra();
    std::size_t count = 0;
    while (auto record = it->next()) {
        FUZZ_CHECK(record->index == count);
        FUZZ_CHECK(record->mz.size() == record->intensity.size());
        FUZZ_CHECK(record->precursor.has_value() == (record->ms_level >= 2));
        ++count;
    }
    FUZZ_CHECK(count == scans);
    FUZZ_CHECK(!it->next());
    return 0;
}
