#pragma once

// The Python VecEnv object: a batch of independent envs on one stadium.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "borrow.hpp"
#include "match_state.hpp"

struct VecEnvRecord {
    std::vector<MatchState> envs;  // never resized after construction
    std::uint64_t n_players;       // n_red + n_blue, the same in every env
    std::uint64_t obs_dim;         // 4 * n_players + 8
    std::uint64_t step_limit;      // kept for the caller; nothing reads it
    std::uint64_t tick_skip;       // ticks per physics_step, at least 1
};

struct VecEnvObject {
    PyObject_HEAD VecEnvRecord record;
    BorrowState borrow;
};

// The class object, created on first use; a borrowed reference, or nullptr
// with an error set.
PyTypeObject* vecenv_type();

// `self` of every member is a VecEnv: the interpreter checks the receiver
// type of method descriptors before calling them.
inline VecEnvObject& vecenv_object(PyObject* self) { return *reinterpret_cast<VecEnvObject*>(self); }
inline VecEnvRecord& vecenv_record(PyObject* self) { return vecenv_object(self).record; }
inline BorrowState& vecenv_borrow(PyObject* self) { return vecenv_object(self).borrow; }
