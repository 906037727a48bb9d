#include "export/convert.hpp"

#include <utility>

#include "sys.hpp"

namespace corvane::convert {

std::unique_ptr<output::FormatWriter> make_writer(const ConvertOptions& options) {
    switch (options.format) {
        case output::Format::mzml:
            return mzml::make_writer(options.write);
    }
    return nullptr;
}

Outcome<WriteStats> convert_one(const Job& job, const ConvertOptions& options, Progress& progress,
                                const std::atomic<bool>& stop) {
    auto reader = Reader::open(job.input);
    if (!reader) {
        return std::unexpected(Failure{job.input + ": cannot open as an acquisition: " + reader.error().display()});
    }
    return write_file(*reader, job.output, options, progress, stop);
}

Outcome<WriteStats> write_file(const Reader& reader, const std::string& output, const ConvertOptions& options,
                               Progress& progress, const std::atomic<bool>& stop) {
    const auto writer = make_writer(options);
    return output::write_run(reader, *writer, output::Target{output, reader.root(), options.force}, progress, stop);
}

}  // namespace corvane::convert
