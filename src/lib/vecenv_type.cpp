// The VecEnv class: its type object and member table, construction and the
// read-only properties.

#include <unistd.h>

#include <new>
#include <string>
#include <utility>

#include "binder.hpp"
#include "convert.hpp"
#include "engine_fault.hpp"
#include "py_ref.hpp"
#include "stadium.hpp"
#include "vecenv.hpp"
#include "vecenv_docs.hpp"
#include "vecenv_members.hpp"

namespace {

// ---- construction ----

constexpr std::uint64_t DEFAULT_STEP_LIMIT = 2400;
constexpr std::uint64_t DEFAULT_TICK_SKIP = 8;

struct Counts {
    std::uint64_t n_envs;
    std::uint64_t n_red;
    std::uint64_t n_blue;
    std::uint64_t step_limit;
    std::uint64_t tick_skip;
};

// `bound` holds n_envs, n_red, n_blue, step_limit, tick_skip in that order;
// the last two may be absent. Converted in that order: the first bad one is
// the one reported.
Counts convert_counts(PyObject* const* bound) {
    Counts counts{};
    counts.n_envs = arg_u64(bound[0], "n_envs");
    counts.n_red = arg_u64(bound[1], "n_red");
    counts.n_blue = arg_u64(bound[2], "n_blue");
    counts.step_limit = bound[3] != nullptr ? arg_u64(bound[3], "step_limit") : DEFAULT_STEP_LIMIT;
    counts.tick_skip = bound[4] != nullptr ? arg_u64(bound[4], "tick_skip") : DEFAULT_TICK_SKIP;
    return counts;
}

std::string decimal(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

void validate(const Counts& counts) {
    if (counts.n_envs == 0) raise_error(PyExc_ValueError, "n_envs must be >= 1");
    // Two 64-bit counts can sum past 2^64; the message shows the exact sum.
    const unsigned __int128 players = static_cast<unsigned __int128>(counts.n_red) + counts.n_blue;
    if (players == 0) raise_error(PyExc_ValueError, "n_red + n_blue must be >= 1");
    if (players > MAX_PLAYERS)
        raise_error(PyExc_ValueError, "n_red + n_blue = " + decimal(players) + " exceeds the max of " +
                                          std::to_string(MAX_PLAYERS) + " players");
}

template <typename T>
std::uint64_t heap_bytes(const std::vector<T>& items) {
    return items.size() * sizeof(T);
}

// What one copy of `state` occupies: the record plus its sequences.
std::uint64_t env_bytes(const MatchState& state) {
    return sizeof(MatchState) + heap_bytes(state.discs) + heap_bytes(state.segments) + heap_bytes(state.planes) +
           heap_bytes(state.goals) + heap_bytes(state.kick_flag) + heap_bytes(state.kick_held) +
           heap_bytes(state.kick_cooldown) + heap_bytes(state.kick_budget) + heap_bytes(state.red_spawn_points) +
           heap_bytes(state.blue_spawn_points) + contact_plan_heap_bytes(state.contact_plan);
}

// Refuses, before touching any memory, a batch that cannot fit in the
// machine's physical memory: allocating it would only end in swapping or in
// the process being killed, long after the call.
void check_fits_in_memory(std::uint64_t n_envs, const MatchState& state) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return;  // unknown: leave it to the allocator
    const unsigned __int128 physical = static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(page_size);
    const std::uint64_t per_env = env_bytes(state);
    const unsigned __int128 needed = static_cast<unsigned __int128>(n_envs) * per_env;
    if (needed > physical)
        raise_error(PyExc_MemoryError, std::to_string(n_envs) + " envs of " + std::to_string(per_env) +
                                           " bytes each need " + decimal(needed) + " bytes, more than the " +
                                           decimal(physical) + " bytes of this machine's memory");
}

PyObject* make_vecenv(PyTypeObject* type, const Counts& counts, MatchState&& template_state) {
    check_fits_in_memory(counts.n_envs, template_state);
    VecEnvRecord record;
    record.envs.reserve(counts.n_envs);
    for (std::uint64_t i = 1; i < counts.n_envs; ++i) record.envs.push_back(template_state);
    record.envs.push_back(std::move(template_state));
    record.n_players = counts.n_red + counts.n_blue;
    record.obs_dim = 4 * record.n_players + 8;
    record.step_limit = counts.step_limit;
    record.tick_skip = counts.tick_skip == 0 ? 1 : counts.tick_skip;

    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) throw PythonError{};
    VecEnvObject& object = vecenv_object(self);
    new (&object.record) VecEnvRecord(std::move(record));
    new (&object.borrow) BorrowState();
    return self;
}

constexpr const char* NEW_NAMES[] = {"n_envs", "n_red", "n_blue", "step_limit", "tick_skip"};
constexpr Signature NEW_SIGNATURE{"VecEnv.__new__()", NEW_NAMES, 3};

PyObject* vecenv_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        PyObject* bound[5];
        bind_arguments(NEW_SIGNATURE, args, kwargs, bound);
        const Counts counts = convert_counts(bound);
        validate(counts);
        MatchState state;
        std::string error;
        if (!build_match_state(classic_stadium_text(), counts.n_red, counts.n_blue, state, error))
            throw EngineFault("bundled classic.zsm is valid: " + error);
        return make_vecenv(type, counts, std::move(state));
    });
}

constexpr const char* FROM_ZSM_NAMES[] = {"zsm", "n_envs", "n_red", "n_blue", "step_limit", "tick_skip"};
constexpr Signature FROM_ZSM_SIGNATURE{"VecEnv.from_zsm()", FROM_ZSM_NAMES, 4};

PyObject* from_zsm(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        PyObject* bound[6];
        bind_arguments(FROM_ZSM_SIGNATURE, args, nargsf, kwnames, bound);
        const std::string_view text = arg_utf8(bound[0], "zsm");
        const Counts counts = convert_counts(bound + 1);
        validate(counts);
        PyTypeObject* type = vecenv_type();
        if (type == nullptr) throw PythonError{};
        MatchState state;
        std::string error;
        if (!build_match_state(text, counts.n_red, counts.n_blue, state, error)) raise_error(PyExc_ValueError, error);
        return make_vecenv(type, counts, std::move(state));
    });
}

void vecenv_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    vecenv_object(self).record.~VecEnvRecord();
    vecenv_object(self).borrow.~BorrowState();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

// ---- properties ----

PyObject* get_n_envs(PyObject* self, void*) noexcept {
    return guarded([&] {
        const SharedBorrow borrow(vecenv_borrow(self));
        return py_int(static_cast<std::uint64_t>(vecenv_record(self).envs.size())).release();
    });
}

PyObject* get_n_players(PyObject* self, void*) noexcept {
    return guarded([&] {
        const SharedBorrow borrow(vecenv_borrow(self));
        return py_int(vecenv_record(self).n_players).release();
    });
}

PyObject* get_obs_dim(PyObject* self, void*) noexcept {
    return guarded([&] {
        const SharedBorrow borrow(vecenv_borrow(self));
        return py_int(vecenv_record(self).obs_dim).release();
    });
}

// Not the terminal speed (that one divides by 1 - damping): this is the
// constant that callers' reward code normalises velocities with, so it keeps
// the acceleration in the divisor and this order of operations.
PyObject* get_player_max_speed(PyObject* self, void*) noexcept {
    return guarded([&] {
        const SharedBorrow borrow(vecenv_borrow(self));
        const MatchState& env = vecenv_record(self).envs.at(0);
        const Disc& player = env.discs.at(env.first_player);
        return py_float(player.damping * player.acceleration / (1.0 - player.acceleration)).release();
    });
}

// ---- the class ----

PyMethodDef from_zsm_def{"from_zsm", as_cfunction(from_zsm), FASTCALL_KEYWORDS | METH_STATIC, vecenv_docs::FROM_ZSM};

PyMethodDef method_defs[] = {
    {"reset_all", as_cfunction(vecenv::reset_all), METH_NOARGS, vecenv_docs::RESET_ALL},
    {"reset_mask", as_cfunction(vecenv::reset_mask), FASTCALL_KEYWORDS, vecenv_docs::RESET_MASK},
    {"physics_step", as_cfunction(vecenv::physics_step), FASTCALL_KEYWORDS, vecenv_docs::PHYSICS_STEP},
    {"snapshot", as_cfunction(vecenv::snapshot), METH_NOARGS, vecenv_docs::SNAPSHOT},
    {"set_state", as_cfunction(vecenv::set_state), FASTCALL_KEYWORDS, vecenv_docs::SET_STATE},
    {"set_kick_rate_limit", as_cfunction(vecenv::set_kick_rate_limit), FASTCALL_KEYWORDS,
     vecenv_docs::SET_KICK_RATE_LIMIT},
    {"set_player_cmask", as_cfunction(vecenv::set_player_cmask), FASTCALL_KEYWORDS, vecenv_docs::SET_PLAYER_CMASK},
    {"kick_state", as_cfunction(vecenv::kick_state), METH_NOARGS, vecenv_docs::KICK_STATE},
    {"teams", as_cfunction(vecenv::teams), METH_NOARGS, vecenv_docs::TEAMS},
    {"goals", as_cfunction(vecenv::goals), METH_NOARGS, vecenv_docs::GOALS},
    {"wall_segments", as_cfunction(vecenv::wall_segments), METH_NOARGS, vecenv_docs::WALL_SEGMENTS},
    {"obstacle_discs", as_cfunction(vecenv::obstacle_discs), METH_NOARGS, vecenv_docs::OBSTACLE_DISCS},
    {"predict_ball", as_cfunction(vecenv::predict_ball), FASTCALL_KEYWORDS, vecenv_docs::PREDICT_BALL},
    {"rollout_bench", as_cfunction(vecenv::rollout_bench), FASTCALL_KEYWORDS, vecenv_docs::ROLLOUT_BENCH},
};

PyGetSetDef getset_defs[] = {
    {"n_envs", get_n_envs, nullptr, "", nullptr},
    {"n_players", get_n_players, nullptr, "", nullptr},
    {"obs_dim", get_obs_dim, nullptr, "", nullptr},
    {"player_max_speed", get_player_max_speed, nullptr, vecenv_docs::PLAYER_MAX_SPEED, nullptr},
};

// The order in which the members appear in the class's namespace.
constexpr const char* MEMBER_ORDER[] = {
    "from_zsm",         "n_envs",         "n_players",    "obs_dim",          "reset_all",
    "reset_mask",       "physics_step",   "snapshot",     "set_state",        "set_kick_rate_limit",
    "set_player_cmask", "kick_state",     "teams",        "player_max_speed", "goals",
    "wall_segments",    "obstacle_discs", "predict_ball", "rollout_bench",
};

PyRef member_descriptor(PyTypeObject* type, std::string_view name) {
    if (name == from_zsm_def.ml_name) {
        PyRef function = PyRef::checked(PyCFunction_NewEx(&from_zsm_def, reinterpret_cast<PyObject*>(type), nullptr));
        return PyRef::checked(PyStaticMethod_New(function.get()));
    }
    for (PyMethodDef& def : method_defs)
        if (name == def.ml_name) return PyRef::checked(PyDescr_NewMethod(type, &def));
    for (PyGetSetDef& def : getset_defs)
        if (name == def.name) return PyRef::checked(PyDescr_NewGetSet(type, &def));
    throw EngineFault("VecEnv member without a definition: " + std::string(name));
}

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vecenv_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vecenv_dealloc)},
    {Py_tp_doc, const_cast<char*>("VecEnv(n_envs, n_red, n_blue, step_limit=2400, tick_skip=8)\n--\n\n")},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict and no
// weak-reference slot: instances carry nothing but the record.
// The dotted name gives the class its __module__; the type name itself is set
// back to the plain "VecEnv" after creation (see create_type).
PyType_Spec type_spec{"zorbic_core.VecEnv", sizeof(VecEnvObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      type_slots};

PyTypeObject* created_type = nullptr;  // lives for the rest of the process

PyTypeObject* create_type() {
    PyRef type = PyRef::checked(PyType_FromSpec(&type_spec));
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    // Filled in directly: the class is immutable to Python code, and this
    // keeps the members in their documented order.
    PyRef dict = PyRef::checked(PyType_GetDict(as_type));
    for (const char* name : MEMBER_ORDER) {
        PyRef descriptor = member_descriptor(as_type, name);
        if (PyDict_SetItemString(dict.get(), name, descriptor.get()) < 0) throw PythonError{};
    }
    // Messages that name the type ("'VecEnv' object has no attribute ...")
    // use the plain name. The dotted one stays allocated with the type, which
    // lives for the rest of the process.
    as_type->tp_name = "VecEnv";
    PyType_Modified(as_type);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* vecenv_type() {
    if (created_type == nullptr) {
        const PyObject* ok = guarded([] {
            created_type = create_type();
            return reinterpret_cast<PyObject*>(created_type);
        });
        if (ok == nullptr) return nullptr;
    }
    return created_type;
}
