// The fast sweep skips only tests whose outcome is certainly "no contact".
// Held to the plain sweep over long random and scripted matches, on the
// classic stadium and on hand-built ones, every field of the state must agree
// bit for bit after every tick, through goals, kickoffs and writes between
// ticks that move discs off the grid, make them NaN or grow them.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "game_flow.hpp"
#include "stadium.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::arc;
using states::plane;
using states::player;
using states::sign;
using states::slot;
using states::SplitMix64;
using states::straight;

namespace {

enum class Play { random_keys, chase };

// Chasers run round behind the ball towards the goal they attack and kick
// when close; a quarter of the keys (all of them in random play) are random.
std::vector<PlayerAction> actions_for(const MatchState& s, Play play, SplitMix64& rng) {
    std::vector<PlayerAction> actions(s.n_players);
    const Vec2 ball = s.discs[0].pos;
    for (std::size_t j = 0; j < s.n_players; ++j) {
        const Disc& p = s.discs[s.first_player + j];
        if (play == Play::random_keys || rng.below(4) == 0) {
            actions[j] = {rng.below(3) - 1, rng.below(3) - 1, rng.below(3)};
            continue;
        }
        const Vec2 away = ball - Vec2{p.team == RED ? 1000.0 : -1000.0, 0};
        const Vec2 behind = ball + away * (20.0 / std::sqrt(dot(away, away)));
        const Vec2 to_ball = ball - p.pos;
        const bool close = dot(to_ball, to_ball) < 35.0 * 35.0;
        const Vec2 target = close ? ball : behind;
        actions[j] = {sign(target.x - p.pos.x), sign(target.y - p.pos.y), close ? 1 + rng.below(2) : 0};
    }
    return actions;
}

// What the runs went through, so that a pass means something.
struct Coverage {
    std::uint64_t goals = 0;
    std::uint64_t touches = 0;  // calls in which something changed the ball's free motion
};

// A write made to both twins between ticks.
using Disturb = void (*)(MatchState&, int tick);

void no_disturbance(MatchState&, int) {}

// Where the ball would be after `ticks` ticks of free motion.
Vec2 free_ball(Disc ball, std::uint64_t ticks) {
    for (std::uint64_t t = 0; t < ticks; ++t) {
        ball.pos = ball.pos + ball.vel;
        ball.vel = ball.vel * ball.damping;
    }
    return ball.pos;
}

// Steps a fast and a plain twin with the same actions (held for a few ticks
// at a time, as the batch holds them) and compares them after every call. A
// ball left still at kickoff is sent off at a random velocity, so that every
// match has it bouncing round the walls.
Coverage play_side_by_side(const MatchState& start, Play play, std::uint64_t seed, int ticks,
                           Disturb disturb = no_disturbance) {
    MatchState fast = start;
    MatchState plain = start;
    SplitMix64 rng{seed};
    Coverage seen;
    for (int t = 0; t < ticks;) {
        disturb(fast, t);
        disturb(plain, t);
        if (dot(fast.discs[0].vel, fast.discs[0].vel) < 1.0 && rng.below(20) == 0) {
            const Vec2 v = {static_cast<double>(rng.below(25)) - 12, static_cast<double>(rng.below(25)) - 12};
            fast.discs[0].vel = plain.discs[0].vel = v;
        }
        const std::vector<PlayerAction> actions = actions_for(fast, play, rng);
        const std::uint64_t hold = 1 + static_cast<std::uint64_t>(rng.below(8));
        const Disc ball = fast.discs[0];
        const TickRun a = tick_repeatedly(fast, actions.data(), actions.size(), hold, Sweep::fast);
        const TickRun b = tick_repeatedly(plain, actions.data(), actions.size(), hold, Sweep::plain);
        REQUIRE(a.ticks == b.ticks && a.goal == b.goal);
        if (states::hash(fast) != states::hash(plain)) {
            check::fail(__FILE__, __LINE__, "the sweeps part ways at tick " + std::to_string(t));
            return seen;
        }
        const Vec2 free = free_ball(ball, a.ticks);
        seen.goals += a.goal.has_value();
        seen.touches += fast.discs[0].pos.x != free.x || fast.discs[0].pos.y != free.y;
        t += static_cast<int>(a.ticks);
    }
    return seen;
}

MatchState classic(std::uint64_t n_red, std::uint64_t n_blue) {
    MatchState s;
    std::string error;
    if (!build_match_state(classic_stadium_text(), n_red, n_blue, s, error)) throw std::runtime_error(error);
    return s;
}

// A pitch with every kind of wall: oblique planes with normals of any
// length, arcs of both signs and of more than half a turn, one-sided walls
// with biases of both signs and one deeper than a disc, goals behind arc
// nets, immovable posts, movable discs (one of them kickable) and a barrier.
MatchState hand_built(std::size_t n_red, std::size_t n_blue) {
    std::vector<Disc> obstacles = {
        states::obstacle({280, 55}, 7, 0),
        states::obstacle({280, -55}, 7, 0),
        states::obstacle({-280, 55}, 7, 0),
        states::obstacle({-280, -55}, 7, 0),
        states::obstacle({0, 100}, 14, 0.3),
        states::obstacle({-120, -90}, 9, 1),
        states::obstacle({150, 60}, 8, 0.5, DISC_DEFAULT_CGROUP | group::KICK),
    };
    std::vector<Disc> players;
    for (std::size_t j = 0; j < n_red; ++j) players.push_back(player(RED));
    for (std::size_t j = 0; j < n_blue; ++j) players.push_back(player(BLUE));
    MatchState s = states::make(states::ball_at({0, 0}), obstacles, players);
    s.planes = {plane({0, 2}, -180, 0.2), plane({0, -1}, -180, 0.2), plane({3, 4}, -330, 0.5),
                plane({-1, 0.2}, -340, 0.1)};
    constexpr CollisionFlags BALL_ONLY = group::BALL;
    s.segments = {
        straight({280, 55}, {280, 140}, 0, 1, group::WALL, BALL_ONLY),
        straight({280, -140}, {280, -55}, 0, 1, group::WALL, BALL_ONLY),
        straight({-280, 140}, {-280, 55}, 0, 1, group::WALL, BALL_ONLY),
        straight({-280, -55}, {-280, -140}, 0, 1, group::WALL, BALL_ONLY),
        straight({-250, 160}, {250, 160}, 0, 0.8),
        straight({250, -160}, {-250, -160}, 3, 0.8),
        arc({250, 160}, {280, 140}, 80, 0, 0.9, group::WALL, BALL_ONLY),
        arc({280, -140}, {250, -160}, -80, -2, 0.9),
        arc({-280, 140}, {-250, 160}, -100, 0, 0.9),
        arc({-250, -160}, {-280, -140}, 100, 5, 0.9, group::WALL, BALL_ONLY),
        arc({280, 55}, {280, -55}, 160, 0, 0.1),
        arc({-280, -55}, {-280, 55}, 230, 0, 0.1),
        straight({-150, 40}, {-90, 110}, 20, 0.7),
        straight({90, -110}, {150, -40}, -6, 0.7),
        arc({40, -60}, {100, -20}, 60, 30, 0.5),
        straight({0, 180}, {0, 60}, 0, 0.1, group::RED_KO | group::BLUE_KO, group::RED | group::BLUE),
        straight({0, -60}, {0, -180}, 0, 0.1, group::RED_KO | group::BLUE_KO, group::RED | group::BLUE),
        arc({0, -60}, {0, 60}, 180, 0, 0.1, group::RED_KO, group::RED | group::BLUE),
        arc({0, 60}, {0, -60}, 180, 0, 0.1, group::BLUE_KO, group::RED | group::BLUE),
    };
    s.goals = {{{280, -55}, {280, 55}, BLUE}, {{-280, 55}, {-280, -55}, RED}};
    s.spawn_distance = 170;
    reset_match(s);
    return s;
}

// Now and then a disc is thrown off the grid or just past its edge, made
// NaN, grown past the grid's reach, or flung hard at the walls.
void disturb_hard(MatchState& s, int t) {
    if (t % 400 != 399) return;
    const int k = (t / 400) % 5;
    Disc& p = slot(s, static_cast<std::size_t>(t) % s.n_players);
    if (k == 0) p.pos = {1e4, -3e3};
    if (k == 1) p.pos = {-800.25, 420.5};
    if (k == 2) s.discs[0].vel = {40, -33};
    if (k == 3) p.radius = 60;
    if (k == 4) s.discs[s.first_player - 1].pos = {std::nan(""), 0};
}

}  // namespace

TEST(the_fast_sweep_matches_the_plain_one_on_the_classic_stadium) {
    std::uint64_t goals = 0;
    for (const auto& [n_red, n_blue] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{16, 16}, std::pair{0, 4}}) {
        for (const Play play : {Play::random_keys, Play::chase}) {
            const Coverage c = play_side_by_side(classic(n_red, n_blue), play, 0x5eed + n_red * 31 + n_blue, 4000);
            CHECK(c.touches > 50);
            goals += c.goals;
        }
    }
    CHECK(goals > 5);
}

TEST(the_fast_sweep_matches_the_plain_one_on_a_hand_built_stadium) {
    std::uint64_t goals = 0;
    for (const auto& [n_red, n_blue] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{8, 7}}) {
        for (const Play play : {Play::random_keys, Play::chase}) {
            const Coverage c = play_side_by_side(hand_built(n_red, n_blue), play, 0xface + n_red, 5000);
            CHECK(c.touches > 50);
            goals += c.goals;
        }
    }
    CHECK(goals > 5);
}

TEST(the_fast_sweep_matches_the_plain_one_through_odd_writes) {
    for (const auto& [n_red, n_blue] : {std::pair{2, 2}, std::pair{16, 16}}) {
        play_side_by_side(classic(n_red, n_blue), Play::chase, 0xbad, 4000, disturb_hard);
        play_side_by_side(hand_built(n_red, n_blue), Play::chase, 0xbad, 4000, disturb_hard);
    }
}

// Walls past the first 64 of their kind, and more walls than the grid is
// built for.
TEST(the_fast_sweep_matches_the_plain_one_with_many_walls) {
    for (const std::size_t extra : {std::size_t{70}, std::size_t{600}}) {
        MatchState s = hand_built(3, 3);
        SplitMix64 rng{extra};
        for (std::size_t k = 0; k < extra; ++k) {
            const Vec2 a = {static_cast<double>(rng.below(500)) - 250, static_cast<double>(rng.below(300)) - 150};
            const Vec2 b = a + Vec2{static_cast<double>(rng.below(60)) - 30, static_cast<double>(rng.below(60)) - 30};
            const double bias = static_cast<double>(rng.below(5)) - 2;
            s.segments.push_back(k % 3 == 0 ? arc(a, b, static_cast<double>(rng.below(500)) - 250, bias, 0.5)
                                            : straight(a, b, bias, 0.5));
            if (k % 10 == 0) s.planes.push_back(plane({1, static_cast<double>(k % 7) - 3}, -400, 0.3));
        }
        play_side_by_side(s, Play::chase, 0x77 + extra, 2500);
    }
}

// Stadiums with segments but no planes, and planes but no segments.
TEST(the_fast_sweep_matches_the_plain_one_with_one_kind_of_wall) {
    MatchState no_planes = hand_built(3, 3);
    no_planes.planes.clear();
    play_side_by_side(no_planes, Play::chase, 0x9a, 3000);
    MatchState no_segments = hand_built(3, 3);
    no_segments.segments.clear();
    play_side_by_side(no_segments, Play::chase, 0x5e, 3000);
}

// More discs than the fast sweep keeps in one word: it falls back whole.
TEST(the_fast_sweep_matches_the_plain_one_with_many_discs) {
    MatchState s = hand_built(16, 16);
    for (int k = 0; k < 40; ++k) {
        const double x = -200.0 + 10.0 * k;
        s.discs.insert(s.discs.begin() + static_cast<std::ptrdiff_t>(s.first_player),
                       states::obstacle({x, static_cast<double>(k % 5) * 20 - 40}, 4, k % 2 == 0 ? 0.0 : 1.0));
        ++s.first_player;
    }
    reset_match(s);
    play_side_by_side(s, Play::chase, 0x64, 1500);
}

namespace {

// One tick of standing still with each sweep, alone and as a run of ticks
// (which keeps anchors); they must agree, and the plain one's result is
// handed back to check that the case reached the contact it is about.
MatchState sweeps_agree_on_one_tick(const MatchState& start, const char* name) {
    MatchState fast = start;
    MatchState in_run = start;
    MatchState plain = start;
    const std::vector<PlayerAction> idle(start.n_players, PlayerAction{0, 0, 0});
    tick(fast, idle.data(), idle.size(), Sweep::fast);
    tick_repeatedly(in_run, idle.data(), idle.size(), 1, Sweep::fast);
    tick(plain, idle.data(), idle.size(), Sweep::plain);
    if (states::hash(fast) != states::hash(plain)) check::fail(__FILE__, __LINE__, name);
    if (states::hash(in_run) != states::hash(plain)) check::fail(__FILE__, __LINE__, name);
    return plain;
}

// The ball, a movable obstacle, then an immovable post at the origin (what
// the grid lists), and a player.
MatchState post_scene(Disc ball, Disc movable, Disc p) {
    MatchState s = states::make(ball, {movable, states::obstacle({0, 0}, 8, 0)}, {p});
    s.planes = {plane({0, 1}, -500, 0), plane({0, -1}, -500, 0)};
    refresh_contact_plan(s);
    return s;
}

double distance_to_post(const MatchState& s, std::size_t k) { return std::sqrt(dot(s.discs[k].pos, s.discs[k].pos)); }

}  // namespace

// Cases the grid's static discs must get right: a disc shoved into a post's
// reach within the sweep (out of a cell that does not list the post), a post
// moved by a write, a disc of negative radius.
TEST(the_fast_sweep_meets_static_discs_that_come_into_reach) {
    // A heavy ball lands on the player, 40 units from the post, and shoves
    // it some 23 units towards it; the post then pushes it back out.
    Disc heavy = states::ball_at({-41, 0});
    heavy.invMass = 0.01;
    const Disc far = states::obstacle({300, 300}, 10, 1);
    MatchState shoved = sweeps_agree_on_one_tick(post_scene(heavy, far, player(RED, {-40, 0})), "a shoved player");
    CHECK(std::fabs(distance_to_post(shoved, 3) - 23.0) < 1e-9);

    // The same for the movable obstacle, which comes before the post in the
    // sweep: moved, it meets partners its first cell did not list.
    heavy.pos = {-51, 0};
    MatchState pushed = sweeps_agree_on_one_tick(
        post_scene(heavy, states::obstacle({-50, 0}, 20, 1), player(RED, {300, -300})), "a shoved obstacle");
    CHECK(std::fabs(distance_to_post(pushed, 1) - 28.0) < 1e-9);

    // A post written onto the player after the grid was built.
    MatchState written = post_scene(states::ball_at({300, -300}), far, player(RED, {0, 0}));
    written.discs[2].pos = {200, 0};
    refresh_contact_plan(written);
    forget_contact_plan(written);
    refresh_contact_plan(written);
    written.discs[2].pos = {10, 0};
    MatchState met = sweeps_agree_on_one_tick(written, "a post moved by a write");
    CHECK(std::fabs(met.discs[3].pos.x - -13.0) < 1e-9);

    // ra + rb = -100 + 8: the player touches the post from 80 units away.
    Disc odd = player(RED, {80, 0});
    odd.radius = -100;
    MatchState negative =
        sweeps_agree_on_one_tick(post_scene(states::ball_at({300, -300}), far, odd), "a negative radius");
    CHECK(negative.discs[3].pos.x != 80.0);
}

// A disc pushed by a later partner onto a static disc that its own cell did
// not list meets it in the same turn: once anything has moved the disc, every
// partner after the one that pushed it is tested. A heavy obstacle just
// behind the ball shoves it some 39 units towards the post; over a range of
// gaps, some start outside the reach of the ball's cell and end touching.
TEST(a_disc_pushed_onto_a_static_disc_meets_it_in_the_same_turn) {
    int met = 0;
    for (int step = 0; step < 80; ++step) {
        const double gap = 45.0 + 0.25 * step;
        Disc pusher = states::obstacle({-gap - 1.0, 0.25 * (step % 5)}, 30, 0.001);
        MatchState scene = post_scene(states::ball_at({-gap, 0}), pusher, player(RED, {300, -300}));
        const MatchState with_post = sweeps_agree_on_one_tick(scene, "a ball pushed onto the post");
        scene.discs[2].cMask = 0;
        refresh_contact_plan(scene);
        const MatchState without_post = sweeps_agree_on_one_tick(scene, "a ball pushed past no post");
        met += with_post.discs[0].pos.x != without_post.discs[0].pos.x;
    }
    CHECK(met > 5);
}

// A push that carries a disc far, into a cell that lists walls its first
// cell did not, must meet those walls: a plane pushing a player 215 units
// back onto an oblique plane, and a deep one-sided wall pushing it onto a
// segment.
TEST(a_disc_pushed_into_another_cell_meets_the_walls_listed_there) {
    MatchState planes = states::make(states::ball_at({-400, -400}), {}, {player(RED, {20, 300})});
    planes.planes = {plane({0, -1}, -100, 0), plane({1, 1}, 100, 0)};
    refresh_contact_plan(planes);
    MatchState pushed = sweeps_agree_on_one_tick(planes, "onto an oblique plane");
    // The oblique plane moved it along (1, 1) after the first put it at y = 85.
    CHECK(pushed.discs[1].pos.x > 20.0);

    MatchState walls = states::make(states::ball_at({-400, -400}), {}, {player(RED, {0, 250})});
    walls.segments = {straight({500, 100}, {-500, 100}, 200, 0), straight({-50, 95}, {50, 95}, 0, 0)};
    refresh_contact_plan(walls);
    MatchState caught = sweeps_agree_on_one_tick(walls, "onto a segment");
    // The deep wall put it at y = 85; the segment 10 units above it pushed
    // it to y = 80.
    CHECK_BITS(caught.discs[1].pos.y, 80.0);
}

// A run of ticks that starts at kickoff with the barrier masks not yet set
// (as a write from outside can leave them) gets them from the game flow after
// its first tick, and from then on a player that was clear of every wall its
// masks met must meet the barrier: what the run kept of it has to be worked
// out again for the new masks.
TEST(a_run_meets_walls_that_masks_set_within_it_select) {
    MatchState start = classic(1, 1);
    start.phase = GamePhase::Kickoff;
    start.kickoff_team = RED;
    Disc& blue = slot(start, 1);
    REQUIRE(blue.team == BLUE);
    blue.pos = {20, 100};  // 5 units from the centre line, 25 from the circle
    blue.vel = {-2, 0};
    slot(start, 0).pos = {-300, 0};
    for (std::size_t j = 0; j < start.n_players; ++j) slot(start, j).cMask = PLAYER_CMASK;
    const std::vector<PlayerAction> actions = {{0, 0, 0}, {-1, 0, 0}};
    MatchState fast = start;
    MatchState plain = start;
    tick_repeatedly(fast, actions.data(), actions.size(), 4, Sweep::fast);
    tick_repeatedly(plain, actions.data(), actions.size(), 4, Sweep::plain);
    CHECK_EQ(states::hash(fast), states::hash(plain));
    // The barrier held the player at the centre line.
    CHECK(slot(plain, 1).pos.x >= 15.0 - 1e-9);
    CHECK(slot(plain, 1).pos.x < 16.0);
}
