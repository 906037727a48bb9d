#include "thread.hpp"

#include <atomic>
#include <new>

namespace corvane::mzml {

namespace detail {
namespace {

std::atomic<FaultHook> fault_hook{nullptr};

}  // namespace

FaultHook set_fault_hook(FaultHook hook) { return fault_hook.exchange(hook); }

void fault_point(FaultSite site) {
    if (const FaultHook hook = fault_hook.load(std::memory_order_relaxed)) hook(site);
}

}  // namespace detail

std::string exception_text(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

unsigned machine_cores() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace corvane::mzml
