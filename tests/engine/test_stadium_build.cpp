// Compiling stadium texts into a match at kickoff: the classic stadium's
// figures, the frame change, the defaults of each kind, trait merging, the
// arc data of curved walls, the ball's source and every error in its order.
#include <cmath>
#include <string>
#include <string_view>

#include "check.hpp"
#include "engine_fault.hpp"
#include "stadium.hpp"

namespace {

struct Built {
    bool ok;
    MatchState state;
    std::string error;
};

Built build(std::string_view text, std::uint64_t n_red = 1, std::uint64_t n_blue = 1) {
    Built b{};
    b.ok = build_match_state(text, n_red, n_blue, b.state, b.error);
    return b;
}

// One segment between the file points (0, 0) and (100, 0), with extra keys.
Segment one_segment(const std::string& extra) {
    const Built b = build(R"({"vertexes": [{"x": 0, "y": 0}, {"x": 100, "y": 0}],
                               "segments": [{"v0": 0, "v1": 1)" +
                          extra + "}]}");
    if (!b.ok || b.state.segments.size() != 1) {
        check::fail(__FILE__, __LINE__, "segment did not build: " + b.error);
        throw check::Stop{};
    }
    return b.state.segments[0];
}

void check_vec(Vec2 v, double x, double y, int line) {
    if (!check::same_bits(v.x, x) || !check::same_bits(v.y, y)) {
        check::fail(
            __FILE__, line,
            "(" + check::show(v.x) + ", " + check::show(v.y) + ") != (" + check::show(x) + ", " + check::show(y) + ")");
    }
}
#define CHECK_VEC(v, x, y) check_vec((v), (x), (y), __LINE__)

bool straight(const Segment& s) {
    return s.curve == 0.0 && s.cr == 0.0 && s.c.x == 0.0 && s.c.y == 0.0 && s.t0.x == 0.0 && s.t0.y == 0.0 &&
           s.t1.x == 0.0 && s.t1.y == 0.0;
}

}  // namespace

TEST(classic_discs_and_counts) {
    const Built b = build(classic_stadium_text(), 2, 3);
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    CHECK_EQ(m.first_player, std::uint64_t{5});
    CHECK_EQ(m.discs.size(), std::size_t{10});
    CHECK_EQ(m.segments.size(), std::size_t{14});
    CHECK_EQ(m.planes.size(), std::size_t{6});
    CHECK_EQ(m.goals.size(), std::size_t{2});
    CHECK(m.red_spawn_points.empty() && m.blue_spawn_points.empty());
    CHECK_BITS(m.spawn_distance, 277.5);

    const Disc& ball = m.discs[0];
    CHECK_BITS(ball.radius, 10.0);
    CHECK_BITS(ball.invMass, 1.0);
    CHECK_BITS(ball.damping, 0.99);
    CHECK_BITS(ball.bCoef, 0.5);
    CHECK_EQ(ball.cGroup, std::uint64_t{193});
    CHECK_EQ(ball.cMask, std::uint64_t{63});
    CHECK_EQ(ball.team, std::uint64_t{0});

    const double post_x[] = {370, 370, -370, -370};
    const double post_y[] = {64, -64, 64, -64};
    for (int i = 0; i < 4; ++i) {
        const Disc& post = m.discs[1 + i];
        CHECK_VEC(post.pos, post_x[i], post_y[i]);
        CHECK_VEC(post.vel, 0.0, 0.0);
        CHECK_BITS(post.radius, 8.0);
        CHECK_BITS(post.invMass, 0.0);
        CHECK_BITS(post.damping, 0.99);
        CHECK_BITS(post.bCoef, 0.5);
        CHECK_EQ(post.cGroup, std::uint64_t{63});
        CHECK_EQ(post.cMask, std::uint64_t{63});
        CHECK_BITS(post.kickStrength, 0.0);
        CHECK_EQ(post.team, std::uint64_t{0});
    }
}

TEST(classic_segments) {
    const Built b = build(classic_stadium_text());
    REQUIRE(b.ok);
    const std::vector<Segment>& s = b.state.segments;
    REQUIRE(s.size() == 14);

    CHECK_VEC(s[0].v0, 400, 42);
    CHECK_VEC(s[0].v1, 378, 64);
    CHECK_VEC(s[0].c, 378, 42);
    CHECK_BITS(s[0].cr, 22.0);
    CHECK_VEC(s[0].t0, 0, 22);
    CHECK_VEC(s[0].t1, 22, 0);
    CHECK_BITS(s[0].curve, 1.0000000000000002);
    CHECK_BITS(s[0].bias, 0.0);
    CHECK_BITS(s[0].bCoef, 0.1);
    CHECK_EQ(s[0].cGroup, std::uint64_t{32});
    CHECK_EQ(s[0].cMask, std::uint64_t{1});

    CHECK_VEC(s[1].v0, 400, -42);
    CHECK_VEC(s[1].v1, 400, 42);
    CHECK(straight(s[1]));
    CHECK_BITS(s[1].bCoef, 0.1);

    CHECK_VEC(s[8].v0, 0, -75);
    CHECK_VEC(s[8].v1, 0, 75);
    CHECK_BITS(s[8].curve, 6.123233995736766e-17);
    CHECK_BITS(s[8].cr, 75.0);
    CHECK_VEC(s[8].c, -4.592425496802574e-15, 0.0);
    CHECK_EQ(s[8].cGroup, std::uint64_t{8});
    CHECK_EQ(s[8].cMask, std::uint64_t{6});
    CHECK_VEC(s[9].v0, 0, 75);
    CHECK_VEC(s[9].v1, 0, -75);
    CHECK_VEC(s[9].c, 4.592425496802574e-15, 0.0);
    CHECK_EQ(s[9].cGroup, std::uint64_t{16});

    // The centre line halves are in both kickoff groups; the ball-only walls
    // beside the goals take the segment defaults for bounce and group.
    CHECK_EQ(s[6].cGroup, std::uint64_t{24});
    CHECK_VEC(s[6].v0, 0, 200);
    CHECK_VEC(s[6].v1, 0, 75);
    for (int i = 10; i < 14; ++i) {
        CHECK(straight(s[i]));
        CHECK_BITS(s[i].bCoef, 1.0);
        CHECK_EQ(s[i].cGroup, std::uint64_t{32});
        CHECK_EQ(s[i].cMask, std::uint64_t{1});
    }
    CHECK_VEC(s[13].v0, -370, 64);
    CHECK_VEC(s[13].v1, -370, 170);
}

TEST(classic_planes_and_goals) {
    const Built b = build(classic_stadium_text());
    REQUIRE(b.ok);
    const std::vector<Plane>& p = b.state.planes;
    REQUIRE(p.size() == 6);
    CHECK_VEC(p[0].normal, 0, -1);
    CHECK_BITS(p[0].dist, -200.0);
    CHECK_BITS(p[0].bCoef, 0.0);
    CHECK_EQ(p[0].cGroup, std::uint64_t{32});
    CHECK_EQ(p[0].cMask, std::uint64_t{63});
    CHECK_VEC(p[3].normal, -1, -0.0);
    CHECK_BITS(p[3].dist, -420.0);
    CHECK_VEC(p[5].normal, 0, 1);
    CHECK_BITS(p[5].dist, -170.0);
    CHECK_BITS(p[5].bCoef, 1.0);
    CHECK_EQ(p[5].cMask, std::uint64_t{1});

    const std::vector<Goal>& g = b.state.goals;
    REQUIRE(g.size() == 2);
    CHECK_VEC(g[0].p0, 370, 64);
    CHECK_VEC(g[0].p1, 370, -64);
    CHECK_EQ(g[0].team, BLUE);
    CHECK_VEC(g[1].p0, -370, 64);
    CHECK_VEC(g[1].p1, -370, -64);
    CHECK_EQ(g[1].team, RED);
}

TEST(a_new_match_stands_at_kickoff) {
    const Built b = build(classic_stadium_text(), 3, 2);
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    CHECK_EQ(m.n_players, std::uint64_t{5});
    CHECK_EQ(m.kick_flag.size(), std::size_t{5});
    CHECK_EQ(m.kick_held.size(), std::size_t{5});
    CHECK_EQ(m.kick_cooldown.size(), std::size_t{5});
    CHECK_EQ(m.kick_budget.size(), std::size_t{5});
    CHECK(m.phase == GamePhase::Kickoff);
    CHECK_EQ(m.kickoff_team, RED);
    CHECK_EQ(m.steps, std::uint64_t{0});
    CHECK_EQ(m.kick_rate_limit.min, std::int64_t{2});
    CHECK_EQ(m.kick_rate_limit.cost, std::int64_t{0});
    CHECK_EQ(m.kick_rate_limit.cap, std::int64_t{1});
    CHECK_EQ(m.red_score, 0u);
    CHECK_EQ(m.blue_score, 0u);
    CHECK_VEC(m.discs[0].pos, 0, 0);
    const double y[] = {0, -55, 55};
    for (int j = 0; j < 5; ++j) {
        const Disc& p = m.discs[5 + j];
        const bool red = j < 3;
        CHECK_EQ(p.team, red ? RED : BLUE);
        CHECK_EQ(p.cGroup, red ? RED : BLUE);
        CHECK_EQ(p.cMask, std::uint64_t{39});
        CHECK_VEC(p.pos, red ? -277.5 : 277.5, y[red ? j : j - 3]);
        CHECK_BITS(p.radius, 15.0);
        CHECK_BITS(p.invMass, 0.5);
        CHECK_BITS(p.damping, 0.96);
        CHECK_BITS(p.bCoef, 0.5);
        CHECK_BITS(p.acceleration, 0.1);
        CHECK_BITS(p.kickingAcceleration, 0.07);
        CHECK_BITS(p.kickingDamping, 0.96);
        CHECK_BITS(p.kickStrength, 5.0);
        CHECK_BITS(p.kickback, 0.0);
    }
}

TEST(the_empty_stadium_and_its_defaults) {
    const Built b = build("{}", 0, 1);
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    CHECK_EQ(m.first_player, std::uint64_t{1});
    CHECK_EQ(m.discs.size(), std::size_t{2});
    CHECK(m.segments.empty() && m.planes.empty() && m.goals.empty());
    CHECK_BITS(m.spawn_distance, 277.5);
    CHECK_BITS(m.discs[0].radius, 10.0);
    CHECK_EQ(m.discs[0].cGroup, std::uint64_t{193});
    // With no red players, slot 0 is the first blue one.
    CHECK_EQ(m.discs[1].team, BLUE);
    CHECK_VEC(m.discs[1].pos, 277.5, 0);
}

TEST(defaults_of_each_kind_of_object) {
    const Built b = build(R"({"vertexes": [{"x": 0, "y": 0}, {"x": 1, "y": 0}],
                              "segments": [{"v0": 0, "v1": 1}], "planes": [{"normal": [1, 0], "dist": 0}],
                              "discs": [{}]})");
    REQUIRE(b.ok);
    const Disc& d = b.state.discs[1];
    CHECK_VEC(d.pos, 0, 0);
    CHECK_BITS(d.radius, 10.0);
    CHECK_BITS(d.invMass, 1.0);
    CHECK_BITS(d.damping, 0.99);
    CHECK_BITS(d.bCoef, 0.5);
    CHECK_EQ(d.cGroup, std::uint64_t{63});
    CHECK_EQ(d.cMask, std::uint64_t{63});
    CHECK_BITS(d.acceleration, 0.0);
    const Segment& s = b.state.segments[0];
    CHECK_BITS(s.bCoef, 1.0);
    CHECK_BITS(s.bias, -0.0);  // an absent bias is 0, its sign turned with the frame
    CHECK_EQ(s.cGroup, std::uint64_t{32});
    CHECK_EQ(s.cMask, std::uint64_t{63});
    const Plane& p = b.state.planes[0];
    CHECK_BITS(p.bCoef, 1.0);
    CHECK_EQ(p.cGroup, std::uint64_t{32});
    CHECK_EQ(p.cMask, std::uint64_t{63});
}

TEST(values_given_in_the_file) {
    const Built b = build(R"({
        "spawnDistance": 100,
        "playerPhysics": {"radius": 1, "invMass": 2, "damping": 3, "bCoef": 4, "acceleration": 5,
                          "kickingAcceleration": 6, "kickingDamping": 7, "kickStrength": 8,
                          "kickback": 9, "cMask": ["ball"], "cGroup": ["ball"]},
        "ballPhysics": {"radius": -1, "invMass": 0, "damping": 2, "bCoef": 3,
                        "cMask": ["red"], "cGroup": [], "bias": 4, "curve": 5},
        "discs": [{"pos": [10, 20], "radius": 0, "invMass": -2, "damping": 1, "bCoef": 2,
                   "cGroup": ["red"], "cMask": [], "bias": 3, "curve": 4}],
        "planes": [{"normal": [0.6, 0.8], "dist": -5, "bCoef": 0.25, "cGroup": ["ball"], "cMask": ["kick"]}],
        "redSpawnPoints": [[-100, 30]], "blueSpawnPoints": [[5, -6], [7, 8]]
    })",
                          1, 2);
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    const Disc& ball = m.discs[0];
    CHECK_BITS(ball.radius, -1.0);
    CHECK_BITS(ball.invMass, 0.0);
    CHECK_BITS(ball.damping, 2.0);
    CHECK_BITS(ball.bCoef, 3.0);
    CHECK_EQ(ball.cGroup, std::uint64_t{193});
    CHECK_EQ(ball.cMask, std::uint64_t{63});
    const Disc& d = m.discs[1];
    CHECK_VEC(d.pos, 10, -20);
    CHECK_BITS(d.radius, 0.0);
    CHECK_BITS(d.invMass, -2.0);
    CHECK_EQ(d.cGroup, std::uint64_t{2});
    CHECK_EQ(d.cMask, std::uint64_t{0});
    for (std::size_t j = 0; j < 3; ++j) {
        const Disc& p = m.discs[2 + j];
        CHECK_BITS(p.radius, 1.0);
        CHECK_BITS(p.invMass, 2.0);
        CHECK_BITS(p.damping, 3.0);
        CHECK_BITS(p.bCoef, 4.0);
        CHECK_BITS(p.acceleration, 5.0);
        CHECK_BITS(p.kickingAcceleration, 6.0);
        CHECK_BITS(p.kickingDamping, 7.0);
        CHECK_BITS(p.kickStrength, 8.0);
        CHECK_BITS(p.kickback, 9.0);
        CHECK_EQ(p.cMask, std::uint64_t{39});
    }
    CHECK_VEC(m.planes[0].normal, 0.6, -0.8);
    CHECK_BITS(m.planes[0].dist, -5.0);
    CHECK_BITS(m.planes[0].bCoef, 0.25);
    CHECK_EQ(m.planes[0].cGroup, std::uint64_t{1});
    CHECK_EQ(m.planes[0].cMask, std::uint64_t{64});
    REQUIRE(m.red_spawn_points.size() == 1 && m.blue_spawn_points.size() == 2);
    CHECK_VEC(m.red_spawn_points[0], -100, -30);
    CHECK_VEC(m.blue_spawn_points[1], 7, -8);
    CHECK_BITS(m.spawn_distance, 100.0);
    // The kickoff reset used the spawn points.
    CHECK_VEC(m.discs[2].pos, -100, -30);
    CHECK_VEC(m.discs[3].pos, 5, 6);
    CHECK_VEC(m.discs[4].pos, 7, -8);
}

TEST(arc_data_of_a_quarter_circle_both_ways) {
    const Segment pos = one_segment(R"(, "curve": 90, "bias": 3)");
    CHECK_VEC(pos.v0, 100, -0.0);  // the file's y of 0 turns to -0
    CHECK_VEC(pos.v1, 0, -0.0);
    CHECK_VEC(pos.c, 50, -50.000000000000014);
    CHECK_BITS(pos.cr, 70.71067811865477);
    CHECK_VEC(pos.t0, -50.000000000000014, 50);
    CHECK_VEC(pos.t1, 50.000000000000014, 50);
    CHECK_BITS(pos.curve, 1.0000000000000002);
    CHECK_BITS(pos.bias, 3.0);

    const Segment neg = one_segment(R"(, "curve": -90, "bias": 3)");
    CHECK_VEC(neg.v0, 0, -0.0);
    CHECK_VEC(neg.v1, 100, -0.0);
    CHECK_VEC(neg.c, 50, 50.000000000000014);
    CHECK_BITS(neg.cr, 70.71067811865477);
    CHECK_VEC(neg.t0, 50.000000000000014, -50);
    CHECK_VEC(neg.t1, -50.000000000000014, -50);
    CHECK_BITS(neg.curve, 1.0000000000000002);
    CHECK_BITS(neg.bias, -3.0);
}

TEST(arcs_beyond_half_a_circle_turn_their_boundaries) {
    const Segment pos = one_segment(R"(, "curve": 270)");
    CHECK_BITS(pos.curve, -0.9999999999999998);
    CHECK_VEC(pos.v0, 100, -0.0);
    CHECK_VEC(pos.c, 50, 49.999999999999986);
    CHECK_BITS(pos.cr, 70.71067811865474);
    // (c.y - v0.y, v0.x - c.x) and (v1.y - c.y, c.x - v1.x), negated.
    CHECK_VEC(pos.t0, -49.999999999999986, -50);
    CHECK_VEC(pos.t1, 49.999999999999986, -50);

    const Segment neg = one_segment(R"(, "curve": -270)");
    CHECK_BITS(neg.curve, -0.9999999999999998);
    CHECK_VEC(neg.v0, 0, -0.0);
    CHECK_VEC(neg.v1, 100, -0.0);
    CHECK_VEC(neg.c, 50, -49.999999999999986);
}

TEST(which_curves_make_arcs_and_which_ends_come_first) {
    const struct {
        const char* curve;  // JSON value, or empty for no key
        bool arc;
        bool swapped;
    } cases[] = {
        {"", false, false},       {"0", false, false},    {"-0", false, false},    {"5", false, true},
        {"-5", false, false},     {"9.99", false, true},  {"-9.99", false, false}, {"10", true, true},
        {"-10", true, false},     {"339", true, true},    {"340", false, true},    {"-340", false, false},
        {"350", false, true},     {"-350", false, false}, {"180", true, true},     {"1e300", false, true},
        {"-1e300", false, false},
    };
    for (const auto& c : cases) {
        const std::string extra = std::string(*c.curve ? R"(, "curve": )" : "") + c.curve + R"(, "bias": 2)";
        const Segment s = one_segment(extra);
        CHECK_EQ(!straight(s), c.arc);
        CHECK_BITS(s.v0.x, c.swapped ? 100.0 : 0.0);
        CHECK_BITS(s.bias, c.swapped ? 2.0 : -2.0);
        if (!c.arc && !straight(s)) check::fail(__FILE__, __LINE__, std::string("curve ") + c.curve);
    }
}

TEST(a_curve_factor_without_a_curve_is_straight) {
    const Segment s = one_segment(R"(, "curveF": 1.0)");
    CHECK(straight(s));
}

TEST(traits_merge_under_the_objects_own_keys) {
    const Built b = build(R"({
        "traits": {
            "post": {"radius": 3, "cMask": ["ball"], "bCoef": 0.25, "invMass": 0},
            "wall": {"bCoef": 2, "cGroup": ["redKO"], "curve": 90, "bias": 1}
        },
        "vertexes": [{"x": 0, "y": 0}, {"x": 100, "y": 0}],
        "segments": [{"v0": 0, "v1": 1, "trait": "wall"},
                     {"v0": 0, "v1": 1, "trait": "wall", "curve": 0, "cGroup": ["blueKO", "red"]}],
        "planes": [{"normal": [1, 0], "dist": 0, "trait": "wall"}],
        "discs": [{"trait": "post", "radius": 5},
                  {"trait": "post", "cMask": ["red"]},
                  {"trait": "none", "radius": 6},
                  {"trait": "post", "cMask": []}]
    })");
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    CHECK_BITS(m.discs[1].radius, 5.0);
    CHECK_EQ(m.discs[1].cMask, std::uint64_t{1});
    CHECK_BITS(m.discs[1].bCoef, 0.25);
    CHECK_BITS(m.discs[1].invMass, 0.0);
    CHECK_BITS(m.discs[2].radius, 3.0);
    CHECK_EQ(m.discs[2].cMask, std::uint64_t{2});  // the own list replaces the trait's
    CHECK_BITS(m.discs[3].radius, 6.0);            // an unknown trait adds nothing
    CHECK_BITS(m.discs[3].invMass, 1.0);
    CHECK_EQ(m.discs[3].cMask, std::uint64_t{63});
    CHECK_EQ(m.discs[4].cMask, std::uint64_t{0});  // an empty own list still replaces
    CHECK(!straight(m.segments[0]));               // the trait's curve
    CHECK_BITS(m.segments[0].bias, 1.0);
    CHECK_BITS(m.segments[0].bCoef, 2.0);
    CHECK_EQ(m.segments[0].cGroup, std::uint64_t{8});
    CHECK(straight(m.segments[1]));
    CHECK_BITS(m.segments[1].bias, -1.0);
    CHECK_EQ(m.segments[1].cGroup, std::uint64_t{18});
    CHECK_BITS(m.planes[0].bCoef, 2.0);
    CHECK_EQ(m.planes[0].cGroup, std::uint64_t{8});
}

TEST(the_ball_from_a_disc) {
    const Built b = build(R"({
        "traits": {"heavy": {"invMass": 0.25, "damping": 0.5}},
        "discs": [{"pos": [1, 1]}, {"pos": [2, 2], "radius": 7},
                  {"pos": [3, 3], "trait": "heavy", "radius": 4, "cMask": ["red"], "cGroup": ["red"]}],
        "ballPhysics": "disc2"
    })");
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    CHECK_EQ(m.first_player, std::uint64_t{3});
    const Disc& ball = m.discs[0];
    CHECK_VEC(ball.pos, 0, 0);
    CHECK_BITS(ball.radius, 4.0);
    CHECK_BITS(ball.invMass, 0.25);
    CHECK_BITS(ball.damping, 0.5);
    CHECK_BITS(ball.bCoef, 0.5);
    CHECK_EQ(ball.cGroup, std::uint64_t{193});
    CHECK_EQ(ball.cMask, std::uint64_t{63});
    CHECK_VEC(m.discs[1].pos, 1, -1);
    CHECK_VEC(m.discs[2].pos, 2, -2);
    CHECK_BITS(m.discs[2].radius, 7.0);
}

TEST(disc_references) {
    const std::string three = R"(, "discs": [{"radius": 1}, {"radius": 2}, {"radius": 3}]})";
    const struct {
        std::string ref;     // JSON string body
        const char* result;  // radius of the ball, or the error
    } cases[] = {
        {"disc2", "3"},
        {"disc+2", "3"},
        {"disc0", "1"},
        {"disc002", "3"},
        {"disc3", "ballPhysics disc3 references a missing disc"},
        {"disc007", "ballPhysics disc007 references a missing disc"},
        {"disc18446744073709551615", "ballPhysics disc18446744073709551615 references a missing disc"},
        {"disc18446744073709551616", "ballPhysics ref \"disc18446744073709551616\" is not 'discN'"},
        {"disc99999999999999999999", "ballPhysics ref \"disc99999999999999999999\" is not 'discN'"},
        {"ball", "ballPhysics ref \"ball\" is not 'discN'"},
        {"disc", "ballPhysics ref \"disc\" is not 'discN'"},
        {"disc+", "ballPhysics ref \"disc+\" is not 'discN'"},
        {"disc-1", "ballPhysics ref \"disc-1\" is not 'discN'"},
        {"disc++1", "ballPhysics ref \"disc++1\" is not 'discN'"},
        {"disc 1", "ballPhysics ref \"disc 1\" is not 'discN'"},
        {"disc1 ", "ballPhysics ref \"disc1 \" is not 'discN'"},
        {"Disc1", "ballPhysics ref \"Disc1\" is not 'discN'"},
        {"", "ballPhysics ref \"\" is not 'discN'"},
        {"disc\\u0661", "ballPhysics ref \"disc\xd9\xa1\" is not 'discN'"},  // a non-ASCII digit
        {R"(a\"b\\c)", R"(ballPhysics ref "a\"b\\c" is not 'discN')"},
        {R"(x\ny\u0000\u001b)", R"(ballPhysics ref "x\ny\0\u{1b}" is not 'discN')"},
    };
    for (const auto& c : cases) {
        const Built b = build(R"({"ballPhysics": ")" + c.ref + "\"" + three);
        if (std::string(c.result).size() == 1) {
            REQUIRE(b.ok);
            CHECK_BITS(b.state.discs[0].radius, std::stod(c.result));
            CHECK_EQ(b.state.discs.size(), std::size_t{5});  // ball, two obstacles, two players
        } else {
            CHECK(!b.ok);
            CHECK_EQ(b.error, std::string(c.result));
        }
    }
    const Built empty = build(R"({"ballPhysics": "disc0", "discs": []})");
    CHECK_EQ(empty.error, std::string("ballPhysics disc0 references a missing disc"));
}

TEST(missing_vertexes) {
    std::string twenty = R"({"vertexes": [)";
    for (int i = 0; i < 20; ++i) twenty += std::string(i ? "," : "") + R"({"x": 0, "y": 0})";
    twenty += "], ";
    const struct {
        std::string segments;
        const char* error;
    } cases[] = {
        {R"([{"v0": 0, "v1": 20}])", "segment references missing vertex 0 / 20"},
        {R"([{"v0": 19, "v1": 19}, {"v0": 25, "v1": 3}, {"v0": 0, "v1": 30}])",
         "segment references missing vertex 25 / 3"},
        {R"([{"v0": 18446744073709551615, "v1": 0}])", "segment references missing vertex 18446744073709551615 / 0"},
        {R"([{"v0": 19, "v1": 0}])", nullptr},
    };
    for (const auto& c : cases) {
        const Built b = build(twenty + R"("segments": )" + c.segments + "}");
        CHECK_EQ(b.ok, c.error == nullptr);
        if (c.error) CHECK_EQ(b.error, std::string(c.error));
    }
    CHECK_EQ(build(R"({"segments": [{"v0": 0, "v1": 0}]})").error,
             std::string("segment references missing vertex 0 / 0"));
}

TEST(errors_come_in_their_order) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        // A reading error anywhere comes before the ball and the vertex checks.
        {R"({"ballPhysics": "ball", "segments": [{"v0": 1, "v1": 1}], "planes": 1})",
         "bad .zsm JSON: invalid type at planes: expected a list of objects, found the number 1"},
        {R"({"ballPhysics": "ball", "segments": [{"v0": 1, "v1": 1}], "x": })",
         "bad .zsm JSON: parse error at line 1, column 64: syntax error while parsing value - "
         "unexpected '}'; expected '[', '{', or a literal"},
        {R"({"segments": [{"v0": 1, "v1": 1}], "ballPhysics": "ball"})", "ballPhysics ref \"ball\" is not 'discN'"},
        {R"({"segments": [{"v0": 1, "v1": 1}], "ballPhysics": "disc1"})",
         "ballPhysics disc1 references a missing disc"},
        {R"({"segments": [{"v0": 1, "v1": 1}], "ballPhysics": "disc0", "discs": [{}]})",
         "segment references missing vertex 1 / 1"},
    };
    for (const auto& c : cases) CHECK_EQ(build(c.text).error, std::string(c.error));
}

TEST(goal_teams) {
    const struct {
        const char* team;
        Team value;
    } cases[] = {{"red", RED}, {"blue", BLUE}, {"Red", NO_TEAM}, {"", NO_TEAM}, {"spectator", NO_TEAM}};
    for (const auto& c : cases) {
        const Built b = build(std::string(R"({"goals": [{"p0": [1, 2], "p1": [3, 4], "team": ")") + c.team + "\"}]}");
        REQUIRE(b.ok);
        CHECK_EQ(b.state.goals[0].team, c.value);
        CHECK_VEC(b.state.goals[0].p0, 1, -2);
        CHECK_VEC(b.state.goals[0].p1, 3, -4);
    }
}

TEST(a_failed_build_leaves_the_state_alone) {
    Built before = build(classic_stadium_text());
    REQUIRE(before.ok);
    MatchState state = before.state;
    std::string error = "untouched";
    for (const char* bad : {"{", R"({"ballPhysics": "x"})", R"({"segments": [{"v0": 0, "v1": 0}]})"}) {
        CHECK(!build_match_state(bad, 5, 5, state, error));
        CHECK_EQ(state.discs.size(), before.state.discs.size());
        CHECK_EQ(state.n_players, std::uint64_t{2});
        CHECK_EQ(state.segments.size(), std::size_t{14});
    }
    CHECK(error != "untouched");
    // And a success replaces every part of it.
    REQUIRE(build_match_state("{}", 1, 0, state, error));
    CHECK_EQ(state.discs.size(), std::size_t{2});
    CHECK(state.segments.empty() && state.planes.empty() && state.goals.empty());
    CHECK_EQ(state.kick_flag.size(), std::size_t{1});
}

TEST(player_counts_outside_the_contract_are_a_fault) {
    const struct {
        std::uint64_t red, blue;
    } cases[] = {{0, 0}, {33, 0}, {0, 33}, {20, 13}, {~std::uint64_t{0}, 2}, {2, ~std::uint64_t{0}}};
    for (const auto& c : cases) {
        bool thrown = false;
        try {
            build(classic_stadium_text(), c.red, c.blue);
        } catch (const EngineFault&) {
            thrown = true;
        }
        CHECK(thrown);
    }
    CHECK(build(classic_stadium_text(), 32, 0).ok);
    CHECK(build(classic_stadium_text(), 16, 16).ok);
}

TEST(every_feature_at_once) {
    const Built b = build(R"({
        "name": "Everything", "width": 500, "bg": {"type": "none", "deep": [[[[]]]]},
        "traits": {"w": {"bCoef": 0.5, "cMask": ["ball", "red"], "bias": -4},
                   "d": {"radius": 6, "cGroup": ["ball", "wall"]},
                   "w": {"bCoef": 0.75, "cMask": ["ball"], "bias": 5}},
        "vertexes": [{"x": -10, "y": 5, "trait": "w", "vis": true}, {"x": 10, "y": 5},
                     {"x": 0, "y": -5, "cMask": ["red"]}],
        "segments": [{"v0": 0, "v1": 1, "trait": "w", "curve": -90, "color": "000000"},
                     {"v0": 1, "v1": 2, "trait": "w", "bias": null, "cMask": ["all"]},
                     {"v0": 2, "v1": 0, "curve": 45, "bias": 2, "curveF": 3, "cGroup": []}],
        "planes": [{"normal": [0, 2], "dist": 30, "trait": "w"}, {"normal": [-3, 4], "dist": -1, "cGroup": ["blue"]}],
        "discs": [{"trait": "d", "pos": [0, 40]}, {"pos": [9, 9], "radius": 2}, {"trait": "d", "bCoef": 1}],
        "goals": [{"p0": [-20, 10], "p1": [-20, -10], "team": "red", "note": 1},
                  {"p0": [20, 10], "p1": [20, -10], "team": "blue"}],
        "spawnDistance": 50,
        "redSpawnPoints": [[-30, 0]],
        "blueSpawnPoints": [],
        "playerPhysics": {"radius": 12, "kickStrength": 6, "cGroup": ["ball"]},
        "ballPhysics": "disc+02"
    })",
                          2, 2);
    REQUIRE(b.ok);
    const MatchState& m = b.state;
    REQUIRE(m.discs.size() == 1 + 2 + 4);
    CHECK_EQ(m.first_player, std::uint64_t{3});
    CHECK_BITS(m.discs[0].radius, 6.0);
    CHECK_BITS(m.discs[0].bCoef, 1.0);
    CHECK_EQ(m.discs[0].cGroup, std::uint64_t{193});
    CHECK_VEC(m.discs[1].pos, 0, -40);
    CHECK_EQ(m.discs[1].cGroup, std::uint64_t{33});
    CHECK_BITS(m.discs[2].radius, 2.0);
    CHECK_EQ(m.discs[2].cGroup, std::uint64_t{63});

    REQUIRE(m.segments.size() == 3);
    CHECK_BITS(m.segments[0].bCoef, 0.75);  // the later "w" entry
    CHECK_EQ(m.segments[0].cMask, std::uint64_t{1});
    CHECK_VEC(m.segments[0].v0, -10, -5);
    CHECK_VEC(m.segments[0].v1, 10, -5);
    CHECK_BITS(m.segments[0].bias, -5.0);
    CHECK(!straight(m.segments[0]));
    CHECK_BITS(m.segments[1].bias, -5.0);  // a null bias leaves the trait's
    CHECK_EQ(m.segments[1].cMask, std::uint64_t{63});
    CHECK(straight(m.segments[1]));
    CHECK_VEC(m.segments[2].v0, -10, -5);  // curve 45: the ends swapped
    CHECK_BITS(m.segments[2].bias, 2.0);
    CHECK_EQ(m.segments[2].cGroup, std::uint64_t{0});
    CHECK_BITS(m.segments[2].curve, 2.414213562373095);  // 1 / tan(22.5 degrees)

    REQUIRE(m.planes.size() == 2);
    CHECK_VEC(m.planes[0].normal, 0, -2);
    CHECK_BITS(m.planes[0].bCoef, 0.75);
    CHECK_VEC(m.planes[1].normal, -3, -4);
    CHECK_EQ(m.planes[1].cGroup, std::uint64_t{4});
    CHECK_EQ(m.planes[1].cMask, std::uint64_t{63});

    REQUIRE(m.goals.size() == 2);
    CHECK_EQ(m.goals[0].team, RED);
    CHECK_VEC(m.goals[1].p0, 20, -10);

    CHECK_BITS(m.spawn_distance, 50.0);
    CHECK_VEC(m.discs[3].pos, -30, -0.0);
    CHECK_VEC(m.discs[4].pos, -50, -55);  // the second red player falls back to k = 1
    CHECK_VEC(m.discs[5].pos, 50, 0);
    CHECK_VEC(m.discs[6].pos, 50, -55);
    CHECK_BITS(m.discs[6].radius, 12.0);
    CHECK_BITS(m.discs[6].kickStrength, 6.0);
    CHECK_EQ(m.discs[6].cGroup, BLUE);
}
