// The one pool behind everything corvane computes on several threads in run order: the
// analysis calls, the mzML writer's spectra and the report's pass. Results 0 .. n-1 are
// made on worker threads and handed to one owner thread strictly in order of k, so what
// the owner builds never depends on the thread count.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {

// make(k, worker, out) computes result k into out, a slot of the pool that may still hold
// an earlier result (so buffers inside it can be reused). worker, below
// OrderedPool::worker_count(n, threads), tells which worker calls: no two calls with the
// same worker run at once, so per-worker state indexed by it needs no lock.
//
// A worker takes the next k from a shared counter, but only while k lies within a window
// of slots the owner has not given back yet, so at most window_per_worker x workers
// results exist at any time whatever n is. With one thread, or when no worker thread can
// be started, next() makes each result itself, on the owner's thread.
//
// Failure: what make throws (on any thread) ends the pool at that k: every result before
// it is still handed out, then next() rethrows it once and gives nothing after, whatever
// the thread count. Workers stop taking new k as soon as one fails.
//
// Cancel: cancel() may be called from any thread at any time, also while the owner waits
// in next(): next() then returns nothing, at once and ever after, and the workers finish
// the result they are making and exit. The destructor cancels and joins every worker.
// Groups: when given, group(k) is the end of the run of results that belong with k (the
// first k' > k that does not), and a worker takes the whole run k .. group(k) - 1 at once,
// once all of it fits in the window (a run longer than the window is cut to it), making
// them in order. Results that share work (fragment
// scans reading the MS1 scan before them) then stay on one worker instead of each waiting
// for another's.
template <class T>
class OrderedPool {
public:
    using Make = std::function<void(std::size_t k, std::size_t worker, T& out)>;
    using Group = std::function<std::size_t(std::size_t k)>;

    // Results waiting per worker. Enough to keep every worker busy while one slow item
    // holds up delivery, and small enough that a run of any size keeps at most a few
    // profile scans (or encoded spectra) per thread in memory.
    static constexpr std::size_t window_per_worker = 4;

    // The workers a pool of n results on `threads` threads has: 0 when the owner makes
    // every result itself. Per-worker state needs max(1, worker_count) entries.
    [[nodiscard]] static std::size_t worker_count(std::size_t n, unsigned threads) {
        const std::size_t workers = std::min<std::size_t>(threads, n);
        return workers <= 1 ? 0 : workers;
    }

    // Starts the workers. before_start, when given, runs before each thread is started;
    // what it throws counts as that thread failing to start (a seam for tests). A thread
    // that cannot start leaves fewer workers doing the same work; start_failure() tells.
    OrderedPool(std::size_t n, unsigned threads, Make make, const std::function<void()>& before_start = {},
                Group group = {})
        : n_(n), limit_(n), make_(std::move(make)), group_(std::move(group)) {
        const std::size_t workers = worker_count(n, threads);
        if (workers == 0) {
            slots_.resize(1);
            return;
        }
        slots_.resize(window_per_worker * workers);
        pool_.reserve(workers);
        for (std::size_t w = 0; w < workers; ++w) {
            try {
                if (before_start) before_start();
                pool_.emplace_back([this, w] { work(w); });
            } catch (...) {
                start_failure_ = std::current_exception();
                break;  // fewer workers do the same work
            }
        }
        if (pool_.empty()) slots_.resize(1);
    }
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;
    ~OrderedPool() {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        space_.notify_all();
        join();
    }

    // The next result, in order of k, or nullptr after the last, after cancel(), or after
    // a failure was rethrown. The result stays valid, and the owner may move from it,
    // until the next call to next() or the pool's end. Only the owner calls this.
    [[nodiscard]] T* next() {
        if (done_) return nullptr;
        if (pool_.empty()) return next_inline();
        std::unique_lock lock(mutex_);
        if (holding_) {
            // The slot handed out last is free again: the window moves on.
            slots_[(taken_ - 1) % slots_.size()].ready = false;
            ++base_;
            holding_ = false;
            if (workers_waiting_ > 0) space_.notify_one();
        }
        if (!cancelled_ && taken_ < limit_ && !slots_[taken_ % slots_.size()].ready) {
            // Wait for a run of results, not for each one: a wake-up per item costs more
            // than making a small one.
            // Only results a worker has taken: one waiting for its group to fit in the
            // window waits for the owner, who must not wait for it.
            const std::size_t upto = std::min({taken_ + slots_.size() / 2, n_, next_});
            wanted_ = upto > taken_ ? upto - 1 : taken_;
            owner_waiting_ = true;
            ready_.wait(lock, [&] { return cancelled_ || taken_ >= limit_ || run_ready(); });
            owner_waiting_ = false;
        }
        if (cancelled_ || taken_ >= limit_) {
            done_ = true;
            std::exception_ptr error = cancelled_ ? nullptr : std::exchange(error_, nullptr);
            lock.unlock();
            if (!error) return nullptr;
            join();  // no worker is still running make when the caller unwinds
            std::rethrow_exception(error);
        }
        holding_ = true;
        return &slots_[taken_++ % slots_.size()].value;
    }

    // Stops the pool from any thread (see above). Safe to call more than once.
    void cancel() {
        {
            const std::lock_guard lock(mutex_);
            cancelled_ = true;
            cancel_seen_.store(true, std::memory_order_relaxed);
        }
        ready_.notify_all();
        space_.notify_all();
    }

    // What starting a worker thread threw, or nullptr when every worker started.
    [[nodiscard]] std::exception_ptr start_failure() const { return start_failure_; }

    // The workers running (0: the owner makes every result).
    [[nodiscard]] std::size_t workers() const { return pool_.size(); }

private:
    struct Slot {
        T value{};
        bool ready = false;
    };

    T* next_inline() {
        if (cancel_seen_.load(std::memory_order_relaxed) || taken_ == n_) {
            done_ = true;
            return nullptr;
        }
        try {
            make_(taken_, 0, slots_[0].value);
        } catch (...) {
            done_ = true;
            throw;
        }
        ++taken_;
        return &slots_[0].value;
    }

    // Under the lock: every result the waiting owner wants (taken_ .. wanted_, short of a
    // failure) is in.
    bool run_ready() const {
        const std::size_t last = std::min(wanted_ + 1, limit_);
        for (std::size_t j = taken_; j < last; ++j) {
            if (!slots_[j % slots_.size()].ready) return false;
        }
        return true;
    }

    void work(std::size_t worker) {
        const std::size_t window = slots_.size();
        std::unique_lock lock(mutex_);
        for (;;) {
            ++workers_waiting_;
            space_.wait(lock, [&] { return closing_ || cancelled_ || next_ >= limit_ || group_end(window) <= base_ + window; });
            --workers_waiting_;
            if (closing_ || cancelled_ || next_ >= limit_) return;
            const std::size_t first = next_;
            const std::size_t end = std::min(group_end(window), limit_);
            next_ = end;
            // Room for the next group too: another waiting worker may take it.
            if (workers_waiting_ > 0 && next_ < limit_ && group_end(window) <= base_ + window) space_.notify_one();
            for (std::size_t k = first; k < end; ++k) {
                if (cancelled_ || closing_ || k >= limit_) return;
                Slot& slot = slots_[k % window];
                lock.unlock();
                // The slot of k is free: the result k - window it held has been given back,
                // or k would not be inside the window; the owner reads it only once ready.
                std::exception_ptr failure;
                try {
                    make_(k, worker, slot.value);
                } catch (...) {
                    failure = std::current_exception();
                }
                lock.lock();
                if (failure) {
                    // The earliest failing k wins; results before it are still handed out.
                    if (k < limit_) {
                        limit_ = k;
                        error_ = std::move(failure);
                    }
                    space_.notify_all();
                    if (owner_waiting_) ready_.notify_one();
                    return;
                }
                slot.ready = true;
                if (owner_waiting_ && run_ready()) ready_.notify_one();
            }
        }
    }

    // Under the lock: the end of the group that starts at next_. A group waits until all of
    // it fits in the window; one longer than the window is cut to it.
    std::size_t group_end(std::size_t window) const {
        if (!group_) return next_ + 1;
        return std::clamp(group_(next_), next_ + 1, next_ + window);
    }

    void join() {
        for (auto& t : pool_) {
            if (t.joinable()) t.join();
        }
    }

    const std::size_t n_;
    std::size_t limit_;  // n_, or the first k whose make failed
    const Make make_;
    const Group group_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable ready_;  // the owner waits for a run of results
    std::condition_variable space_;  // workers wait for the window to move on
    // The owner's: results handed out, whether it still holds the last one, whether the
    // pool has ended for it. taken_ is written under the lock while workers run.
    std::size_t taken_ = 0;
    bool holding_ = false;
    bool done_ = false;
    std::size_t base_ = 0;   // the first k whose slot is not free
    std::size_t next_ = 0;   // the next k a worker takes
    bool cancelled_ = false;
    bool closing_ = false;
    std::atomic<bool> cancel_seen_{false};  // cancelled_, for the owner making results alone
    std::exception_ptr error_;
    std::exception_ptr start_failure_;
    // Who sleeps: nobody is signalled who is not waiting.
    bool owner_waiting_ = false;
    std::size_t wanted_ = 0;
    std::size_t workers_waiting_ = 0;
    std::vector<std::thread> pool_;  // last: started once everything they use exists
};

// Calls take(k, result k) for k = 0 .. n-1 in order on the calling thread, the results
// made by make(k) ahead on up to `threads` threads (see OrderedPool). Stops at the first
// of: take returning false, take throwing, make throwing on any thread; every worker is
// joined before this returns or throws, and make's exception is rethrown here after the
// results before it were taken.
// group, when given, keeps runs of results on one worker (OrderedPool).
template <class T, class Make, class Take>
void for_each_ordered(std::size_t n, unsigned threads, const Make& make, const Take& take,
                      typename OrderedPool<T>::Group group = {}) {
    OrderedPool<T> pool(n, threads, [&make](std::size_t k, std::size_t, T& out) { out = T(make(k)); }, {},
                        std::move(group));
    for (std::size_t k = 0; T* result = pool.next(); ++k) {
        if (!take(k, std::move(*result))) return;
    }
}

}  // namespace corvane
