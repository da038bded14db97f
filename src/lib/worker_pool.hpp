#pragma once

// The process-wide pool of worker threads that steps envs in parallel. Pure
// C++: its threads never touch Python objects.
//
// The pool starts on the first parallel operation, with a size fixed from the
// environment at that moment, and lives until the process ends. Several
// callers may submit at once; their jobs share the threads. A child process
// made by fork() starts a fresh pool on its first parallel operation.
// parallel_for must not be called from inside a piece: the piece would wait
// for threads that may all be waiting like it.

#include <cstddef>
#include <exception>
#include <type_traits>

namespace worker_pool {

// Runs fn(context, begin, end) for contiguous pieces [begin, end) covering
// 0 .. n-1 on the pool's threads and blocks until every piece is done. The
// calling thread runs no piece itself, except when n is 1: that one piece
// runs on the caller, and the pool is not started for it. If pieces throw,
// the others still run to completion and the first exception is rethrown here.
using ChunkFn = void (*)(void* context, std::size_t begin, std::size_t end);
void run_chunks(std::size_t n, ChunkFn fn, void* context);

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
