// The ordered pool: delivery in order with a bounded window, early stop, failures on
// either side reaching the caller with every worker joined, cancelling from another
// thread, threads that cannot start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ordered.hpp"

namespace corvane {
namespace {

constexpr unsigned thread_counts[] = {1, 2, 3, 8};

TEST(OrderedPool, StopsAndFailsCleanly) {
    enum class Ends { Normally, TakeStops, TakeThrows, MakeThrows };
    const struct {
        const char* name;
        std::size_t n;
        Ends ends;
        std::size_t taken;  // calls of take that return
    } rows[] = {
        {"no work", 0, Ends::Normally, 0},
        {"one item", 1, Ends::Normally, 1},
        {"many items", 500, Ends::Normally, 500},
        {"take stops at 5", 500, Ends::TakeStops, 6},
        {"take stops at the first", 1, Ends::TakeStops, 1},
        {"take throws at 5", 500, Ends::TakeThrows, 5},
        {"make throws at 7", 500, Ends::MakeThrows, 7},
        {"make throws at the first", 500, Ends::MakeThrows, 0},
    };
    for (const auto& row : rows) {
        for (const unsigned threads : thread_counts) {
            SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
            const std::size_t stop_at = row.ends == Ends::TakeStops ? std::min<std::size_t>(5, row.n - 1) : 5;
            const std::size_t fail_at = row.taken;
            std::atomic<std::size_t> taken{0};
            std::atomic<bool> outside_window{false};
            const std::size_t window = OrderedPool<int>::window_per_worker * std::max(1u, threads);
            auto make = [&](std::size_t k) -> std::uint64_t {
                // Later items can finish first: the take side must still see them in order.
                if (k % 3 == 0) std::this_thread::yield();
                if (k > taken.load() + window) outside_window = true;
                if (row.ends == Ends::MakeThrows && k == fail_at) throw std::bad_alloc();
                return k * k + 1;
            };
            std::size_t expected_k = 0;
            auto take = [&](std::size_t k, std::uint64_t v) {
                EXPECT_EQ(k, expected_k++);
                EXPECT_EQ(v, k * k + 1);
                if (row.ends == Ends::TakeThrows && k == stop_at) throw std::runtime_error("take");
                taken = k + 1;
                return !(row.ends == Ends::TakeStops && k == stop_at);
            };
            bool threw = false;
            try {
                for_each_ordered<std::uint64_t>(row.n, threads, make, take);
            } catch (const std::bad_alloc&) {
                threw = row.ends == Ends::MakeThrows;
            } catch (const std::runtime_error&) {
                threw = row.ends == Ends::TakeThrows;
            }
            EXPECT_EQ(threw, row.ends == Ends::TakeThrows || row.ends == Ends::MakeThrows);
            EXPECT_FALSE(outside_window.load());
            // Every result before a failure of make is taken, at every thread count.
            EXPECT_EQ(taken.load(), row.taken);
        }
    }
}

// Runs of results that share work go to one worker whole, made in order, and delivery
// stays in order; a failure inside a run still ends the pool at that result.
TEST(OrderedPool, GroupsStayOnOneWorker) {
    for (const unsigned threads : thread_counts) {
        for (const std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{20}}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", groups of " + std::to_string(size));
            const std::size_t n = 100;
            std::vector<std::size_t> worker_of(n), order_on_worker(n);
            std::vector<std::size_t> made_by_worker(std::max<std::size_t>(1, threads));
            std::mutex m;
            OrderedPool<std::size_t> pool(
                n, threads,
                [&](std::size_t k, std::size_t worker, std::size_t& out) {
                    const std::lock_guard lock(m);
                    worker_of[k] = worker;
                    order_on_worker[k] = made_by_worker[worker]++;
                    out = k * k;
                },
                {}, [size](std::size_t k) { return (k / size + 1) * size; });
            std::size_t k = 0;
            while (const std::size_t* v = pool.next()) {
                EXPECT_EQ(*v, k * k);
                ++k;
            }
            EXPECT_EQ(k, n);
            const std::size_t window = OrderedPool<std::size_t>::window_per_worker * std::max<std::size_t>(1, pool.workers());
            for (std::size_t j = 0; j < n; ++j) {
                if (j % size == 0 || size > window) continue;
                EXPECT_EQ(worker_of[j], worker_of[j - 1]) << j;
                EXPECT_EQ(order_on_worker[j], order_on_worker[j - 1] + 1) << j;
            }
        }
    }
    for (const unsigned threads : thread_counts) {
        std::vector<std::size_t> got;
        EXPECT_THROW(for_each_ordered<std::size_t>(
                         50, threads,
                         [](std::size_t k) {
                             if (k == 7) throw std::runtime_error("seven");
                             return k;
                         },
                         [&](std::size_t, std::size_t v) {
                             got.push_back(v);
                             return true;
                         },
                         [](std::size_t k) { return (k / 4 + 1) * 4; }),
                     std::runtime_error);
        EXPECT_EQ(got, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6})) << threads;
    }
}

TEST(OrderedPool, GivesNothingAfterAFailure) {
    // The failure is rethrown once; the results after it never come, whether the owner
    // makes them itself (one thread) or workers do.
    for (const unsigned threads : thread_counts) {
        SCOPED_TRACE(threads);
        OrderedPool<int> pool(20, threads, [](std::size_t k, std::size_t, int& out) {
            if (k == 3) throw std::runtime_error("three");
            out = static_cast<int>(k);
        });
        for (int k = 0; k < 3; ++k) {
            const int* v = pool.next();
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(*v, k);
        }
        EXPECT_THROW((void)pool.next(), std::runtime_error);
        EXPECT_EQ(pool.next(), nullptr);
        EXPECT_EQ(pool.next(), nullptr);
    }
}

TEST(OrderedPool, CancelWakesTheWaitingOwner) {
    // The owner waits in next() for a result that a worker cannot finish until the test
    // lets it; cancel() from this thread must end that wait with nothing.
    for (const unsigned threads : {2U, 3U}) {
        SCOPED_TRACE(threads);
        std::mutex mutex;
        std::condition_variable changed;
        bool release = false;
        OrderedPool<int> pool(100, threads, [&](std::size_t k, std::size_t, int& out) {
            if (k == 0) {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return release; });
            }
            out = static_cast<int>(k);
        });
        const int unset = -1;
        const int* got = &unset;
        std::thread owner([&] { got = pool.next(); });
        pool.cancel();
        owner.join();
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(pool.next(), nullptr);
        {
            const std::lock_guard lock(mutex);
            release = true;
        }
        changed.notify_all();
    }
}

TEST(OrderedPool, CancelStopsTheOwnerWorkingAlone) {
    OrderedPool<int> pool(10, 1, [](std::size_t k, std::size_t worker, int& out) {
        EXPECT_EQ(worker, 0u);
        out = static_cast<int>(k);
    });
    ASSERT_NE(pool.next(), nullptr);
    pool.cancel();
    EXPECT_EQ(pool.next(), nullptr);
}

TEST(OrderedPool, ThreadsThatCannotStart) {
    // Refusing the n-th thread leaves the ones before it; refusing the first leaves the
    // owner alone. Either way every result comes, in order, and the failure is told.
    for (const int refused : {1, 2, 3}) {
        SCOPED_TRACE(refused);
        int starts = 0;
        std::vector<std::atomic<int>> per_worker(3);
        OrderedPool<std::size_t> pool(
            50, 3,
            [&](std::size_t k, std::size_t worker, std::size_t& out) {
                ++per_worker.at(worker);
                out = k;
            },
            [&] {
                if (++starts == refused) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            });
        EXPECT_EQ(pool.workers(), static_cast<std::size_t>(refused - 1));
        EXPECT_NE(pool.start_failure(), nullptr);
        std::size_t k = 0;
        for (const std::size_t* v = pool.next(); v != nullptr; v = pool.next()) EXPECT_EQ(*v, k++);
        EXPECT_EQ(k, 50u);
    }
}

}  // namespace
}  // namespace corvane
