// The engine without Python or threads, for the benchmark and for profilers.
//
//   engine_probe sizes N_RED N_BLUE
//       One env of the classic stadium as the batch stores it, in bytes: the
//       MatchState record plus the capacity of each of its sequences, and the
//       block of wall data that all the envs of a batch share (JSON).
//   engine_probe ticks N_RED N_BLUE N_ENVS N_TICKS
//       The batch benchmark's loop (every player holds (1, 1, 1), slot 0
//       taps kick) over N_ENVS classic envs on this thread, and its rate.
//   engine_probe steps N_RED N_BLUE N_ENVS N_STEPS [RUNS]
//       Batch steps of 8 ticks under seeded random actions in {-1, 0, 1}^2 x
//       {0, 1, 2}, each env stopping at a goal as the batch does. With RUNS
//       (1, 2, 4 or 8), each step's ticks are run as that many runs of
//       tick_repeatedly under the same actions: the same matches, with the
//       setup of a run paid RUNS times, which is how it is measured.
//
// Built only when asked: cmake -DZORBIC_BENCH_TOOLS=ON, target engine_probe.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "contact_plan.hpp"
#include "game_flow.hpp"
#include "match_state.hpp"
#include "split_mix64.hpp"
#include "stadium.hpp"
#include "tick.hpp"

namespace {

template <typename T>
std::uint64_t heap_bytes(const std::vector<T>& items) {
    return items.capacity() * sizeof(T);
}

std::uint64_t parse_count(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        std::fprintf(stderr, "engine_probe: not a count: %s\n", text);
        std::exit(2);
    }
    return value;
}

MatchState classic(std::uint64_t n_red, std::uint64_t n_blue) {
    MatchState state;
    std::string error;
    if (n_red + n_blue == 0 || n_red + n_blue > MAX_PLAYERS ||
        !build_match_state(classic_stadium_text(), n_red, n_blue, state, error)) {
        std::fprintf(stderr, "engine_probe: cannot build %llu v %llu: %s\n", static_cast<unsigned long long>(n_red),
                     static_cast<unsigned long long>(n_blue), error.c_str());
        std::exit(2);
    }
    return state;
}

int print_sizes(std::uint64_t n_red, std::uint64_t n_blue) {
    const MatchState built = classic(n_red, n_blue);
    const MatchState env = built;  // the batch holds copies, sized exactly
    const std::uint64_t heap = heap_bytes(env.discs) + heap_bytes(env.segments) + heap_bytes(env.planes) +
                               heap_bytes(env.goals) + heap_bytes(env.kick_flag) + heap_bytes(env.kick_held) +
                               heap_bytes(env.kick_cooldown) + heap_bytes(env.kick_budget) +
                               heap_bytes(env.red_spawn_points) + heap_bytes(env.blue_spawn_points) +
                               contact_plan_heap_bytes(env.contact_plan);
    std::printf(
        "{\"match_state\": %zu, \"heap\": %llu, \"per_env\": %llu, \"contact_plan_heap\": %zu, "
        "\"shared_per_batch\": %zu, "
        "\"disc\": %zu, \"segment\": %zu, "
        "\"plane\": %zu, \"goal\": %zu, \"discs\": %zu, \"segments\": %zu, \"planes\": %zu, \"goals\": %zu}\n",
        sizeof(MatchState), static_cast<unsigned long long>(heap),
        static_cast<unsigned long long>(sizeof(MatchState) + heap), contact_plan_heap_bytes(env.contact_plan),
        contact_plan_shared_bytes(env.contact_plan), sizeof(Disc), sizeof(Segment), sizeof(Plane), sizeof(Goal),
        env.discs.size(), env.segments.size(), env.planes.size(), env.goals.size());
    return 0;
}

int run_ticks(std::uint64_t n_red, std::uint64_t n_blue, std::uint64_t n_envs, std::uint64_t n_ticks) {
    std::vector<MatchState> envs(n_envs, classic(n_red, n_blue));
    const std::uint64_t n_players = n_red + n_blue;
    const auto start = std::chrono::steady_clock::now();
    for (MatchState& state : envs) {
        PlayerAction buffer[MAX_PLAYERS];
        for (PlayerAction& action : buffer) action = {1, 1, 1};
        TickSequence ticks(state, buffer, n_players);
        for (std::uint64_t t = 0; t < n_ticks; ++t) {
            ticks.next();
            buffer[0].kick = 1 - buffer[0].kick;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::uint64_t steps = 0;
    for (const MatchState& state : envs) steps += state.steps;
    std::printf("{\"env_ticks\": %llu, \"seconds\": %.6f, \"env_ticks_per_s\": %.0f}\n",
                static_cast<unsigned long long>(steps), seconds, static_cast<double>(steps) / seconds);
    return 0;
}

int run_steps(std::uint64_t n_red, std::uint64_t n_blue, std::uint64_t n_envs, std::uint64_t n_steps,
              std::uint64_t runs) {
    constexpr std::uint64_t TICK_SKIP = 8;
    std::vector<MatchState> envs(n_envs, classic(n_red, n_blue));
    const std::uint64_t n_players = n_red + n_blue;
    // Drawn before the clock starts, as the Python benchmark does.
    std::vector<PlayerAction> actions(n_steps * n_envs * n_players);
    SplitMix64 rng{12345};
    for (PlayerAction& a : actions) a = {rng.below(3) - 1, rng.below(3) - 1, rng.below(3)};
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t step = 0; step < n_steps; ++step) {
        for (std::uint64_t i = 0; i < n_envs; ++i) {
            PlayerAction buffer[MAX_PLAYERS] = {};
            const PlayerAction* mine = &actions[(step * n_envs + i) * n_players];
            for (std::uint64_t j = 0; j < n_players; ++j) buffer[j] = mine[j];
            for (std::uint64_t run = 0; run < runs; ++run) {
                if (tick_repeatedly(envs[i], buffer, n_players, TICK_SKIP / runs).goal) break;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::uint64_t ticks = 0;
    for (const MatchState& state : envs) ticks += state.steps;
    std::printf("{\"env_ticks\": %llu, \"seconds\": %.6f, \"env_ticks_per_s\": %.0f}\n",
                static_cast<unsigned long long>(ticks), seconds, static_cast<double>(ticks) / seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sizes" && argc == 4) return print_sizes(parse_count(argv[2]), parse_count(argv[3]));
    if (mode == "ticks" && argc == 6)
        return run_ticks(parse_count(argv[2]), parse_count(argv[3]), parse_count(argv[4]), parse_count(argv[5]));
    if (mode == "steps" && (argc == 6 || argc == 7)) {
        const std::uint64_t runs = argc == 7 ? parse_count(argv[6]) : 1;
        if (runs == 0 || runs > 8 || 8 % runs != 0) {
            std::fprintf(stderr, "engine_probe: RUNS must be 1, 2, 4 or 8\n");
            return 2;
        }
        return run_steps(parse_count(argv[2]), parse_count(argv[3]), parse_count(argv[4]), parse_count(argv[5]), runs);
    }
    std::fprintf(stderr,
                 "usage: engine_probe sizes N_RED N_BLUE\n"
                 "       engine_probe ticks N_RED N_BLUE N_ENVS N_TICKS\n"
                 "       engine_probe steps N_RED N_BLUE N_ENVS N_STEPS [RUNS]\n");
    return 2;
}
