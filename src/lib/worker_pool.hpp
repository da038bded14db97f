#pragma once

// The process-wide pool of worker threads that steps envs in parallel. Pure
// C++: its threads never touch Python objects.
//
// The pool starts on the first parallel operation, with a size fixed from the
// environment at that moment (see pool_size_from_env), and lives until the
// process ends. Several callers may submit at once; their jobs share the
// threads. A child process made by fork() starts a fresh pool on its first
// parallel operation.

#include <cstddef>
#include <exception>
#include <type_traits>

namespace worker_pool {

// The largest pool we start, whatever the environment asks for: beyond this
// a request is surely a mistake, and honouring it would only exhaust the
// process's thread and memory limits.
inline constexpr std::size_t MAX_THREADS = 1024;

// Reads a count the way the pool's environment variables are read: an
// unsigned decimal with at most one leading '+', nothing else. Returns false
// for anything else (absent, empty, a sign '-', spaces, a value beyond 64 bits).
bool parse_count(const char* text, std::size_t& out);

// The pool size for these variable values (null = unset): num_threads > 0
// wins; num_threads = 0 means the default; an unparsable num_threads defers
// to rs_num_cpus > 0; anything else is the default. Capped at MAX_THREADS.
std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t default_size);

// Logical processors this process may run on, or 1 if that is unknown.
std::size_t available_processors();

// Runs fn(context, begin, end) for contiguous pieces [begin, end) covering
// 0 .. n-1 on the pool's threads and blocks until every piece is done. The
// calling thread runs no piece itself. If pieces throw, the others still run
// to completion and the first exception is rethrown here.
using ChunkFn = void (*)(void* context, std::size_t begin, std::size_t end);
void run_chunks(std::size_t n, ChunkFn fn, void* context);

// The number of threads of the running pool; starts it if need be.
std::size_t thread_count();

// Calls per_item(i) for every i in 0 .. n-1 on the pool, each piece in index
// order. An exception from one item does not stop the items after it: all of
// them run, and the first exception reaches the caller afterwards.
template <class PerItem>
void parallel_for(std::size_t n, PerItem&& per_item) {
    using Callable = std::remove_reference_t<PerItem>;
    ChunkFn run_piece = [](void* context, std::size_t begin, std::size_t end) {
        Callable& f = *static_cast<Callable*>(context);
        std::exception_ptr first_fault;
        for (std::size_t i = begin; i < end; ++i) {
            try {
                f(i);
            } catch (...) {
                if (!first_fault) first_fault = std::current_exception();
            }
        }
        if (first_fault) std::rethrow_exception(first_fault);
    };
    run_chunks(n, run_piece, const_cast<void*>(static_cast<const void*>(&per_item)));
}

}  // namespace worker_pool
