// zorbic._fast: the built-in training parts' inner loops, one call per step
// for the whole batch. Each function does exactly the arithmetic of the NumPy
// version beside its part (zorbic/parts), one IEEE operation per NumPy
// operation in the same order, so the two give the same bits; the NumPy
// versions stay as the reference the tests compare with.
//
// The callers are the package's own parts, which hand over arrays they made
// themselves; the checks here still refuse a wrong type, shape or index
// rather than read out of bounds.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// sin(22.5 degrees): the eight keyboard directions' boundaries, as the chaser
// in zorbic/parts/opponents.py has it.
constexpr double EIGHT_WAY = 0.3826834323650898;

PyArrayObject* as_array(PyObject* object, const char* name, int type, int ndim, bool writable) {
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", name);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_TYPE(array) != type || PyArray_NDIM(array) != ndim || !PyArray_IS_C_CONTIGUOUS(array) ||
        (writable && !PyArray_ISWRITEABLE(array))) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous%s array of %d dimension(s) and dtype %s", name,
                     writable ? " writable" : "", ndim, PyArray_DescrFromType(type)->typeobj->tp_name);
        return nullptr;
    }
    return array;
}

bool same_dims(PyArrayObject* array, const char* name, std::initializer_list<npy_intp> dims) {
    int axis = 0;
    for (const npy_intp want : dims) {
        if (PyArray_DIM(array, axis) != want) {
            PyErr_Format(PyExc_ValueError, "%s has %zd entries on axis %d, expected %zd", name,
                         static_cast<Py_ssize_t>(PyArray_DIM(array, axis)), axis, static_cast<Py_ssize_t>(want));
            return false;
        }
        ++axis;
    }
    return true;
}

template <typename T>
T* data(PyArrayObject* array) {
    return static_cast<T*>(PyArray_DATA(array));
}

// An owned reference, released when it goes out of scope.
struct Owned {
    PyObject* p;
    explicit Owned(PyObject* object) : p(object) {}
    Owned(Owned&& other) noexcept : p(other.p) { other.p = nullptr; }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned& operator=(Owned&&) = delete;
    ~Owned() { Py_XDECREF(p); }
};

std::int64_t direction(double d, double limit) {
    return static_cast<std::int64_t>(d > limit) - static_cast<std::int64_t>(d < -limit);
}

// chaser(ball_pos, player_pos, slots, attack, touch, reach, kick, out, first)
// ball_pos (M, 2) and player_pos (M, P, 2) float64; slots (k,) intp; attack
// (P, 2) float64, the mouth each player slot attacks; out (M, W, 3) int64,
// whose rows first .. first + k - 1 get each match's slots in order.
PyObject* chaser(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_SetString(PyExc_TypeError, "chaser takes 9 arguments");
        return nullptr;
    }
    PyArrayObject* ball = as_array(args[0], "ball_pos", NPY_FLOAT64, 2, false);
    PyArrayObject* players = as_array(args[1], "player_pos", NPY_FLOAT64, 3, false);
    PyArrayObject* slots = as_array(args[2], "slots", NPY_INTP, 1, false);
    PyArrayObject* attack = as_array(args[3], "attack", NPY_FLOAT64, 2, false);
    const double touch = PyFloat_AsDouble(args[4]);
    const double reach = PyFloat_AsDouble(args[5]);
    const long kick = PyLong_AsLong(args[6]);
    PyArrayObject* out = as_array(args[7], "out", NPY_INT64, 3, true);
    const Py_ssize_t first = PyLong_AsSsize_t(args[8]);
    if (ball == nullptr || players == nullptr || slots == nullptr || attack == nullptr || out == nullptr ||
        PyErr_Occurred()) {
        return nullptr;
    }
    const npy_intp m = PyArray_DIM(ball, 0);
    const npy_intp p = PyArray_DIM(players, 1);
    const npy_intp k = PyArray_DIM(slots, 0);
    if (!same_dims(ball, "ball_pos", {m, 2}) || !same_dims(players, "player_pos", {m, p, 2}) ||
        !same_dims(attack, "attack", {p, 2}) || !same_dims(out, "out", {m})) {
        return nullptr;
    }
    const npy_intp rows = PyArray_DIM(out, 1);
    if (PyArray_DIM(out, 2) != 3 || first < 0 || first + k > rows) {
        PyErr_SetString(PyExc_ValueError, "chaser: the slots do not fit the rows of out");
        return nullptr;
    }
    const npy_intp* slot = data<npy_intp>(slots);
    for (npy_intp i = 0; i < k; ++i) {
        if (slot[i] < 0 || slot[i] >= p) {
            PyErr_Format(PyExc_IndexError, "slot %zd is not one of the %zd players", static_cast<Py_ssize_t>(slot[i]),
                         static_cast<Py_ssize_t>(p));
            return nullptr;
        }
    }
    const double* b = data<double>(ball);
    const double* pos = data<double>(players);
    const double* goal = data<double>(attack);
    std::int64_t* act = data<std::int64_t>(out);
    const double half = 0.5 * touch;
    const double step_aside = 1.5 * touch;
    for (npy_intp match = 0; match < m; ++match) {
        const double bx = b[2 * match];
        const double by = b[2 * match + 1];
        for (npy_intp i = 0; i < k; ++i) {
            const double* me = pos + (match * p + slot[i]) * 2;
            const double mx = me[0];
            const double my = me[1];
            double ax = goal[2 * slot[i]] - bx;
            double ay = goal[2 * slot[i] + 1] - by;
            double length = std::hypot(ax, ay);
            length = length > 0 ? length : 1.0;
            ax = ax / length;
            ay = ay / length;
            const double tx = bx - mx;
            const double ty = by - my;
            const double along = tx * ax + ty * ay;
            const double across = ty * ax - tx * ay;
            const double off_line = std::fabs(across);
            const bool lined_up = along > 0 && off_line < half;
            const bool beside = along < half && off_line < touch && !lined_up;
            const double w = lined_up ? touch : -touch;
            const double s = (across < 0 ? -step_aside : step_aside) * static_cast<double>(beside);
            const double dx = (bx + (ax * w + ay * s)) - mx;
            const double dy = (by + (ay * w - ax * s)) - my;
            const double limit = EIGHT_WAY * std::hypot(dx, dy);
            std::int64_t* row = act + (match * rows + first + i) * 3;
            row[0] = direction(dx, limit);
            row[1] = direction(dy, limit);
            row[2] = (lined_up && std::hypot(tx, ty) - touch < reach) ? kick : 0;
        }
    }
    Py_RETURN_NONE;
}

// An observed value is (row[take] - row[minus]) * scale, clipped. Most come
// in x, y pairs whose take entries are neighbours and whose minus entries are
// neighbours too (a relative position) or one entry twice (a plain value less
// the constant 0): those pairs are worked two lanes at a time, which halves
// the loads per value; the rest go one by one. Each lane does the scalar
// arithmetic exactly (one float subtraction, one multiplication, the clip).
struct PairGather {
    std::int32_t out;         // the pair's first value, in out and in scale
    std::int32_t take;        // its first row entry
    std::int32_t minus;       // the first entry it is less
    std::int32_t minus_step;  // 1: the next entry for y; 0: the same again
};

struct SingleGather {
    std::int32_t out;
    std::int32_t take;
    std::int32_t minus;
};

struct Gathers {
    std::vector<PairGather> pairs;
    std::vector<SingleGather> singles;
};

// The indices were checked against the table, whose width fits an int32.
Gathers plan_gathers(const npy_intp* take, const npy_intp* minus, npy_intp n) {
    Gathers plan;
    npy_intp j = 0;
    while (j < n) {
        const auto out = static_cast<std::int32_t>(j);
        const auto first = static_cast<std::int32_t>(take[j]);
        const auto less = static_cast<std::int32_t>(minus[j]);
        const bool paired = j + 1 < n && take[j + 1] == take[j] + 1 &&
                            (minus[j + 1] == minus[j] + 1 || minus[j + 1] == minus[j]);
        if (paired) {
            plan.pairs.push_back({out, first, less, static_cast<std::int32_t>(minus[j + 1] - minus[j])});
            j += 2;
        } else {
            plan.singles.push_back({out, first, less});
            ++j;
        }
    }
    return plan;
}

inline float clipped(float value, float limit) {
    // NaN passes through, as np.clip lets it.
    return value < -limit ? -limit : (value > limit ? limit : value);
}

#if defined(__SSE2__)
inline __m128 load_pair(const float* at) {
    double both;
    std::memcpy(&both, at, sizeof both);
    return _mm_castpd_ps(_mm_set_sd(both));
}

inline void store_pair(float* at, __m128 pair) {
    const double both = _mm_cvtsd_f64(_mm_castps_pd(pair));
    std::memcpy(at, &both, sizeof both);
}
#endif

void gather_row(const Gathers& plan, const float* row, const float* factor, float limit, float* obs) {
#if defined(__SSE2__)
    // maxps and minps return their second operand when either is NaN, so NaN
    // passes through as in clipped(); equal operands have the same bits.
    const __m128 high = _mm_set1_ps(limit);
    const __m128 low = _mm_set1_ps(-limit);
    for (const PairGather& pair : plan.pairs) {
        const __m128 less = pair.minus_step ? load_pair(row + pair.minus) : _mm_set1_ps(row[pair.minus]);
        const __m128 value = _mm_mul_ps(_mm_sub_ps(load_pair(row + pair.take), less), load_pair(factor + pair.out));
        store_pair(obs + pair.out, _mm_min_ps(high, _mm_max_ps(low, value)));
    }
#else
    for (const PairGather& pair : plan.pairs) {
        for (std::int32_t lane = 0; lane < 2; ++lane) {
            const float less = row[pair.minus + lane * pair.minus_step];
            obs[pair.out + lane] = clipped((row[pair.take + lane] - less) * factor[pair.out + lane], limit);
        }
    }
#endif
    for (const SingleGather& single : plan.singles) {
        obs[single.out] = clipped((row[single.take] - row[single.minus]) * factor[single.out], limit);
    }
}

// observe(columns, constants, take, minus, scale, limit, out)
// columns: a tuple of float64 (M, ...) arrays laid side by side, then the
// float32 constants (c,) after them, make a table row per match in single
// precision; out (M, n) float32 gets clip((row[take] - row[minus]) * scale).
PyObject* observe(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 7) {
        PyErr_SetString(PyExc_TypeError, "observe takes 7 arguments");
        return nullptr;
    }
    if (!PyTuple_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "columns must be a tuple of arrays");
        return nullptr;
    }
    PyArrayObject* constants = as_array(args[1], "constants", NPY_FLOAT32, 1, false);
    PyArrayObject* take = as_array(args[2], "take", NPY_INTP, 1, false);
    PyArrayObject* minus = as_array(args[3], "minus", NPY_INTP, 1, false);
    PyArrayObject* scale = as_array(args[4], "scale", NPY_FLOAT32, 1, false);
    const float limit = static_cast<float>(PyFloat_AsDouble(args[5]));
    PyArrayObject* out = as_array(args[6], "out", NPY_FLOAT32, 2, true);
    if (constants == nullptr || take == nullptr || minus == nullptr || scale == nullptr || out == nullptr ||
        PyErr_Occurred()) {
        return nullptr;
    }
    const npy_intp m = PyArray_DIM(out, 0);
    const npy_intp n = PyArray_DIM(out, 1);
    if (!same_dims(take, "take", {n}) || !same_dims(minus, "minus", {n}) || !same_dims(scale, "scale", {n})) {
        return nullptr;
    }
    const Py_ssize_t n_columns = PyTuple_GET_SIZE(args[0]);
    // Columns of another layout or type are converted, as np.concatenate would.
    std::vector<Owned> held;
    held.reserve(static_cast<std::size_t>(n_columns));
    std::vector<const double*> sources(static_cast<std::size_t>(n_columns));
    std::vector<npy_intp> widths(static_cast<std::size_t>(n_columns));
    npy_intp width = 0;
    for (Py_ssize_t c = 0; c < n_columns; ++c) {
        held.emplace_back(PyArray_FROMANY(PyTuple_GET_ITEM(args[0], c), NPY_FLOAT64, 2, NPY_MAXDIMS,
                                          NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
        auto* column = reinterpret_cast<PyArrayObject*>(held.back().p);
        if (column == nullptr || !same_dims(column, "a column", {m})) return nullptr;
        // A column (M, ...) gives each match its trailing entries in order.
        const npy_intp column_width = m > 0 ? PyArray_SIZE(column) / m : 0;
        sources[static_cast<std::size_t>(c)] = data<double>(column);
        widths[static_cast<std::size_t>(c)] = column_width;
        width += column_width;
    }
    const npy_intp n_constants = PyArray_DIM(constants, 0);
    const npy_intp* from = data<npy_intp>(take);
    const npy_intp* less = data<npy_intp>(minus);
    for (npy_intp j = 0; j < n; ++j) {
        if (from[j] < 0 || from[j] >= width + n_constants || less[j] < 0 || less[j] >= width + n_constants) {
            PyErr_SetString(PyExc_IndexError, "an observation index lies outside the table");
            return nullptr;
        }
    }
    if (n > INT32_MAX || width + n_constants > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "an observation row this long is not supported");
        return nullptr;
    }
    std::vector<float> row(static_cast<std::size_t>(width + n_constants));
    const float* fixed = data<float>(constants);
    for (npy_intp c = 0; c < n_constants; ++c) row[static_cast<std::size_t>(width + c)] = fixed[c];
    const Gathers gathers = plan_gathers(from, less, n);
    const float* factor = data<float>(scale);
    float* result = data<float>(out);
    for (npy_intp match = 0; match < m; ++match) {
        std::size_t at = 0;
        for (std::size_t c = 0; c < sources.size(); ++c) {
            const double* source = sources[c] + match * widths[c];
            for (npy_intp i = 0; i < widths[c]; ++i) row[at++] = static_cast<float>(source[i]);
        }
        gather_row(gathers, row.data(), factor, limit, result + match * n);
    }
    Py_RETURN_NONE;
}

// goal_reward(scored, teams, red, blue, out)
// scored (M,) int8, the side that conceded or -1; teams (k,) int64 per
// learner slot; out (M * k,) float64: -1 to the side that conceded, +1 to
// the other, 0 when no team's goal fell.
PyObject* goal_reward(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "goal_reward takes 5 arguments");
        return nullptr;
    }
    PyArrayObject* scored = as_array(args[0], "scored", NPY_INT8, 1, false);
    PyArrayObject* teams = as_array(args[1], "teams", NPY_INT64, 1, false);
    const long red = PyLong_AsLong(args[2]);
    const long blue = PyLong_AsLong(args[3]);
    PyArrayObject* out = as_array(args[4], "out", NPY_FLOAT64, 1, true);
    if (scored == nullptr || teams == nullptr || out == nullptr || PyErr_Occurred()) return nullptr;
    const npy_intp m = PyArray_DIM(scored, 0);
    const npy_intp k = PyArray_DIM(teams, 0);
    if (!same_dims(out, "out", {m * k})) return nullptr;
    const std::int8_t* conceded = data<std::int8_t>(scored);
    const std::int64_t* team = data<std::int64_t>(teams);
    double* reward = data<double>(out);
    for (npy_intp match = 0; match < m; ++match) {
        const std::int64_t side = conceded[match];
        const bool decided = side == red || side == blue;
        for (npy_intp i = 0; i < k; ++i) reward[match * k + i] = decided ? (side == team[i] ? -1.0 : 1.0) : 0.0;
    }
    Py_RETURN_NONE;
}

// discrete(actions, table, offsets, out, first, k) -> bool
// The discrete action table for B = M * k learner rows: actions (B,) int64
// or int32 array (or one Python int when B is 1), table (R, 3) int64, offsets
// (B,) int64 added to each row's action (the mirrored half for blue rows),
// written into out (M, P, 3) at player columns first .. first + k - 1.
// False, with nothing written, when the actions are of another form or lie
// outside [0, R / 2): the caller's own checks then explain what is wrong.
PyObject* discrete(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "discrete takes 6 arguments");
        return nullptr;
    }
    PyArrayObject* table = as_array(args[1], "table", NPY_INT64, 2, false);
    PyArrayObject* offsets = as_array(args[2], "offsets", NPY_INT64, 1, false);
    PyArrayObject* out = as_array(args[3], "out", NPY_INT64, 3, true);
    const Py_ssize_t first = PyLong_AsSsize_t(args[4]);
    const Py_ssize_t k = PyLong_AsSsize_t(args[5]);
    if (table == nullptr || offsets == nullptr || out == nullptr || PyErr_Occurred()) return nullptr;
    const npy_intp m = PyArray_DIM(out, 0);
    const npy_intp p = PyArray_DIM(out, 1);
    const npy_intp rows = PyArray_DIM(table, 0);
    const npy_intp b = m * k;
    if (PyArray_DIM(out, 2) != 3 || PyArray_DIM(table, 1) != 3 || first < 0 || k < 1 || first + k > p ||
        !same_dims(offsets, "offsets", {b})) {
        PyErr_SetString(PyExc_ValueError, "discrete: the table, offsets or columns do not fit the engine actions");
        return nullptr;
    }
    const std::int64_t* offset = data<std::int64_t>(offsets);
    for (npy_intp i = 0; i < b; ++i) {
        if (offset[i] < 0 || offset[i] + rows / 2 > rows) {
            PyErr_SetString(PyExc_ValueError, "discrete: an offset leaves the table");
            return nullptr;
        }
    }
    const npy_intp n = rows / 2;
    std::vector<std::int64_t> chosen(static_cast<std::size_t>(b));
    PyObject* actions = args[0];
    if (PyLong_CheckExact(actions)) {
        if (b != 1) Py_RETURN_FALSE;
        int overflow = 0;
        chosen[0] = PyLong_AsLongLongAndOverflow(actions, &overflow);
        if (overflow != 0 || PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
    } else if (PyArray_Check(actions)) {
        auto* array = reinterpret_cast<PyArrayObject*>(actions);
        if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != b || !PyArray_IS_C_CONTIGUOUS(array)) {
            Py_RETURN_FALSE;
        }
        if (PyArray_TYPE(array) == NPY_INT64) {
            const std::int64_t* values = data<std::int64_t>(array);
            for (npy_intp i = 0; i < b; ++i) chosen[static_cast<std::size_t>(i)] = values[i];
        } else if (PyArray_TYPE(array) == NPY_INT32) {
            const std::int32_t* values = data<std::int32_t>(array);
            for (npy_intp i = 0; i < b; ++i) chosen[static_cast<std::size_t>(i)] = values[i];
        } else {
            Py_RETURN_FALSE;
        }
    } else {
        Py_RETURN_FALSE;
    }
    for (const std::int64_t a : chosen) {
        if (a < 0 || a >= n) Py_RETURN_FALSE;
    }
    const std::int64_t* entries = data<std::int64_t>(table);
    std::int64_t* engine = data<std::int64_t>(out);
    // Learner i is slot first + i % k of match i / k, walked without dividing.
    npy_intp i = 0;
    for (npy_intp match = 0; match < m; ++match) {
        std::int64_t* row = engine + (match * p + first) * 3;
        for (Py_ssize_t slot = 0; slot < k; ++slot, ++i, row += 3) {
            const std::int64_t* entry = entries + (chosen[static_cast<std::size_t>(i)] + offset[i]) * 3;
            row[0] = entry[0];
            row[1] = entry[1];
            row[2] = entry[2];
        }
    }
    Py_RETURN_TRUE;
}

// episode(scored, steps, terminated, truncated, max_steps, goals_end)
// A step's episode bookkeeping for M matches: steps (M,) int64 counts it;
// terminated (M,) bool is whether a goal fell (scored (M,) int8 not -1) and
// goals end episodes; truncated (M,) bool whether max_steps was reached
// without that.
PyObject* episode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "episode takes 6 arguments");
        return nullptr;
    }
    PyArrayObject* scored = as_array(args[0], "scored", NPY_INT8, 1, false);
    PyArrayObject* steps = as_array(args[1], "steps", NPY_INT64, 1, true);
    PyArrayObject* terminated = as_array(args[2], "terminated", NPY_BOOL, 1, true);
    PyArrayObject* truncated = as_array(args[3], "truncated", NPY_BOOL, 1, true);
    const long long max_steps = PyLong_AsLongLong(args[4]);
    const int goals_end = PyObject_IsTrue(args[5]);
    if (scored == nullptr || steps == nullptr || terminated == nullptr || truncated == nullptr || goals_end < 0 ||
        PyErr_Occurred()) {
        return nullptr;
    }
    const npy_intp m = PyArray_DIM(scored, 0);
    if (!same_dims(steps, "steps", {m}) || !same_dims(terminated, "terminated", {m}) ||
        !same_dims(truncated, "truncated", {m})) {
        return nullptr;
    }
    const std::int8_t* conceded = data<std::int8_t>(scored);
    std::int64_t* count = data<std::int64_t>(steps);
    npy_bool* ended = data<npy_bool>(terminated);
    npy_bool* timed_out = data<npy_bool>(truncated);
    for (npy_intp match = 0; match < m; ++match) {
        count[match] += 1;
        ended[match] = goals_end && conceded[match] != -1;
        timed_out[match] = count[match] >= max_steps && !ended[match];
    }
    Py_RETURN_NONE;
}

// narrow(actions, out) -> bool
// actions int64 and out int8 of the same size, both C-contiguous: out gets
// every value that fits; the result says whether all of them did.
PyObject* narrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyArray_Check(args[0]) || !PyArray_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "narrow takes two arrays");
        return nullptr;
    }
    auto* wide = reinterpret_cast<PyArrayObject*>(args[0]);
    auto* small = reinterpret_cast<PyArrayObject*>(args[1]);
    if (PyArray_TYPE(wide) != NPY_INT64 || PyArray_TYPE(small) != NPY_INT8 || !PyArray_IS_C_CONTIGUOUS(wide) ||
        !PyArray_IS_C_CONTIGUOUS(small) || !PyArray_ISWRITEABLE(small) ||
        PyArray_SIZE(wide) != PyArray_SIZE(small)) {
        PyErr_SetString(PyExc_ValueError, "narrow needs C-contiguous int64 and writable int8 arrays of one size");
        return nullptr;
    }
    const std::int64_t* from = data<std::int64_t>(wide);
    std::int8_t* to = data<std::int8_t>(small);
    bool fits = true;
    for (npy_intp i = 0, n = PyArray_SIZE(wide); i < n; ++i) {
        fits = fits && from[i] >= INT8_MIN && from[i] <= INT8_MAX;
        to[i] = static_cast<std::int8_t>(from[i]);
    }
    return PyBool_FromLong(fits);
}

PyMethodDef METHODS[] = {
    {"episode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(episode)), METH_FASTCALL,
     "Count a step and set the terminated and truncated flags of every match."},
    {"discrete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discrete)), METH_FASTCALL,
     "Checked discrete actions through the table into the engine actions; False when another form."},
    {"narrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(narrow)), METH_FASTCALL,
     "Copy int64 values into an int8 array; whether every value fitted."},
    {"chaser", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chaser)), METH_FASTCALL,
     "The chaser's engine actions for some slots of every match, written into out."},
    {"observe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(observe)), METH_FASTCALL,
     "Gathered, scaled and clipped observations from a table of columns, written into out."},
    {"goal_reward", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(goal_reward)), METH_FASTCALL,
     "The goal reward of every learner row, written into out."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "zorbic._fast", "The built-in training parts' inner loops.", -1, METHODS,
    nullptr,               nullptr,        nullptr,                                     nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__fast() {
    import_array();
    return PyModule_Create(&MODULE);
}
