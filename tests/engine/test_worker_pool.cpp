// The worker pool's contract: every item exactly once, pieces in index order,
// faults carried to the caller after the other items ran, several submitters
// at once, and a forked child that gets a pool of its own.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "worker_pool.hpp"

TEST(pool_runs_every_item_exactly_once) {
    for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 4099u}) {
        std::vector<int> runs(n, 0);
        worker_pool::parallel_for(n, [&](std::size_t i) { ++runs[i]; });
        for (std::size_t i = 0; i < n; ++i) CHECK_EQ(runs[i], 1);
    }
}

TEST(pool_runs_the_items_of_each_thread_in_index_order) {
    // Pieces are contiguous and taken in order, and a piece runs its items in
    // order, so every thread meets its items in increasing index order.
    constexpr std::size_t n = 5000;
    std::vector<std::thread::id> runner(n);
    std::vector<std::uint64_t> sequence(n);
    worker_pool::parallel_for(n, [&](std::size_t i) {
        thread_local std::uint64_t items_run_here = 0;
        runner[i] = std::this_thread::get_id();
        sequence[i] = items_run_here++;
    });
    std::map<std::thread::id, std::uint64_t> next_at_least;
    for (std::size_t i = 0; i < n; ++i) {
        CHECK(runner[i] != std::this_thread::get_id());  // the caller runs none
        const auto entry = next_at_least.try_emplace(runner[i], 0).first;
        CHECK(sequence[i] >= entry->second);
        entry->second = sequence[i] + 1;
    }
}

TEST(pool_runs_a_slow_last_piece_to_its_end_before_returning) {
    // The caller watches for the end of its job for a while, then blocks: it
    // must wait for a last piece that ends within its watch and for one that
    // ends long after it. Every item takes a while, so that each worker gets
    // pieces of its own and one of them runs out early.
    for (const auto slow : {std::chrono::microseconds(1000), std::chrono::microseconds(20000)}) {
        for (int round = 0; round < 5; ++round) {
            constexpr std::size_t n = 32;
            std::vector<std::atomic<bool>> ran(n);
            worker_pool::parallel_for(n, [&](std::size_t i) {
                std::this_thread::sleep_for(i == n - 1 ? slow : std::chrono::microseconds(100));
                ran[i].store(true, std::memory_order_relaxed);
            });
            for (std::size_t i = 0; i < n; ++i) CHECK(ran[i].load(std::memory_order_relaxed));
        }
    }
}

struct ItemFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(pool_carries_a_fault_to_the_caller_after_every_other_item_ran) {
    struct Case {
        std::size_t n;
        std::vector<std::size_t> failing;
    };
    const Case cases[] = {{1, {0}}, {10, {0}}, {10, {9}}, {100, {3, 50, 99}}, {1000, {1, 2, 3, 998}}};
    for (const Case& c : cases) {
        std::vector<int> runs(c.n, 0);
        std::string caught;
        try {
            worker_pool::parallel_for(c.n, [&](std::size_t i) {
                ++runs[i];
                for (std::size_t bad : c.failing) {
                    if (i == bad) throw ItemFault("item " + std::to_string(i));
                }
            });
        } catch (const ItemFault& fault) {
            caught = fault.what();
        }
        bool names_a_failing_item = false;
        for (std::size_t bad : c.failing) names_a_failing_item |= caught == "item " + std::to_string(bad);
        CHECK(names_a_failing_item);
        for (std::size_t i = 0; i < c.n; ++i) CHECK_EQ(runs[i], 1);
    }
    // The pool is still usable afterwards.
    int total = 0;
    std::vector<int> ones(50, 1);
    worker_pool::parallel_for(ones.size(), [&](std::size_t i) { ones[i] += 1; });
    for (int v : ones) total += v;
    CHECK_EQ(total, 100);
}

TEST(pool_serves_several_submitters_at_once) {
    constexpr int submitters = 4;
    constexpr int rounds = 200;
    std::vector<std::vector<std::uint64_t>> sums(submitters, std::vector<std::uint64_t>(97, 0));
    std::vector<std::thread> threads;
    for (int s = 0; s < submitters; ++s) {
        threads.emplace_back([&sums, s] {
            for (int r = 0; r < rounds; ++r) {
                worker_pool::parallel_for(sums[s].size(), [&](std::size_t i) { sums[s][i] += i + 1; });
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const auto& per_item : sums) {
        for (std::size_t i = 0; i < per_item.size(); ++i) CHECK_EQ(per_item[i], std::uint64_t(rounds) * (i + 1));
    }
}

// Runs parallel_for in a forked child, optionally while another thread of the
// parent keeps a job on the pool. The child reports through its exit code;
// an alarm ends it if it hangs.
int child_exit_code(bool parent_busy) {
    worker_pool::parallel_for(8, [](std::size_t) {});  // the pool is running
    std::atomic<bool> stop = false;
    std::thread busy;
    if (parent_busy) {
        busy = std::thread([&stop] {
            while (!stop) worker_pool::parallel_for(64, [](std::size_t) { std::this_thread::yield(); });
        });
    }
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        std::vector<int> runs(300, 0);
        worker_pool::parallel_for(runs.size(), [&](std::size_t i) { runs[i] += 1; });
        int total = 0;
        for (int v : runs) total += v;
        _exit(total == 300 ? 0 : 1);
    }
    stop = true;
    if (busy.joinable()) busy.join();
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

TEST(pool_works_in_a_forked_child) {
    for (const bool parent_busy : {false, true}) CHECK_EQ(child_exit_code(parent_busy), 0);
}
