#include "export/convert.hpp"

#include <utility>

#include "sys.hpp"

namespace corvane::convert {

std::optional<std::string> usage_problem(const ConvertOptions& options, const Spelling& spelling) {
    if (options.format == output::Format::mgf && !options.processing.precursor_mz) {
        return std::string(spelling.format) + " needs " + std::string(spelling.declare) +
               ": the scan index does not say which member holds the precursor m/z; " +
               std::string(spelling.evidence) + " shows which one matches the MS1 data";
    }
    return std::nullopt;
}

std::unique_ptr<output::FormatWriter> make_writer(const ConvertOptions& options) {
    switch (options.format) {
        case output::Format::mzml:
            return mzml::make_writer(options.write, options.processing, options.selection);
        case output::Format::mgf:
            return mgf::make_writer({.strict = options.write.strict, .threads = options.write.threads},
                                    options.processing, options.selection);
    }
    return nullptr;
}

Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options, Progress& progress,
                                const std::atomic<bool>& stop) {
    auto reader = Reader::open(job.input, options.open);
    if (!reader) {
        const auto where = describe_unopenable(job.input);
        return std::unexpected(
            Failure{job.input + ": cannot open as an acquisition: " + where.value_or(reader.error().display())});
    }
    auto written = write_file(*reader, job.output, options, progress, stop);
    if (written) written->salvaged = reader->salvaged();
    return written;
}

Outcome<WriteStats> write_file(const Reader& reader, const std::string& output, const ConvertOptions& options,
                               Progress& progress, const std::atomic<bool>& stop) {
    if (auto problem = usage_problem(options)) return std::unexpected(Failure{std::move(*problem), 0, {}, true});
    const auto writer = make_writer(options);
    return output::write_run(reader, *writer, output::Target{output, reader.root(), options.force}, progress, stop);
}

}  // namespace corvane::convert
