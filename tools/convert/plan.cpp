#include "plan.hpp"

#include <filesystem>
#include <system_error>

namespace corvane::convert {

namespace fs = std::filesystem;

using output::resolved;

Outcome<std::vector<Job>> plan_jobs(const std::vector<std::string>& inputs,
                                    const std::optional<std::string>& output, output::Format format) {
    std::vector<Job> jobs;
    std::optional<fs::path> folder;
    if (output) {
        std::error_code ec;
        if (output->ends_with('/') || fs::is_directory(*output, ec)) {
            folder = fs::path(*output);
        } else if (inputs.size() > 1) {
            return std::unexpected(Failure{*output + ": not a folder; several inputs need an output folder "
                                                   "(an existing one, or a path ending in / to make one)"});
        }
    }
    for (const auto& input : inputs) {
        if (output && !folder) {
            jobs.push_back(Job{input, *output});
            continue;
        }
        auto name = output::file_name(input, format);
        if (!name) return std::unexpected(Failure{name.error().message + "; give one with -o"});
        jobs.push_back(Job{input, ((folder ? *folder : output::beside(input)) / *name).string()});
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (resolved(jobs[i].output) == resolved(jobs[j].output)) {
                return std::unexpected(Failure{jobs[j].input + " and " + jobs[i].input + " would both write " +
                                               jobs[i].output});
            }
        }
    }
    return jobs;
}

}  // namespace corvane::convert
