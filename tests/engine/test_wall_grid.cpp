// The wall grid may leave a wall out of a cell only where no disc that fits
// the grid, centred anywhere in the cell or up to the grid's drift outside
// it, could touch it: checked against the
// contact arithmetic itself at many centres near every wall and on cell
// borders, and the grid must still leave most walls out where they are far.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "collision.hpp"
#include "contact_plan.hpp"
#include "stadium.hpp"
#include "states.hpp"
#include "tick.hpp"

using states::arc;
using states::plane;
using states::player;
using states::SplitMix64;
using states::straight;

namespace {

bool listed(const std::uint64_t* words, std::size_t i) { return ((words[i / 64] >> (i % 64)) & 1) != 0; }

double uniform(SplitMix64& rng, double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(rng.next() >> 11) * 0x1.0p-53;
}

// Whether the tick's test of this wall would change a disc at pos.
bool plane_touches(const Plane& p, Vec2 unit_normal, Vec2 pos, double radius) {
    Vec2 vel = {0.5, -0.25};
    return disc_plane_unit(pos, unit_normal, vel, p.dist, radius, 0.5, p.bCoef);
}
bool segment_touches(const Segment& s, const StraightAxis& axis, Vec2 pos, double radius) {
    Vec2 vel = {0.5, -0.25};
    return disc_segment(pos, vel, radius, 0.5, s, axis);
}

// Centres to try: near the walls' ends, their midpoints and their circles,
// on and around the cell borders, and anywhere in the grid.
std::vector<Vec2> probe_centres(const MatchState& s, const WallGrid& grid, SplitMix64& rng) {
    std::vector<Vec2> anchors;
    for (const Segment& seg : s.segments) {
        anchors.push_back(seg.v0), anchors.push_back(seg.v1);
        anchors.push_back((seg.v0 + seg.v1) * 0.5);
        if (seg.curve != 0.0) {
            for (int k = 0; k < 16; ++k) {
                const double a = 0.39269908169872414 * k;
                anchors.push_back(seg.c + Vec2{std::cos(a), std::sin(a)} * seg.cr);
            }
        }
    }
    for (const Plane& p : s.planes) {
        const double len = std::sqrt(dot(p.normal, p.normal));
        const Vec2 n = p.normal * (1.0 / len);
        for (int k = -8; k <= 8; ++k) anchors.push_back(n * p.dist + Vec2{-n.y, n.x} * (40.0 * k));
    }
    std::vector<Vec2> centres;
    // Just inside the edge of each wall's reach, where a cell that misses
    // the wall by a little is caught.
    const double in = grid.reach - 1e-7;
    for (const Segment& seg : s.segments) {
        for (int k = 0; k < 400; ++k) {
            const double side = k % 2 == 0 ? in : -in;
            if (seg.curve == 0.0) {
                const Vec2 u = seg.v1 - seg.v0;
                const Vec2 n = Vec2{-u.y, u.x} * (1.0 / std::sqrt(dot(u, u)));
                centres.push_back(seg.v0 + u * uniform(rng, 0, 1) + n * side);
            } else {
                const double a = uniform(rng, 0, 6.283185307179586);
                centres.push_back(seg.c + Vec2{std::cos(a), std::sin(a)} * (seg.cr + side));
            }
        }
    }
    for (const Plane& p : s.planes) {
        const Vec2 n = p.normal * (1.0 / std::sqrt(dot(p.normal, p.normal)));
        for (int k = 0; k < 400; ++k) centres.push_back(n * (p.dist + in) + Vec2{-n.y, n.x} * uniform(rng, -400, 400));
    }
    const double cell = 1.0 / grid.inv_cell;
    for (const Vec2 a : anchors) {
        for (int k = 0; k < 60; ++k) centres.push_back(a + Vec2{uniform(rng, -25, 25), uniform(rng, -25, 25)});
        // Snapped to the nearest cell corner, and a hair either side of it.
        const Vec2 corner = {grid.x0 + std::round((a.x - grid.x0) / cell) * cell,
                             grid.y0 + std::round((a.y - grid.y0) / cell) * cell};
        for (const double dx : {-1e-9, 0.0, 1e-9}) {
            for (const double dy : {-1e-9, 0.0, 1e-9}) centres.push_back(corner + Vec2{dx, dy});
        }
    }
    const double w = cell * static_cast<double>(grid.nx);
    const double h = cell * static_cast<double>(grid.ny);
    for (int k = 0; k < 4000; ++k) centres.push_back({grid.x0 + uniform(rng, 0, w), grid.y0 + uniform(rng, 0, h)});
    return centres;
}

// Every contact the arithmetic finds is with a wall that the centre's cell
// lists; returns how many (centre, wall) tests the grid leaves out.
std::size_t check_grid_is_conservative(MatchState s, std::uint64_t seed) {
    refresh_contact_plan(s);
    const WallStatics& walls = *s.contact_plan.walls;
    const WallGrid& grid = walls.grid;
    REQUIRE(grid.nx > 0);
    SplitMix64 rng{seed};
    std::size_t left_out = 0;
    std::size_t contacts = 0;
    for (const Vec2 centre : probe_centres(s, grid, rng)) {
        for (const double radius : {grid.reach, grid.reach * 0.5, 0.0, -3.0}) {
            const std::uint64_t* near = grid.walls_near(centre, radius);
            for (std::size_t p = 0; p < s.planes.size(); ++p) {
                const bool touches = plane_touches(s.planes[p], walls.plane_normals[p], centre, radius);
                contacts += touches;
                if (!listed(near, p)) {
                    ++left_out;
                    if (touches) check::fail(__FILE__, __LINE__, "plane " + std::to_string(p) + " left out");
                }
            }
            for (std::size_t g = 0; g < s.segments.size(); ++g) {
                const bool touches = segment_touches(s.segments[g], walls.straight_axes[g], centre, radius);
                contacts += touches;
                if (!listed(near + grid.plane_words, g)) {
                    ++left_out;
                    if (touches) check::fail(__FILE__, __LINE__, "segment " + std::to_string(g) + " left out");
                }
            }
        }
    }
    CHECK(contacts > 1000);  // the centres do reach the walls

    // And every wall a cell leaves out, on a fine lattice over the whole
    // cell widened by the drift, its borders included, for the largest disc
    // the grid holds.
    REQUIRE(grid.drift > 0.0);
    const double cell = 1.0 / grid.inv_cell;
    const double span = cell + 2.0 * grid.drift;
    constexpr int STEPS = 24;
    for (std::size_t cy = 0; cy < grid.ny; ++cy) {
        for (std::size_t cx = 0; cx < grid.nx; ++cx) {
            const std::uint64_t* words = grid.cells.data() + (cy * grid.nx + cx) * grid.cell_words;
            const Vec2 corner = {grid.x0 + static_cast<double>(cx) * cell - grid.drift,
                                 grid.y0 + static_cast<double>(cy) * cell - grid.drift};
            for (int iy = 0; iy <= STEPS; ++iy) {
                for (int ix = 0; ix <= STEPS; ++ix) {
                    const Vec2 centre = corner + Vec2{ix * span / STEPS, iy * span / STEPS};
                    for (std::size_t p = 0; p < s.planes.size(); ++p) {
                        if (!listed(words, p) && plane_touches(s.planes[p], walls.plane_normals[p], centre, grid.reach))
                            check::fail(__FILE__, __LINE__, "plane " + std::to_string(p) + " left out of a cell");
                    }
                    for (std::size_t g = 0; g < s.segments.size(); ++g) {
                        if (!listed(words + grid.plane_words, g) &&
                            segment_touches(s.segments[g], walls.straight_axes[g], centre, grid.reach))
                            check::fail(__FILE__, __LINE__, "segment " + std::to_string(g) + " left out of a cell");
                    }
                }
            }
        }
    }
    return left_out;
}

// Walls of every kind: arcs of both signs and of more than half a turn,
// one-sided walls with biases of both signs (one deeper than the discs),
// oblique planes with normals of any length, and a segment across it all.
MatchState walls_of_every_kind() {
    MatchState s = states::make(states::ball_at({0, 0}), {states::obstacle({60, 40}, 9, 0.5)},
                                {player(RED, {-100, 0}), player(BLUE, {100, 0})});
    s.planes = {plane({0, 3}, -150), plane({0, -0.5}, -150), plane({3, 4}, -240), plane({-1, 1}, -260)};
    s.segments = {
        straight({-200, 120}, {200, 120}),     straight({200, -120}, {-200, -120}, 6),
        straight({-140, -60}, {-40, 30}, -4),  straight({40, 60}, {150, -20}, 40),
        arc({200, 120}, {240, 80}, 90),        arc({240, -80}, {200, -120}, -90, 3),
        arc({-240, 50}, {-240, -50}, 200, -5), arc({0, -40}, {0, 40}, 180),
        arc({0, 40}, {0, -40}, -120, 25),      straight({-30, 0}, {30, 5}),
    };
    return s;
}

}  // namespace

TEST(the_grid_lists_every_wall_a_disc_in_the_cell_could_touch) {
    const std::size_t left_out = check_grid_is_conservative(walls_of_every_kind(), 0x9e1d);
    CHECK(left_out > 10000);  // and it does leave walls out
}

// Walls whose reach ends a twentieth of a unit past a cell border: a cell
// that starts at that border must list them.
TEST(walls_that_reach_just_past_a_cell_border_are_listed) {
    MatchState s = walls_of_every_kind();
    refresh_contact_plan(s);
    const WallGrid grid = s.contact_plan.walls->grid;
    REQUIRE(grid.nx > 0);
    const double cell = 1.0 / grid.inv_cell;
    const double border_x = grid.x0 + 20 * cell;
    const double border_y = grid.y0 + 12 * cell;
    const double over = 0.05;
    // The grid is laid over the segment ends and the discs, so walls placed
    // within those leave it where it is.
    s.planes.push_back(plane({1, 0}, border_x - grid.reach + over));
    s.planes.push_back(plane({0, -2}, -(border_y + grid.reach - over)));
    s.segments.push_back(straight({-150, border_y - grid.reach + over}, {150, border_y - grid.reach + over}));
    s.segments.push_back(straight({border_x + grid.reach - over, -100}, {border_x + grid.reach - over, 100}));
    const Vec2 c = {border_x + 40, border_y - grid.reach - 30 + over};
    s.segments.push_back(arc(c + Vec2{30, 0}, c + Vec2{-30, 0}, 180));  // one of these two
    s.segments.push_back(arc(c + Vec2{-30, 0}, c + Vec2{30, 0}, 180));  // is the upper half
    forget_contact_plan(s);
    refresh_contact_plan(s);
    REQUIRE(s.contact_plan.walls->grid.x0 == grid.x0 && s.contact_plan.walls->grid.y0 == grid.y0);
    REQUIRE(s.contact_plan.walls->grid.inv_cell == grid.inv_cell);
    check_grid_is_conservative(s, 0xb0de);
}

TEST(the_classic_grid_lists_every_wall_it_could_touch) {
    for (const auto& [n_red, n_blue] : {std::pair{1, 1}, std::pair{3, 3}}) {
        MatchState s;
        std::string error;
        REQUIRE(build_match_state(classic_stadium_text(), n_red, n_blue, s, error));
        check_grid_is_conservative(s, 0xc1a551c + static_cast<std::uint64_t>(n_red));
        // At the centre spot no wall is within reach of a player or the ball.
        const WallGrid& grid = s.contact_plan.walls->grid;
        const std::uint64_t* centre = grid.walls_near({0, 0}, grid.reach);
        for (std::size_t w = 0; w < grid.cell_words; ++w) CHECK_EQ(centre[w], std::uint64_t{0});
    }
}

TEST(centres_outside_the_grid_and_odd_radii_get_every_wall) {
    MatchState s = walls_of_every_kind();
    refresh_contact_plan(s);
    const WallGrid& grid = s.contact_plan.walls->grid;
    REQUIRE(grid.nx > 0);
    const double nan = std::nan("");
    const std::uint64_t* everything = grid.everything.data();
    CHECK(grid.walls_near({0, 0}, grid.reach) != everything);
    CHECK(grid.walls_near({1e6, 0}, grid.reach) == everything);
    CHECK(grid.walls_near({0, -1e6}, grid.reach) == everything);
    CHECK(grid.walls_near({nan, 0}, grid.reach) == everything);
    CHECK(grid.walls_near({0, nan}, grid.reach) == everything);
    CHECK(grid.walls_near({0, 0}, grid.reach * 1.0000001) == everything);
    CHECK(grid.walls_near({0, 0}, nan) == everything);
    CHECK(grid.walls_near({0, 0}, INFINITY) == everything);
}

TEST(walls_that_are_not_finite_are_listed_everywhere) {
    MatchState s = walls_of_every_kind();
    s.segments.push_back(straight({-10, 0}, {10, 0}, std::nan("")));  // catches any centre behind it
    s.segments.push_back(straight({-10, 0}, {INFINITY, 0}));
    s.planes.push_back(plane({0, 0}, 5));  // a zero normal: no unit normal
    refresh_contact_plan(s);
    const WallGrid& grid = s.contact_plan.walls->grid;
    REQUIRE(grid.nx > 0);
    for (std::size_t cell = 0; cell < grid.nx * grid.ny; ++cell) {
        const std::uint64_t* words = grid.cells.data() + cell * grid.cell_words;
        CHECK(listed(words, s.planes.size() - 1));
        CHECK(listed(words + grid.plane_words, s.segments.size() - 2));
        CHECK(listed(words + grid.plane_words, s.segments.size() - 1));
    }
}

TEST(no_grid_is_built_for_too_many_walls_or_no_walls) {
    MatchState none = states::make(states::ball_at({0, 0}), {}, {player(RED, {-100, 0})});
    refresh_contact_plan(none);
    CHECK_EQ(none.contact_plan.walls->grid.nx, std::size_t{0});

    MatchState many = walls_of_every_kind();
    for (int k = 0; k < 600; ++k) {
        const double y = 300.0 + k;
        many.segments.push_back(straight({-50, y}, {50, y}));
    }
    refresh_contact_plan(many);
    const WallGrid& grid = many.contact_plan.walls->grid;
    CHECK_EQ(grid.nx, std::size_t{0});
    CHECK(grid.walls_near({0, 0}, 1) == grid.everything.data());
}

TEST(copies_of_a_state_share_one_block_of_wall_data) {
    MatchState s;
    std::string error;
    REQUIRE(build_match_state(classic_stadium_text(), 3, 3, s, error));
    const std::vector<MatchState> batch(4, s);
    for (const MatchState& env : batch) CHECK(env.contact_plan.walls == s.contact_plan.walls);
    CHECK(contact_plan_shared_bytes(s.contact_plan) > contact_plan_heap_bytes(s.contact_plan));
}

// Found by the stadium fuzzer: a disc and walls at the far end of the double
// range made the grid's cell ranges infinite, and converting them was
// undefined. They are clipped in doubles now; the sweeps still agree.
TEST(walls_and_discs_at_the_edge_of_the_double_range_build_a_grid) {
    const char* text = R"({"spawnDistance": 1.7976931348623157e308,
        "vertexes": [{"x": -1e308, "y": 1e308}, {"x": 1e308, "y": -1e308}, {"x": 0, "y": 0}],
        "segments": [{"v0": 0, "v1": 1, "curve": 1e300, "bias": -1e308}, {"v0": 1, "v1": 0, "curve": 120},
                     {"v0": 2, "v1": 1}],
        "planes": [{"normal": [2e-300, 1e-300], "dist": 1e308, "bCoef": -1e308}],
        "discs": [{"pos": [1e308, 1e308], "radius": 1e308, "invMass": 0},
                  {"pos": [5, 5], "radius": 1e308, "invMass": 0}],
        "ballPhysics": {"damping": 1e10, "radius": -5}})";
    MatchState s;
    std::string error;
    REQUIRE(build_match_state(text, 1, 1, s, error));
    MatchState plain = s;
    const std::vector<PlayerAction> keys = {{1, 0, 2}, {-1, 1, 1}};
    for (int t = 0; t < 20; ++t) {
        tick(s, keys.data(), keys.size(), Sweep::fast);
        tick(plain, keys.data(), keys.size(), Sweep::plain);
    }
    CHECK_EQ(states::hash(s), states::hash(plain));
}

// A state with nothing in it has no plan to derive; refreshing it must not
// reach for the wall block it does not have.
TEST(an_empty_state_refreshes_without_a_wall_block) {
    MatchState empty;
    refresh_contact_plan(empty);
    CHECK_EQ(empty.contact_plan.n_discs, std::size_t{0});
    CHECK(!empty.contact_plan.walls);
    CHECK_EQ(empty.contact_plan.statics_in_place, std::uint64_t{0});
}
