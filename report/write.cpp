// Writing the page through the output layer: its file rules (temporary file beside the
// target, fsync, rename, never into the acquisition) with replacing asked for, since a
// page written again for the same run is meant to take the old one's place.
#include <string>

#include "export/output.hpp"
#include "report.hpp"

namespace corvane::report {

output::Outcome<void> write_file(const std::string& acquisition, const std::string& path, std::string_view text) {
    return output::write_text(output::Target{path, acquisition, true}, text);
}

}  // namespace corvane::report
