// Writing the page through the output layer: its file rules (temporary file beside the
// target, fsync, rename, never into the acquisition) with replacing asked for, since a
// page written again for the same run is meant to take the old one's place.
#include <cerrno>
#include <string>

#include "export/output.hpp"
#include "report.hpp"

namespace corvane::report {

Result<void> write_file(const std::string& acquisition, const std::string& path, std::string_view text) {
    auto written = output::write_text(output::Target{path, acquisition, true}, text);
    if (written) return {};
    const output::Failure& failure = written.error();
    // A target inside the acquisition is not the system's refusal but the layer's; it
    // is reported as the one errno that says "not permitted".
    if (failure.refused) return io_error(EPERM);
    return io_error(failure.os_error != 0 ? failure.os_error : EIO);
}

}  // namespace corvane::report
