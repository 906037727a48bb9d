// Where each input's mzML file goes: the command line's naming rules.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "export/convert.hpp"

namespace corvane::convert {

using mzml::Failure;
using mzml::Job;
using mzml::Outcome;

// The output of every input: beside the input with its name less a ".d" ending plus
// ".mzML" by default; with `output`, that file for a single input, or that folder (an
// existing one, or any path ending in "/") for one or more. Failures (nothing converted):
// several inputs with an output that is not an existing folder, two inputs that would
// write the same file, an input that names no folder component.
[[nodiscard]] Outcome<std::vector<Job>> plan_jobs(const std::vector<std::string>& inputs,
                                                  const std::optional<std::string>& output);

}  // namespace corvane::convert
