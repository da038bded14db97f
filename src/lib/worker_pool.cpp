#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace worker_pool {

namespace {

// The largest pool we start, whatever the environment asks for: beyond this
// a request is surely a mistake, and honouring it would only exhaust the
// process's thread and memory limits.
constexpr std::size_t MAX_THREADS = 1024;

// Reads a count the way the pool's environment variables are read: an
// unsigned decimal with at most one leading '+', nothing else. Returns false
// for anything else (absent, empty, a sign '-', spaces, a value beyond 64 bits).
bool parse_count(const char* text, std::size_t& out) {
    if (text == nullptr) return false;
    if (*text == '+') ++text;
    if (*text == '\0') return false;
    std::uint64_t value = 0;
    constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                          : static_cast<std::size_t>(value);
    return true;
}

// The pool size for these variable values (null = unset): num_threads > 0
// wins; num_threads = 0 means the default; an unparsable num_threads defers
// to rs_num_cpus > 0; anything else is the default. Capped at MAX_THREADS.
std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus, std::size_t default_size) {
    std::size_t requested = 0;
    if (parse_count(num_threads, requested)) {
        if (requested == 0) requested = default_size;
    } else if (!parse_count(rs_num_cpus, requested) || requested == 0) {
        requested = default_size;
    }
    return std::clamp<std::size_t>(requested, 1, MAX_THREADS);
}

// Logical processors this process may run on, or 1 if that is unknown.
std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

// One parallel operation. It lives on the submitting thread's stack, so a
// submission allocates nothing; the pool only links it into its queue.
struct Job {
    ChunkFn fn = nullptr;
    void* context = nullptr;
    std::size_t n = 0;
    std::size_t n_chunks = 0;
    std::size_t next_chunk = 0;  // the first piece no thread has taken yet
    std::size_t chunks_done = 0;
    std::exception_ptr fault;
    Job* next_pending = nullptr;
    bool submitter_asleep = false;  // the submitter stopped spinning and waits on job_finished
    // Set under the pool's lock by the thread that finishes the last piece;
    // read without the lock by the submitter while it spins.
    std::atomic<bool> finished{false};
};

// Piece c of n items split into k pieces whose sizes differ by at most one.
// Written without c * n, which could overflow for huge n.
std::size_t piece_begin(std::size_t c, std::size_t n, std::size_t k) { return c * (n / k) + std::min(c, n % k); }

struct Pool {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable job_finished;
    // Jobs that still have untaken pieces, oldest first: threads finish
    // feeding one job before they start on the next.
    Job* pending_head = nullptr;
    Job* pending_tail = nullptr;
    std::size_t threads = 0;
    std::size_t cores = 1;     // logical processors the process may run on
    std::size_t spinning = 0;  // workers watching `submissions`
    std::size_t sleeping = 0;  // workers blocked on work_ready
    // Counts submissions, so that a spinning worker sees new work without
    // taking the lock.
    std::atomic<std::uint64_t> submissions{0};
};

// Waking a blocked thread costs a system call on each side and, on an idle
// machine, the time for a core to leave its sleep state: tens of
// microseconds, more than a small batch takes to step, and on a virtual
// machine whose idle core has been handed back to the host, a hundred or
// more. So a worker that runs out of work, and a submitter waiting for its
// job, first watch for a while (yielding the core to any other thread that
// wants it) and block only if nothing happened.
//
// Watching takes a core, though. No more workers watch than there are cores,
// and a submitter watches only if its job leaves a core free: otherwise it
// would take turns on a core with a worker that has real work, and it
// blocks at once instead (its wake-up is then quick, as no core is idle).
// A thread with a core to itself watches long: a submitter for as long as a
// step of a large batch takes, so that the wake-up would add at most a few
// per cent to any job it waits for; a worker, in a pool smaller than the
// machine, for the gap a training loop leaves between steps (observations,
// a policy's forward pass). Others watch only through the gap of steps
// issued back to back, so as not to hold a core that other work needs.
constexpr auto SHORT_WATCH = std::chrono::microseconds(200);
constexpr auto WORKER_LONG_WATCH = std::chrono::microseconds(2000);
constexpr auto SUBMITTER_LONG_WATCH = std::chrono::microseconds(5000);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// A yield that comes back this late ran another thread in between: one that
// wanted this core. With no other thread ready, a yield takes a microsecond
// or two.
constexpr auto CONTENDED_YIELD = std::chrono::microseconds(50);

// Returns true as soon as done() holds, false if it still does not after
// `budget`. Now and then it offers the core to another thread: a yield is a
// system call, so doing it on every round would delay noticing done(). Once
// another thread has taken the core up on that offer, the core is not idle
// and watching it only takes turns with real work (other processes' as
// well, which the pool cannot count), so it stops and reports false.
template <class Done>
bool spin_until(Done done, std::chrono::microseconds budget) {
    const auto give_up = std::chrono::steady_clock::now() + budget;
    for (unsigned round = 1;; ++round) {
        if (done()) return true;
        cpu_relax();
        if (round % 1024 == 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= give_up) return done();
            sched_yield();
            if (std::chrono::steady_clock::now() - now >= CONTENDED_YIELD) return done();
        }
    }
}

// Waits until a job is pending: spins first, then blocks. Called, and
// returns, with the lock held.
void wait_for_work(Pool* pool, std::unique_lock<std::mutex>& lock) {
    if (pool->spinning < pool->cores) {
        const std::uint64_t seen = pool->submissions.load(std::memory_order_relaxed);
        // A pool as large as the machine shares its cores with the caller's
        // own work between steps (a policy's threads, say), which a long
        // watch would keep waiting; a smaller one leaves a core free for the
        // caller's thread however many of its workers watch.
        const bool core_left_free = pool->threads < pool->cores;
        ++pool->spinning;
        lock.unlock();
        spin_until([pool, seen] { return pool->submissions.load(std::memory_order_relaxed) != seen; },
                   core_left_free ? WORKER_LONG_WATCH : SHORT_WATCH);
        lock.lock();
        --pool->spinning;
        if (pool->pending_head != nullptr) return;
    }
    ++pool->sleeping;
    pool->work_ready.wait(lock, [pool] { return pool->pending_head != nullptr; });
    --pool->sleeping;
}

void run_worker(Pool* pool) {
    std::unique_lock lock(pool->mutex);
    for (;;) {
        Job* job = pool->pending_head;
        if (job == nullptr) {
            wait_for_work(pool, lock);
            continue;
        }
        const std::size_t chunk = job->next_chunk++;
        if (job->next_chunk == job->n_chunks) {
            pool->pending_head = job->next_pending;
            if (pool->pending_head == nullptr) pool->pending_tail = nullptr;
        }
        lock.unlock();

        std::exception_ptr fault;
        try {
            job->fn(job->context, piece_begin(chunk, job->n, job->n_chunks),
                    piece_begin(chunk + 1, job->n, job->n_chunks));
        } catch (...) {
            fault = std::current_exception();
        }

        lock.lock();
        if (fault && !job->fault) job->fault = fault;
        if (++job->chunks_done == job->n_chunks) {
            // The submitter may return and drop the job as soon as it sees
            // `finished`, so the job is not touched after that store.
            const bool wake_submitter = job->submitter_asleep;
            job->finished.store(true, std::memory_order_release);
            if (wake_submitter) pool->job_finished.notify_all();
        }
    }
}

// The pool and the lock that guards starting it are never destroyed: worker
// threads block on the pool's condition variables until the process ends, and
// destroying them at exit under a running thread would be undefined. The
// lock sits in raw storage so that a forked child can construct it afresh.
alignas(std::mutex) unsigned char start_lock_storage[sizeof(std::mutex)];
std::mutex* start_lock = new (start_lock_storage) std::mutex;
Pool* running_pool = nullptr;
bool fork_handlers_installed = false;

// A fork() copies only the forking thread. The parent's workers do not exist
// in the child, and a lock held by one of them would stay locked for ever; so
// the locks are held across the fork, and the child forgets the old pool and
// starts a new one when it first needs it. The old pool is leaked on purpose:
// its lock is held by this thread and its condition variables may name
// waiters that are gone.
void before_fork() {
    start_lock->lock();
    if (running_pool != nullptr) running_pool->mutex.lock();
}

void after_fork_in_parent() {
    if (running_pool != nullptr) running_pool->mutex.unlock();
    start_lock->unlock();
}

void after_fork_in_child() {
    running_pool = nullptr;
    start_lock = new (start_lock_storage) std::mutex;
}

Pool* start_pool_locked() {
    if (!fork_handlers_installed) {
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
            throw std::runtime_error("worker pool: cannot install its fork handlers");
        }
        fork_handlers_installed = true;
    }
    const std::size_t cores = available_processors();
    const std::size_t wanted =
        pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), cores);

    auto* pool = new Pool;
    pool->cores = cores;
    // Workers inherit the signal mask of the thread that creates them. With
    // every signal blocked there, the kernel delivers signals such as Ctrl-C
    // to the interpreter's threads, which know what to do with them.
    sigset_t all_signals;
    sigset_t caller_mask;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &caller_mask);
    // A process may be allowed fewer threads than asked for; the pool then
    // works with those it got. Workers read the count, and each starts by
    // taking the pool's lock, so holding it here lets them see only the
    // final one.
    {
        std::lock_guard counting(pool->mutex);
        for (std::size_t i = 0; i < wanted; ++i) {
            try {
                std::thread(run_worker, pool).detach();
            } catch (const std::system_error&) {
                break;
            }
            ++pool->threads;
        }
    }
    pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
    if (pool->threads == 0) {
        delete pool;
        throw std::runtime_error("worker pool: cannot start any worker thread");
    }
    return pool;
}

Pool& the_pool() {
    std::lock_guard guard(*start_lock);
    if (running_pool == nullptr) running_pool = start_pool_locked();
    return *running_pool;
}

}  // namespace

void run_chunks(std::size_t n, ChunkFn fn, void* context) {
    if (n == 0) return;
    // One piece runs on the caller, which would only wait for it: handing it
    // to a worker costs a wake-up, tens of microseconds when every core is
    // busy, against about one for a single env's step.
    if (n == 1) {
        fn(context, 0, 1);
        return;
    }
    Pool& pool = the_pool();

    // A few pieces per thread, so that a thread whose envs finish early
    // (an env that scores stops ticking) takes over pieces of the others.
    constexpr std::size_t pieces_per_thread = 4;
    Job job;
    job.fn = fn;
    job.context = context;
    job.n = n;
    job.n_chunks = std::min(n, pool.threads * pieces_per_thread);

    {
        const std::lock_guard lock(pool.mutex);
        if (pool.pending_tail != nullptr) {
            pool.pending_tail->next_pending = &job;
        } else {
            pool.pending_head = &job;
        }
        pool.pending_tail = &job;
        pool.submissions.fetch_add(1, std::memory_order_relaxed);
        // Workers that are not blocked (watching, or finishing a piece) look
        // for work under the lock before they block, so only the pieces they
        // cannot take need a blocked worker woken.
        const std::size_t awake = pool.threads - pool.sleeping;
        const std::size_t uncovered = job.n_chunks > awake ? job.n_chunks - awake : 0;
        const std::size_t wake = std::min(uncovered, pool.sleeping);
        for (std::size_t i = 0; i < wake; ++i) pool.work_ready.notify_one();
    }
    const bool core_left_free = std::min(job.n_chunks, pool.threads) < pool.cores;
    if (!core_left_free ||
        !spin_until([&job] { return job.finished.load(std::memory_order_acquire); }, SUBMITTER_LONG_WATCH)) {
        std::unique_lock lock(pool.mutex);
        job.submitter_asleep = true;
        pool.job_finished.wait(lock, [&job] { return job.finished.load(std::memory_order_relaxed); });
    }

    if (job.fault) std::rethrow_exception(job.fault);
}

}  // namespace worker_pool
