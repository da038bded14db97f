// The contact primitives, on the examples and degenerate cases that pin their
// arithmetic (the Python functions over them are tested from Python too).
#include <cmath>
#include <limits>

#include "check.hpp"
#include "collision.hpp"
#include "collision_flags.hpp"

TEST(group_names_convert_case_sensitively) {
    CHECK_EQ(group_flag("ball") | group_flag("kick") | group_flag("score"), 193u);
    CHECK_EQ(group_flag("all") | group_flag("kick"), 127u);
    CHECK_EQ(group_flag("Ball"), 0u);
    CHECK_EQ(group_flag("redKO") | group_flag("blueKO"), 24u);
    CHECK_EQ(group_flag("c0"), 0u);
}

TEST(interaction_needs_both_sides) {
    CHECK(interacts(193, 63, 32, 1));  // ball against a ball-only wall
    CHECK(!interacts(2, 39, 32, 1));   // a red player passes it
    CHECK(!interacts(2, 8, 8, 4));     // mask sees group, but not the other way
}

TEST(disc_disc_example) {
    Vec2 pa{0, 0}, pb{15, 0}, va{1, 0}, vb{0, 0};
    disc_disc(pa, pb, va, vb, 10, 10, 1, 1, 0.5, 0.5);
    CHECK_BITS(pa.x, -2.5);
    CHECK_BITS(pb.x, 17.5);
    CHECK_BITS(va.x, 0.375);
    CHECK_BITS(vb.x, 0.625);
    CHECK_BITS(pa.y, 0.0);
}

TEST(disc_disc_degenerate_pairs_untouched) {
    // Coincident centres, and two immovable discs (0/0 share), change nothing.
    for (double ima : {1.0, 0.0}) {
        Vec2 pa{3, 3}, pb{ima == 0.0 ? 5.0 : 3.0, 3}, va{1, 0}, vb{-1, 0};
        disc_disc(pa, pb, va, vb, 10, 10, ima, 0.0 * ima, 1, 1);
        CHECK_BITS(pa.x, 3.0);
        CHECK_BITS(va.x, 1.0);
        CHECK_BITS(vb.x, -1.0);
    }
}

TEST(disc_disc_touching_bounces_without_moving) {
    Vec2 pa{0, 0}, pb{20, 0}, va{1, 0}, vb{0, 0};
    disc_disc(pa, pb, va, vb, 10, 10, 1, 1, 1, 1);
    CHECK_BITS(pa.x, 0.0);
    CHECK_BITS(pb.x, 20.0);
    CHECK_BITS(va.x, 0.0);
    CHECK_BITS(vb.x, 1.0);
}

TEST(disc_disc_immovable_a_takes_nothing) {
    Vec2 pa{0, 0}, pb{15, 0}, va{0, 0}, vb{-1, 0};
    disc_disc(pa, pb, va, vb, 10, 10, 0, 1, 1, 1);
    CHECK_BITS(pa.x, 0.0);
    CHECK_BITS(va.x, 0.0);
    CHECK_BITS(pb.x, 20.0);
    CHECK_BITS(vb.x, 1.0);
}

TEST(disc_vertex_and_plane_examples) {
    Vec2 pd{0, 5}, v{0, -1};
    disc_vertex(pd, {0, 0}, v, 10, 1, 1);
    CHECK_BITS(pd.y, 10.0);
    CHECK_BITS(v.y, 1.0);

    for (double ny : {1.0, 2.0}) {
        Vec2 p{0, 5}, w{0, -2};
        disc_plane(p, {0, ny}, w, 0, 10, 0.5, 0.5);
        CHECK_BITS(p.x, 0.0);
        CHECK_BITS(p.y, 10.0);
        CHECK_BITS(w.y, 0.5);
    }
}

TEST(disc_plane_zero_normal_and_exact_touch_do_nothing) {
    Vec2 p{0, 10}, w{0, -2};
    disc_plane(p, {0, 1}, w, 0, 10, 1, 1);  // pen = 0 exactly
    CHECK_BITS(p.y, 10.0);
    CHECK_BITS(w.y, -2.0);
    disc_plane(p, {0, 0}, w, 50, 10, 1, 1);
    CHECK_BITS(p.y, 10.0);
}

TEST(segment_tests_examples) {
    SegmentContact t = segment_no_curve({5, 3}, {0, 0}, {10, 0});
    REQUIRE(t.hit);
    CHECK_BITS(t.distance, 3.0);
    CHECK_BITS(t.normal.x, -0.0);
    CHECK_BITS(t.normal.y, 1.0);
    t = segment_no_curve({5, -3}, {0, 0}, {10, 0});
    CHECK_BITS(t.distance, -3.0);
    CHECK(!segment_no_curve({0, 3}, {0, 0}, {10, 0}).hit);  // on the perpendicular
    CHECK(!segment_no_curve({-1, 3}, {0, 0}, {10, 0}).hit);
    CHECK(!segment_no_curve({0, 0}, {0, 0}, {0, 0}).hit);  // zero length

    t = segment_curve({0, 20}, {0, 0}, 10, {0, 1}, {0, 1}, 1);
    REQUIRE(t.hit);
    CHECK_BITS(t.distance, 10.0);
    CHECK_BITS(t.normal.y, 1.0);
    CHECK(!segment_curve({0, 20}, {0, 0}, 10, {0, 1}, {0, 1}, -1).hit);
    CHECK(!segment_curve({0, 0}, {0, 0}, 10, {0, 1}, {0, 1}, -1).hit);  // centre on c
}

TEST(disc_segment_bias_and_exact_radius) {
    SegmentShape wall{};
    wall.v0 = {0, 0};
    wall.v1 = {10, 0};
    wall.bCoef = 1;
    Vec2 pos{5, 10}, vel{0, -1};
    disc_segment(pos, vel, 10, 1, wall);  // distance == radius: untouched
    CHECK_BITS(pos.y, 10.0);
    CHECK_BITS(vel.y, -1.0);

    pos = {5, -4};
    vel = {0, 1};
    disc_segment(pos, vel, 10, 1, wall);  // two-sided: pushed down
    CHECK_BITS(pos.y, -10.0);
    CHECK_BITS(vel.y, -1.0);

    wall.bias = 3;  // one-sided towards +y, catching up to 3 behind
    pos = {5, -4};
    vel = {0, 1};
    disc_segment(pos, vel, 10, 1, wall);
    CHECK_BITS(pos.y, -4.0);
    pos = {5, -2};
    disc_segment(pos, vel, 10, 1, wall);
    CHECK_BITS(pos.y, 10.0);

    wall.curve = std::numeric_limits<double>::quiet_NaN();  // NaN is "curved"
    pos = {5, 2};
    disc_segment(pos, vel, 10, 1, wall);
    CHECK_BITS(pos.y, 2.0);
}
