// The converter's threads: starting one without risking the process, the text of a
// failure caught inside one, and the sites where tests make either fail.
#pragma once

#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "mzml.hpp"

namespace corvane::mzml {

namespace detail {

// Where a test can inject a failure: a thread start, the growth of a compression
// buffer, and the write and hash steps of each output buffer.
enum class FaultSite { thread_start, compress_buffer, write_step, hash_step };

// Called at every fault site while set; a hook that throws acts as that step failing
// (std::system_error for a thread start, std::bad_alloc for the others). nullptr
// removes it. Returns the previous hook. Swap only while no converter thread runs.
using FaultHook = void (*)(FaultSite site);
FaultHook set_fault_hook(FaultHook hook);

// Calls the hook, if one is set. The sites are rare (per thread, per buffer), never
// per spectrum or per point.
void fault_point(FaultSite site);

}  // namespace detail

// The text of a caught failure: "out of memory" for std::bad_alloc, what() for another
// std::exception, "unknown failure" for anything else.
[[nodiscard]] std::string exception_text(const std::exception_ptr& failure);

// Starts body on a new thread, or fails with "cannot start a thread: <reason>" (the
// system's text, e.g. "Resource temporarily unavailable").
template <class Body>
[[nodiscard]] Outcome<std::thread> start_thread(Body&& body) {
    try {
        detail::fault_point(detail::FaultSite::thread_start);
        return std::thread(std::forward<Body>(body));
    } catch (...) {
        return std::unexpected(Failure{"cannot start a thread: " + exception_text(std::current_exception())});
    }
}

}  // namespace corvane::mzml
