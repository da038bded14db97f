#pragma once

// Contact geometry and responses. Pure functions over values, expanded in
// place in the tick's and the predictor's inner loops. The order of every
// floating-point operation is part of the contract: do not "simplify".

#include <cmath>

#include "vec2.hpp"

// Where a segment governs a disc centre: signed distance from the wall and
// the unit normal that the distance is measured along.
struct SegmentContact {
    bool hit;
    double distance;
    Vec2 normal;
};

inline constexpr SegmentContact NO_SEGMENT_CONTACT = {false, 0.0, {0.0, 0.0}};

// Separates two overlapping discs along the line of centres and, when they
// approach, exchanges normal momentum with restitution 1 + ba*bb.
// share = ima / (imb + ima) is a's part of every correction. Returns whether
// the discs were in contact (and so may have moved).
inline bool disc_disc(Vec2& pa, Vec2& pb, Vec2& va, Vec2& vb, double ra, double rb, double ima, double imb, double ba,
                      double bb) {
    const Vec2 d = pa - pb;
    const double d2 = dot(d, d);
    const double s = ra + rb;
    // Squared distances first: most pairs end here without a square root.
    if (!(d2 > 0.0 && d2 <= s * s)) return false;
    const double im_sum = imb + ima;
    // Two immovable discs would make share = 0/0 and turn both positions
    // into NaN; neither of them can move, so the pair is left alone.
    if (im_sum == 0.0) return false;
    const double dist = std::sqrt(d2);
    const Vec2 n = {d.x / dist, d.y / dist};
    const double share = ima / im_sum;
    const double pen = s - dist;
    const double ma = pen * share;
    pa = pa + n * ma;
    pb = pb - n * (pen - ma);
    const double vn = dot(va - vb, n);
    if (vn < 0.0) {
        const double k = vn * (ba * bb + 1.0);
        const double ka = share * k;
        va = va - n * ka;
        vb = vb + n * (k - ka);
    }
    return true;
}

// A disc against a fixed point; the point has no radius and does not move.
inline void disc_vertex(Vec2& pd, Vec2 pv, Vec2& v, double radius, double bd, double bv) {
    const Vec2 d = pd - pv;
    const double d2 = dot(d, d);
    if (!(d2 > 0.0)) return;
    const double dist = std::sqrt(d2);
    if (!(dist <= radius)) return;
    const Vec2 n = d * (1.0 / dist);
    pd = pd + n * (radius - dist);
    const double vn = dot(n, v);
    if (vn < 0.0) v = v + n * (vn * -(bd * bv + 1.0));
}

// A plane's normal scaled to unit length. It does not depend on the disc, so
// the tick keeps it from one tick to the next.
inline Vec2 unit_plane_normal(Vec2 normal) { return normal * (1.0 / std::sqrt(dot(normal, normal))); }

// A disc against the infinite line x·n̂ = dist, open towards +n̂. Returns
// whether the disc was pushed.
inline bool disc_plane_unit(Vec2& pd, Vec2 nh, Vec2& v, double dist, double radius, double bd, double bp) {
    const double pen = (dist - dot(pd, nh)) + radius;
    if (!(pen > 0.0)) return false;
    // Leaves the disc's edge exactly on the plane.
    pd = pd + nh * pen;
    const double vn = dot(nh, v);
    if (vn < 0.0) v = v + nh * (vn * -(bp * bd + 1.0));
    return true;
}

// The same from a stored normal, which may have any non-zero length; a zero
// normal gives NaN and so no contact.
inline void disc_plane(Vec2& pd, Vec2 normal, Vec2& v, double dist, double radius, double bd, double bp) {
    disc_plane_unit(pd, unit_plane_normal(normal), v, dist, radius, bd, bp);
}

// A straight segment governs the strip between the perpendiculars through its
// ends (both exclusive); n is v1 - v0 turned a quarter turn anticlockwise.
inline SegmentContact segment_no_curve(Vec2 pd, Vec2 v0, Vec2 v1) {
    const Vec2 u = v1 - v0;
    if (!(dot(pd - v0, u) > 0.0 && dot(pd - v1, u) < 0.0)) return NO_SEGMENT_CONTACT;
    const double len = std::sqrt(dot(u, u));
    const Vec2 n = {-u.y / len, u.x / len};
    return {true, dot(pd - v1, n), n};
}

// A straight segment's u = v1 - v0 and unit normal n, formed as
// segment_no_curve forms them. Neither depends on the disc, so the tick keeps
// them from one tick to the next (a zero-length segment gets a NaN normal
// that is never read: it governs nothing).
struct StraightAxis {
    Vec2 u;
    Vec2 normal;
};

inline StraightAxis straight_axis(Vec2 v0, Vec2 v1) {
    const Vec2 u = v1 - v0;
    const double len = std::sqrt(dot(u, u));
    return {u, {-u.y / len, u.x / len}};
}

// segment_no_curve with the axis already formed.
inline SegmentContact straight_contact(Vec2 pd, Vec2 v0, Vec2 v1, const StraightAxis& axis) {
    if (!(dot(pd - v0, axis.u) > 0.0 && dot(pd - v1, axis.u) < 0.0)) return NO_SEGMENT_CONTACT;
    return {true, dot(pd - v1, axis.normal), axis.normal};
}

// An arc governs the sector between its boundary vectors t0 and t1; for a
// negative curve (an arc of more than 180 degrees) the sector is the
// complement. n points away from the arc's centre.
inline SegmentContact segment_curve(Vec2 pd, Vec2 c, double cr, Vec2 t0, Vec2 t1, double curve) {
    const Vec2 b = pd - c;
    const bool reflex = curve < 0.0;
    const bool in_sector = dot(t0, b) > 0.0 ? (dot(t1, b) > 0.0) != reflex : reflex;
    const double b2 = dot(b, b);
    if (!in_sector || !(b2 > 0.0)) return NO_SEGMENT_CONTACT;
    const double len = std::sqrt(b2);
    return {true, len - cr, {b.x / len, b.y / len}};
}

// The compiled wall data that a segment contact needs.
struct SegmentShape {
    Vec2 v0, v1, c, t0, t1;
    double curve, cr, bias, bCoef;
};

// Pushes a disc out of a wall, given where the wall governs its centre, and
// says whether it did. bias = 0 makes a two-sided wall; a bias b != 0 makes
// it one-sided (towards the sign of b) and still catches a centre that
// crossed up to |b| behind the face.
inline bool push_out_of_segment(Vec2& pos, Vec2& vel, double radius, double disc_bcoef, const SegmentShape& s,
                                SegmentContact t) {
    if (!t.hit) return false;
    double b = s.bias;
    if (b < 0.0) {
        t.distance = -t.distance;
        t.normal = -t.normal;
        b = -b;
    } else if (b == 0.0 && t.distance < 0.0) {
        t.distance = -t.distance;
        t.normal = -t.normal;
    }
    if (t.distance < -b) return false;
    if (!(t.distance < radius)) return false;
    pos = pos + t.normal * (radius - t.distance);
    const double vn = dot(t.normal, vel);
    if (vn < 0.0) vel = vel + t.normal * (vn * -(s.bCoef * disc_bcoef + 1.0));
    return true;
}

inline bool disc_segment(Vec2& pos, Vec2& vel, double radius, double disc_bcoef, const SegmentShape& s) {
    return push_out_of_segment(
        pos, vel, radius, disc_bcoef, s,
        s.curve == 0.0 ? segment_no_curve(pos, s.v0, s.v1) : segment_curve(pos, s.c, s.cr, s.t0, s.t1, s.curve));
}

// The same with the straight axis already formed; `axis` is
// straight_axis(s.v0, s.v1), and an arc does not read it.
inline bool disc_segment(Vec2& pos, Vec2& vel, double radius, double disc_bcoef, const SegmentShape& s,
                         const StraightAxis& axis) {
    return push_out_of_segment(
        pos, vel, radius, disc_bcoef, s,
        s.curve == 0.0 ? straight_contact(pos, s.v0, s.v1, axis) : segment_curve(pos, s.c, s.cr, s.t0, s.t1, s.curve));
}
