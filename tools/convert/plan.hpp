// Where each input's mzML file goes: the command line's naming rules.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "export/convert.hpp"

namespace corvane::convert {

// The output of every input: beside the input, named by the output layer's rule (its name
// less a ".d" or ".D" ending plus the format's ending: run.d -> run.mzML) by default; with `output`, that file for a single input, or that folder (an
// existing one, or any path ending in "/", which the tool makes when missing) for one or more. Failures (nothing converted):
// several inputs with an output that is not an existing folder, two inputs that would
// write the same file, an input that names no folder component.
[[nodiscard]] Outcome<std::vector<Job>> plan_jobs(const std::vector<std::string>& inputs,
                                                  const std::optional<std::string>& output,
                                                  output::Format format = output::Format::mzml);

}  // namespace corvane::convert
