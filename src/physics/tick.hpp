#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "contact_sweep.hpp"
#include "match_state.hpp"

// Advances one env by one physics tick. actions[j] belongs to player slot j;
// n_actions must be at least state.n_players (EngineFault otherwise).
// Returns the conceding team when the ball crossed a goal line in this tick.
// Both sweeps give the same results; the plain one is there to check that.
std::optional<Team> tick(MatchState& state, const PlayerAction* actions, std::size_t n_actions,
                         Sweep sweep = Sweep::fast);

// Whether a run's action buffer may be rewritten between its ticks.
enum class Actions {
    may_change,
    held,
};

// What the players' moves in a run of ticks need to know only once, filled
// where the ball is the only kickable disc: per player slot, the direction
// of its input, and pairs of values of which the slot's kick state picks one
// by index. The kick state follows the callers' kick inputs, which no branch
// predictor can guess, so no branch is taken on it. No tick changes a
// radius, an acceleration, a damping or what is kickable.
struct PlayerTables {
    bool ball_only = false;
    Vec2 direction[MAX_PLAYERS];
    // [1]: the square of a distance from the ball beyond which the slot's
    // kick certainly misses; [0]: -1, which no squared distance passes, for
    // a player that may not kick this tick.
    double kick_reach[MAX_PLAYERS][2];
    // [0] without, [1] with the kick armed.
    double acceleration[MAX_PLAYERS][2];
    double damping[MAX_PLAYERS][2];

    // From the state's discs and its up-to-date contact plan, with the
    // directions of an action per slot unless `actions` is null.
    void derive(const MatchState& state, const PlayerAction* actions);
    // The directions alone, for actions rewritten since.
    void take_directions(const PlayerAction* actions, std::size_t n_players);
};

// Up to max_ticks ticks under the same actions, as that many calls of tick()
// would run them, stopping after the first tick that reports a goal. The
// state is checked and the contact plan brought up to date once, not on
// every tick.
struct TickRun {
    std::uint64_t ticks;       // ticks run
    std::optional<Team> goal;  // the conceding team, if the last tick scored
};
TickRun tick_repeatedly(MatchState& state, const PlayerAction* actions, std::size_t n_actions, std::uint64_t max_ticks,
                        Sweep sweep = Sweep::fast);

// Ticks one state again and again, as tick() would, under the actions in a
// buffer that the caller may rewrite between ticks, unless it says they are
// held. The state is checked and its contact plan brought up to date once,
// when the sequence starts: while it runs, nothing but its own ticks may
// write to the state. A broken state or too few actions is an EngineFault
// naming `operation`.
class TickSequence {
public:
    TickSequence(MatchState& state, const PlayerAction* actions, std::size_t n_actions, Sweep sweep = Sweep::fast,
                 const char* operation = "tick_sequence", Actions kind = Actions::may_change);
    // One tick under the buffer's current actions.
    std::optional<Team> next();

private:
    MatchState& state_;
    const PlayerAction* actions_;
    Sweep sweep_;
    Actions kind_;
    bool ticked_ = false;
    // What the last tick started with, and whether the player masks may
    // since differ from those the plan saw.
    GamePhase last_phase_ = GamePhase::Kickoff;
    Team last_kickoff_team_ = NO_TEAM;
    bool masks_may_differ_ = false;
    SweepAnchors anchors_;
    PlayerTables player_tables_;
};
