// Ball-trajectory prediction for every env, on the worker pool.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "predict.hpp"
#include "vecenv.hpp"
#include "vecenv_members.hpp"
#include "worker_pool.hpp"

namespace vecenv {

namespace {

constexpr const char* PREDICT_BALL_NAMES[] = {"offsets"};
constexpr Signature PREDICT_BALL{"VecEnv.predict_ball()", PREDICT_BALL_NAMES, 1};

// The engine writes Vec2 values straight into the (N, K, 2) float64 result,
// one K-row slice per env, so the call needs no buffer of its own.
static_assert(std::is_standard_layout_v<Vec2> && sizeof(Vec2) == 2 * sizeof(double) &&
              alignof(Vec2) == alignof(double));

}  // namespace

PyObject* predict_ball(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(PREDICT_BALL, args, nargsf, kwnames, bound);
        const SharedBorrow borrow(vecenv_borrow(self));
        const std::vector<std::uint64_t> offsets = arg_u64_sequence(bound[0], "offsets");

        const VecEnvRecord& record = vecenv_record(self);
        const std::size_t k = offsets.size();
        auto result = new_array<double>({static_cast<Py_ssize_t>(record.envs.size()), static_cast<Py_ssize_t>(k), 2});
        Vec2* const out = reinterpret_cast<Vec2*>(result.data);
        // The interpreter lock stays held: the envs cannot change meanwhile,
        // and the workers touch only the states and their own output rows.
        worker_pool::parallel_for(
            record.envs.size(), [&](std::size_t i) { ::predict_ball(record.envs[i], offsets.data(), k, out + i * k); });
        return result.object.release();
    });
}

}  // namespace vecenv
