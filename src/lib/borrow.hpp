#pragma once

// Shared/exclusive access to one VecEnv for the duration of a call. Members
// that read take a shared borrow, members that change the envs an exclusive
// one. Every call holds the interpreter lock while it takes and releases the
// borrow, so the counters need no atomics; a conflict can only arise while a
// call that released the lock (the benchmark loop) still holds its borrow.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "panic.hpp"

struct BorrowState {
    std::uint64_t shared = 0;
    bool exclusive = false;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState& state) : state_(state) {
        if (state_.exclusive) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
        ++state_.shared;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --state_.shared; }

private:
    BorrowState& state_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState& state) : state_(state) {
        if (state_.exclusive || state_.shared != 0) raise_error(PyExc_RuntimeError, "Already borrowed");
        state_.exclusive = true;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { state_.exclusive = false; }

private:
    BorrowState& state_;
};
