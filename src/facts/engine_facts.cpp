// zorbic._engine: what the Python side needs to know of the engine, taken from
// the engine itself so that no rule or default is written down twice. The
// compiled stadium comes from the engine's own build of the text; the two
// rules that live inside the tick's translation units (the after-goal
// countdown and the kick reach) are asked of the engine's own game flow and
// tick when the module is imported.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "collision_flags.hpp"
#include "game_flow.hpp"
#include "match_state.hpp"
#include "stadium.hpp"
#include "stadium_reader.hpp"
#include "tick.hpp"

namespace {

// An owned reference: error paths between creating a value and handing it on
// leak nothing.
struct Owned {
    PyObject* p;
    explicit Owned(PyObject* o) : p(o) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p); }
    PyObject* release() {
        PyObject* o = p;
        p = nullptr;
        return o;
    }
};

// Stores `value` (a new reference, possibly null after a failed call) under
// `key`; false when either failed.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

template <typename T, typename Get>
PyObject* column(const std::vector<T>& rows, int type, Get get) {
    const npy_intp n = static_cast<npy_intp>(rows.size());
    PyObject* array = PyArray_SimpleNew(1, &n, type);
    if (array == nullptr) return nullptr;
    auto* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array));
    for (npy_intp i = 0; i < n; ++i) {
        const auto value = get(rows[static_cast<std::size_t>(i)]);
        std::memcpy(static_cast<char*>(out) + i * static_cast<npy_intp>(sizeof value), &value, sizeof value);
    }
    return array;
}

template <typename T>
PyObject* numbers(const std::vector<T>& rows, double (*get)(const T&)) {
    return column(rows, NPY_FLOAT64, get);
}

template <typename T>
PyObject* flags(const std::vector<T>& rows, std::uint64_t (*get)(const T&)) {
    return column(rows, NPY_UINT64, get);
}

template <typename T>
PyObject* points(const std::vector<T>& rows, Vec2 (*get)(const T&)) {
    const npy_intp shape[2] = {static_cast<npy_intp>(rows.size()), 2};
    PyObject* array = PyArray_SimpleNew(2, shape, NPY_FLOAT64);
    if (array == nullptr) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Vec2 v = get(rows[i]);
        out[2 * i] = v.x;
        out[2 * i + 1] = v.y;
    }
    return array;
}

PyObject* spawn_points(const std::vector<Vec2>& rows) {
    return points<Vec2>(rows, [](const Vec2& v) { return v; });
}

PyObject* disc_columns(const std::vector<Disc>& discs) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok =
        put(d.p, "pos", points<Disc>(discs, [](const Disc& x) { return x.pos; })) &&
        put(d.p, "radius", numbers<Disc>(discs, [](const Disc& x) { return x.radius; })) &&
        put(d.p, "inv_mass", numbers<Disc>(discs, [](const Disc& x) { return x.invMass; })) &&
        put(d.p, "damping", numbers<Disc>(discs, [](const Disc& x) { return x.damping; })) &&
        put(d.p, "b_coef", numbers<Disc>(discs, [](const Disc& x) { return x.bCoef; })) &&
        put(d.p, "c_group", flags<Disc>(discs, [](const Disc& x) { return x.cGroup; })) &&
        put(d.p, "c_mask", flags<Disc>(discs, [](const Disc& x) { return x.cMask; }));
    return ok ? d.release() : nullptr;
}

PyObject* segment_columns(const std::vector<Segment>& s) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok =
        put(d.p, "v0", points<Segment>(s, [](const Segment& x) { return x.v0; })) &&
        put(d.p, "v1", points<Segment>(s, [](const Segment& x) { return x.v1; })) &&
        put(d.p, "center", points<Segment>(s, [](const Segment& x) { return x.c; })) &&
        put(d.p, "t0", points<Segment>(s, [](const Segment& x) { return x.t0; })) &&
        put(d.p, "t1", points<Segment>(s, [](const Segment& x) { return x.t1; })) &&
        put(d.p, "radius", numbers<Segment>(s, [](const Segment& x) { return x.cr; })) &&
        put(d.p, "curve", numbers<Segment>(s, [](const Segment& x) { return x.curve; })) &&
        put(d.p, "bias", numbers<Segment>(s, [](const Segment& x) { return x.bias; })) &&
        put(d.p, "b_coef", numbers<Segment>(s, [](const Segment& x) { return x.bCoef; })) &&
        put(d.p, "c_group", flags<Segment>(s, [](const Segment& x) { return x.cGroup; })) &&
        put(d.p, "c_mask", flags<Segment>(s, [](const Segment& x) { return x.cMask; }));
    return ok ? d.release() : nullptr;
}

PyObject* plane_columns(const std::vector<Plane>& p) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok = put(d.p, "normal", points<Plane>(p, [](const Plane& x) { return x.normal; })) &&
                    put(d.p, "dist", numbers<Plane>(p, [](const Plane& x) { return x.dist; })) &&
                    put(d.p, "b_coef", numbers<Plane>(p, [](const Plane& x) { return x.bCoef; })) &&
                    put(d.p, "c_group", flags<Plane>(p, [](const Plane& x) { return x.cGroup; })) &&
                    put(d.p, "c_mask", flags<Plane>(p, [](const Plane& x) { return x.cMask; }));
    return ok ? d.release() : nullptr;
}

PyObject* goal_columns(const std::vector<Goal>& g) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok = put(d.p, "p0", points<Goal>(g, [](const Goal& x) { return x.p0; })) &&
                    put(d.p, "p1", points<Goal>(g, [](const Goal& x) { return x.p1; })) &&
                    put(d.p, "team", flags<Goal>(g, [](const Goal& x) { return x.team; }));
    return ok ? d.release() : nullptr;
}

// The physics that every player of the stadium shares.
PyObject* player_physics(const Disc& p) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok = put(d.p, "radius", PyFloat_FromDouble(p.radius)) &&
                    put(d.p, "inv_mass", PyFloat_FromDouble(p.invMass)) &&
                    put(d.p, "damping", PyFloat_FromDouble(p.damping)) &&
                    put(d.p, "b_coef", PyFloat_FromDouble(p.bCoef)) &&
                    put(d.p, "acceleration", PyFloat_FromDouble(p.acceleration)) &&
                    put(d.p, "kicking_acceleration", PyFloat_FromDouble(p.kickingAcceleration)) &&
                    put(d.p, "kicking_damping", PyFloat_FromDouble(p.kickingDamping)) &&
                    put(d.p, "kick_strength", PyFloat_FromDouble(p.kickStrength)) &&
                    put(d.p, "kickback", PyFloat_FromDouble(p.kickback)) &&
                    put(d.p, "c_mask", PyLong_FromUnsignedLongLong(p.cMask));
    return ok ? d.release() : nullptr;
}

PyObject* ball_physics(const Disc& b) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const bool ok = put(d.p, "radius", PyFloat_FromDouble(b.radius)) &&
                    put(d.p, "inv_mass", PyFloat_FromDouble(b.invMass)) &&
                    put(d.p, "damping", PyFloat_FromDouble(b.damping)) &&
                    put(d.p, "b_coef", PyFloat_FromDouble(b.bCoef)) &&
                    put(d.p, "c_group", PyLong_FromUnsignedLongLong(b.cGroup)) &&
                    put(d.p, "c_mask", PyLong_FromUnsignedLongLong(b.cMask));
    return ok ? d.release() : nullptr;
}

PyObject* stadium_facts(const MatchState& m, const RawStadium& raw) {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    const std::vector<Disc> obstacles(m.discs.begin() + 1,
                                      m.discs.begin() + static_cast<std::ptrdiff_t>(m.first_player));
    PyObject* name = raw.name ? PyUnicode_DecodeUTF8(raw.name->data(), static_cast<Py_ssize_t>(raw.name->size()),
                                                     "strict")
                              : Py_NewRef(Py_None);
    const bool ok = put(d.p, "name", name) && put(d.p, "ball", ball_physics(m.discs[0])) &&
                    put(d.p, "player", player_physics(m.discs[m.first_player])) &&
                    put(d.p, "discs", disc_columns(obstacles)) && put(d.p, "segments", segment_columns(m.segments)) &&
                    put(d.p, "planes", plane_columns(m.planes)) && put(d.p, "goals", goal_columns(m.goals)) &&
                    put(d.p, "spawn_distance", PyFloat_FromDouble(m.spawn_distance)) &&
                    put(d.p, "red_spawn_points", spawn_points(m.red_spawn_points)) &&
                    put(d.p, "blue_spawn_points", spawn_points(m.blue_spawn_points));
    return ok ? d.release() : nullptr;
}

PyObject* compile_stadium(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "compile_stadium() takes the stadium text as a str, not %.100s",
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(arg, &size);
    if (bytes == nullptr) return nullptr;
    const std::string_view text(bytes, static_cast<std::size_t>(size));
    try {
        // One player is enough to carry the player physics; the build refuses
        // every text the batch constructor refuses, with the same message.
        MatchState state;
        std::string error;
        if (!build_match_state(text, 1, 0, state, error)) {
            PyErr_SetString(PyExc_ValueError, error.c_str());
            return nullptr;
        }
        // The build drops the name; the reader keeps it, and cannot fail on a
        // text the build accepted.
        RawStadium raw;
        if (!read_stadium(text, raw, error)) {
            PyErr_SetString(PyExc_ValueError, error.c_str());
            return nullptr;
        }
        return stadium_facts(state, raw);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

MatchState built(std::string_view text) {
    MatchState state;
    std::string error;
    if (!build_match_state(text, 1, 0, state, error)) throw std::runtime_error("engine facts: " + error);
    return state;
}

// The countdown is what the game flow stores when a goal is scored: a ball
// that crosses a goal line in play.
std::int64_t goal_countdown() {
    MatchState state = built(R"({"goals": [{"p0": [0, -1], "p1": [0, 1], "team": "red"}]})");
    state.phase = GamePhase::Playing;
    if (!phase_step(state, {-1.0, 0.0}, {1.0, 0.0})) throw std::runtime_error("engine facts: the probe goal missed");
    return state.goal_timer;
}

// Whether a player whose surface is `gap` from the ball's kicks it. With both
// radii 0 the engine's gap is sqrt(gap * gap) - 0 - 0, which is gap exactly.
bool kicks_at(const MatchState& fresh, double gap) {
    MatchState state = fresh;
    state.discs[0].pos = {gap, 0.0};
    state.discs[state.first_player].pos = {0.0, 0.0};
    const PlayerAction kick{0, 0, 2};
    tick(state, &kick, 1);
    return state.discs[0].vel.x != 0.0;
}

// The reach is the smallest gap at which the tick no longer kicks, found by
// bisection over the ordered bit patterns of positive doubles.
double kick_reach() {
    const MatchState fresh = built(R"({"playerPhysics": {"radius": 0}, "ballPhysics": {"radius": 0}})");
    std::uint64_t hit = std::bit_cast<std::uint64_t>(0x1p-20);
    std::uint64_t miss = std::bit_cast<std::uint64_t>(0x1p40);
    if (!kicks_at(fresh, std::bit_cast<double>(hit)) || kicks_at(fresh, std::bit_cast<double>(miss)))
        throw std::runtime_error("engine facts: the kick probe found no reach between 2^-20 and 2^40");
    while (miss - hit > 1) {
        const std::uint64_t mid = hit + (miss - hit) / 2;
        (kicks_at(fresh, std::bit_cast<double>(mid)) ? hit : miss) = mid;
    }
    return std::bit_cast<double>(miss);
}

PyObject* group_table() {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    for (const char* name : {"ball", "red", "blue", "redKO", "blueKO", "wall", "kick", "score", "all"}) {
        if (!put(d.p, name, PyLong_FromUnsignedLongLong(group_flag(name)))) return nullptr;
    }
    return d.release();
}

bool add_facts(PyObject* module) {
    const auto add = [&](const char* name, PyObject* value) { return PyModule_Add(module, name, value) == 0; };
    return add("GOAL_COUNTDOWN", PyLong_FromLongLong(goal_countdown())) &&
           add("KICK_REACH", PyFloat_FromDouble(kick_reach())) &&
           add("MAX_PLAYERS", PyLong_FromSize_t(MAX_PLAYERS)) && add("GROUPS", group_table()) &&
           add("BALL_CGROUP", PyLong_FromUnsignedLongLong(BALL_CGROUP)) &&
           add("BALL_CMASK", PyLong_FromUnsignedLongLong(BALL_CMASK)) &&
           add("PLAYER_CMASK", PyLong_FromUnsignedLongLong(PLAYER_CMASK)) &&
           add("CLASSIC_TEXT", PyUnicode_FromStringAndSize(classic_stadium_text().data(),
                                                           static_cast<Py_ssize_t>(classic_stadium_text().size())));
}

PyMethodDef methods[] = {
    {"compile_stadium", compile_stadium, METH_O,
     "compile_stadium(text, /)\n--\n\n"
     "The stadium as the engine compiles it, in the engine frame: a dict of\n"
     "plain values and NumPy columns. ValueError with the engine's message\n"
     "when the engine refuses the text."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zorbic._engine", "Facts of the engine, from the engine.", -1, methods,
    nullptr,               nullptr,          nullptr,                                  nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine() {
    if (_import_array() < 0) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    try {
        if (add_facts(module)) return module;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    Py_DECREF(module);
    return nullptr;
}
