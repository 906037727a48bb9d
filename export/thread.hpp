// The writer's threads, and the converter's: one abstraction, Workers, that starts
// threads without risking the process, catches what a body throws, and joins them all;
// the text of a failure caught inside one; the sites where tests make either fail.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "export/format.hpp"

namespace corvane::mzml {

using output::Failure;
using output::Outcome;

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

// The machine's cores (at least 1).
[[nodiscard]] unsigned machine_cores();

// A set of threads, joined together when the set is joined or destroyed. A body that
// throws ends its own thread only; the first such exception is kept for failure(). Use
// one set per group of threads that share the same lifetime; a set is not itself safe to
// start threads on from several threads at once.
class Workers {
public:
    Workers() = default;
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() { join(); }

    // Starts body on a new thread, or fails with "cannot start a thread: <reason>" (the
    // system's text, e.g. "Resource temporarily unavailable"); threads started before
    // keep running.
    template <class Body>
    [[nodiscard]] Outcome<void> start(Body body) {
        try {
            threads_.reserve(threads_.size() + 1);  // a throwing push_back after the start would end the process
            detail::fault_point(detail::FaultSite::thread_start);
            threads_.emplace_back([this, body = std::move(body)]() mutable {
                try {
                    body();
                } catch (...) {
                    const std::lock_guard lock(mutex_);
                    if (!thrown_) thrown_ = std::current_exception();
                }
            });
            return {};
        } catch (...) {
            return std::unexpected(Failure{"cannot start a thread: " + exception_text(std::current_exception())});
        }
    }

    // Waits for every thread started so far.
    void join() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
        threads_.clear();
    }

    [[nodiscard]] std::size_t size() const { return threads_.size(); }

    // What the first body to throw threw, as text; call after join().
    [[nodiscard]] std::optional<std::string> failure() const {
        const std::lock_guard lock(mutex_);
        if (!thrown_) return std::nullopt;
        return exception_text(thrown_);
    }

private:
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::exception_ptr thrown_;
};

}  // namespace corvane::mzml
