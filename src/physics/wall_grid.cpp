#include "wall_grid.hpp"

#include <algorithm>
#include <cmath>

#include "match_state.hpp"

namespace {

// Beyond this many walls the grid's memory and its construction would cost
// more than the tests it saves; such stadiums are swept without it.
constexpr std::size_t MAX_GRID_WALLS = 512;
// Cells along the longer side of the grid: at this size a cell's lists hold
// little more than the walls really within reach.
constexpr double CELLS_ALONG_LONGER_SIDE = 48.0;
// Each wall bound is widened by this fraction of the magnitudes involved; the
// rounding of the tick's arithmetic and of these bounds is some 1e-15 of it.
constexpr double RELATIVE_TOLERANCE = 1e-9;

struct Box {
    double x0, y0, x1, y1;
};

bool is_finite(double v) { return std::isfinite(v); }
bool is_finite(Vec2 v) { return std::isfinite(v.x) && std::isfinite(v.y); }

double magnitude(Vec2 v) { return std::max(std::fabs(v.x), std::fabs(v.y)); }

// pd·n̂ is linear in pd, so over a box it is smallest at a corner.
bool plane_may_touch(const Box& b, Vec2 unit_normal, double dist, double reach, double slack) {
    const double lowest = std::min({dot({b.x0, b.y0}, unit_normal), dot({b.x1, b.y0}, unit_normal),
                                    dot({b.x0, b.y1}, unit_normal), dot({b.x1, b.y1}, unit_normal)});
    return lowest < dist + reach + slack;
}

// The distance between two convex sets is at least the gap between their
// shadows on any unit direction: here the two axes and the segment's normal.
bool straight_may_touch(const Box& b, const Segment& s, const StraightAxis& axis, double limit, double slack) {
    const double gap_x = std::max(b.x0 - std::max(s.v0.x, s.v1.x), std::min(s.v0.x, s.v1.x) - b.x1);
    const double gap_y = std::max(b.y0 - std::max(s.v0.y, s.v1.y), std::min(s.v0.y, s.v1.y) - b.y1);
    const double d[4] = {dot(Vec2{b.x0, b.y0} - s.v1, axis.normal), dot(Vec2{b.x1, b.y0} - s.v1, axis.normal),
                         dot(Vec2{b.x0, b.y1} - s.v1, axis.normal), dot(Vec2{b.x1, b.y1} - s.v1, axis.normal)};
    const double lowest = std::min({d[0], d[1], d[2], d[3]});
    const double highest = std::max({d[0], d[1], d[2], d[3]});
    const double gap_n = lowest > 0.0 ? lowest : (highest < 0.0 ? -highest : 0.0);
    return std::max({gap_x, gap_y, gap_n}) <= limit + slack;
}

// Over a box, |pd - c| runs between the distances from c to the box's
// nearest and farthest points.
bool arc_may_touch(const Box& b, const Segment& s, double limit, double slack) {
    const double near_x = std::clamp(s.c.x, b.x0, b.x1) - s.c.x;
    const double near_y = std::clamp(s.c.y, b.y0, b.y1) - s.c.y;
    const double far_x = std::max(std::fabs(b.x0 - s.c.x), std::fabs(b.x1 - s.c.x));
    const double far_y = std::max(std::fabs(b.y0 - s.c.y), std::fabs(b.y1 - s.c.y));
    const double nearest = std::sqrt(near_x * near_x + near_y * near_y);
    const double farthest = std::sqrt(far_x * far_x + far_y * far_y);
    return std::max({nearest - s.cr, s.cr - farthest, 0.0}) <= limit + slack;
}

bool segment_is_finite(const Segment& s, const StraightAxis& axis) {
    if (!is_finite(s.bias)) return false;
    if (s.curve == 0.0) return is_finite(s.v0) && is_finite(s.v1) && is_finite(axis.normal);
    return is_finite(s.c) && is_finite(s.cr);
}

// Every point within `limit` of the segment: around its ends, or around its
// whole circle for an arc.
Box segment_reach_box(const Segment& s, double limit) {
    if (s.curve == 0.0) {
        return {std::min(s.v0.x, s.v1.x) - limit, std::min(s.v0.y, s.v1.y) - limit, std::max(s.v0.x, s.v1.x) + limit,
                std::max(s.v0.y, s.v1.y) + limit};
    }
    const double r = std::fabs(s.cr) + limit;
    return {s.c.x - r, s.c.y - r, s.c.x + r, s.c.y + r};
}

void set_bit(std::uint64_t* words, std::size_t i) { words[i / 64] |= std::uint64_t{1} << (i % 64); }

std::size_t words_for(std::size_t n_items) { return n_items / 64 + (n_items % 64 != 0); }

}  // namespace

WallGrid build_wall_grid(const std::vector<Plane>& planes, const std::vector<Vec2>& plane_normals,
                         const std::vector<Segment>& segments, const std::vector<StraightAxis>& straight_axes,
                         const std::vector<StaticDisc>& statics, const std::vector<Vec2>& anchors, double reach,
                         double drift) {
    WallGrid grid;
    grid.plane_words = words_for(planes.size());
    grid.segment_words = words_for(segments.size());
    grid.static_word = grid.plane_words + grid.segment_words;
    const std::size_t words = grid.static_word + 1;
    grid.cell_words = words;
    grid.everything.assign(words, ~std::uint64_t{0});
    const std::size_t n_walls = planes.size() + segments.size();
    if (n_walls == 0 || n_walls > MAX_GRID_WALLS || !is_finite(reach) || reach < 0.0 || !is_finite(drift) ||
        drift < 0.0)
        return grid;

    // The grid covers the segment ends and the anchors (where the discs
    // start), with room around them for discs pressed against the walls.
    double lo_x = INFINITY, lo_y = INFINITY, hi_x = -INFINITY, hi_y = -INFINITY;
    const auto include = [&](Vec2 p) {
        if (!is_finite(p)) return;
        lo_x = std::min(lo_x, p.x), lo_y = std::min(lo_y, p.y);
        hi_x = std::max(hi_x, p.x), hi_y = std::max(hi_y, p.y);
    };
    for (const Vec2 p : anchors) include(p);
    for (const Segment& s : segments) include(s.v0), include(s.v1);
    if (!(lo_x <= hi_x && lo_y <= hi_y)) return grid;
    const double pad = 2.0 * reach + 0.05 * std::max(hi_x - lo_x, hi_y - lo_y) + 1.0;
    lo_x -= pad, lo_y -= pad, hi_x += pad, hi_y += pad;
    const double cell = std::max(hi_x - lo_x, hi_y - lo_y) / CELLS_ALONG_LONGER_SIDE;
    if (!is_finite(cell) || !(cell > 0.0)) return grid;
    const double nx = std::ceil((hi_x - lo_x) / cell);
    const double ny = std::ceil((hi_y - lo_y) / cell);
    if (!(nx >= 1.0 && ny >= 1.0 && nx <= 2.0 * CELLS_ALONG_LONGER_SIDE && ny <= 2.0 * CELLS_ALONG_LONGER_SIDE))
        return grid;
    grid.x0 = lo_x;
    grid.y0 = lo_y;
    grid.inv_cell = 1.0 / cell;
    grid.nx = static_cast<std::size_t>(nx);
    grid.ny = static_cast<std::size_t>(ny);
    grid.nx_cells = nx;
    grid.ny_cells = ny;
    grid.reach = reach;
    grid.drift = drift;
    grid.statics = statics;
    grid.cells.assign(grid.nx * grid.ny * words, 0);

    // Each cell is widened by the drift and a margin, so that a centre that
    // the lookup's rounding files into a neighbouring cell is still covered.
    const double grid_scale = std::max(magnitude(Vec2{lo_x, lo_y}), magnitude(Vec2{hi_x, hi_y}));
    const double margin = drift + cell * 1e-6 + RELATIVE_TOLERANCE * grid_scale;
    const auto slack_for = [&](double wall_scale) { return RELATIVE_TOLERANCE * (1.0 + grid_scale + wall_scale); };
    const auto cell_box = [&](std::size_t cx, std::size_t cy) {
        const double x = lo_x + static_cast<double>(cx) * cell;
        const double y = lo_y + static_cast<double>(cy) * cell;
        return Box{x - margin, y - margin, x + cell + margin, y + cell + margin};
    };
    const auto cell_bits = [&](std::size_t cx, std::size_t cy) {
        return grid.cells.data() + (cy * grid.nx + cx) * words;
    };
    // The cells from the one holding v up to the one holding w, both
    // included, clipped to the grid in doubles first: the offsets may be
    // huge, infinite or NaN (a NaN range is the whole grid).
    const auto clipped = [](double f, std::size_t n, std::size_t if_nan) {
        if (f != f) return if_nan;
        if (f <= 0.0) return std::size_t{0};
        if (f >= static_cast<double>(n)) return n;
        return static_cast<std::size_t>(f);
    };
    const auto first_cell = [&](double v, std::size_t n) { return clipped(std::floor(v * grid.inv_cell), n, 0); };
    const auto end_cell = [&](double w, std::size_t n) { return clipped(std::floor(w * grid.inv_cell) + 1.0, n, n); };

    for (std::size_t p = 0; p < planes.size(); ++p) {
        const Vec2 unit_normal = plane_normals[p];
        const double dist = planes[p].dist;
        const bool always = !is_finite(unit_normal) || !is_finite(dist);
        const double slack = slack_for(std::fabs(dist) + reach);
        for (std::size_t cy = 0; cy < grid.ny; ++cy) {
            for (std::size_t cx = 0; cx < grid.nx; ++cx) {
                if (always || plane_may_touch(cell_box(cx, cy), unit_normal, dist, reach, slack))
                    set_bit(cell_bits(cx, cy), p);
            }
        }
    }
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const Segment& seg = segments[s];
        const StraightAxis& axis = straight_axes[s];
        const bool always = !segment_is_finite(seg, axis);
        // Only the cells that the wall's reach overlaps are examined; a wall
        // that is not finite is listed everywhere.
        std::size_t cx0 = 0, cy0 = 0, cx1 = grid.nx, cy1 = grid.ny;
        double limit = 0.0, slack = 0.0;
        if (!always) {
            limit = std::max(reach, std::fabs(seg.bias));
            slack = slack_for(limit + std::fabs(seg.cr) +
                              std::max({magnitude(seg.v0), magnitude(seg.v1), magnitude(seg.c)}));
            const Box r = segment_reach_box(seg, limit + slack + 2.0 * margin);
            cx0 = first_cell(r.x0 - lo_x, grid.nx), cx1 = end_cell(r.x1 - lo_x, grid.nx);
            cy0 = first_cell(r.y0 - lo_y, grid.ny), cy1 = end_cell(r.y1 - lo_y, grid.ny);
        }
        for (std::size_t cy = cy0; cy < cy1; ++cy) {
            for (std::size_t cx = cx0; cx < cx1; ++cx) {
                const Box b = cell_box(cx, cy);
                const bool touch = always || (seg.curve == 0.0 ? straight_may_touch(b, seg, axis, limit, slack)
                                                               : arc_may_touch(b, seg, limit, slack));
                if (touch) set_bit(cell_bits(cx, cy) + grid.plane_words, s);
            }
        }
    }
    for (const StaticDisc& d : statics) {
        const double limit = reach + d.radius;
        const double slack = slack_for(magnitude(d.pos) + limit);
        const double r = limit + slack + 2.0 * margin;
        const std::size_t cx0 = first_cell(d.pos.x - r - lo_x, grid.nx), cx1 = end_cell(d.pos.x + r - lo_x, grid.nx);
        const std::size_t cy0 = first_cell(d.pos.y - r - lo_y, grid.ny), cy1 = end_cell(d.pos.y + r - lo_y, grid.ny);
        for (std::size_t cy = cy0; cy < cy1; ++cy) {
            for (std::size_t cx = cx0; cx < cx1; ++cx) {
                const Box b = cell_box(cx, cy);
                const double near_x = std::clamp(d.pos.x, b.x0, b.x1) - d.pos.x;
                const double near_y = std::clamp(d.pos.y, b.y0, b.y1) - d.pos.y;
                if (std::sqrt(near_x * near_x + near_y * near_y) <= limit + slack)
                    set_bit(cell_bits(cx, cy) + grid.static_word, d.index);
            }
        }
    }
    return grid;
}
