#pragma once

// A static broadphase for the walls: a grid over the stadium whose cells
// list the planes and segments that a disc centred anywhere in the cell, or
// up to `drift` outside it, could touch, and the immovable obstacle discs it
// could touch. The tick tests only
// those of the disc's cell; every test it leaves out is one that would
// certainly have found no contact, so every test that does run is the same,
// in the same order, and the results stay bit-identical.
//
// "Could touch" is decided from the contact rules themselves, each relaxed
// to a distance that a lower bound over the cell can rule out:
//   plane:    pen = (dist - pd·n̂) + radius > 0, i.e. pd·n̂ < dist + radius;
//   straight: the centre lies in the segment's strip and -|bias| <= d <
//             radius, so it is within max(radius, |bias|) of the segment;
//   arc:      -|bias| <= len - cr < radius with len = |pd - c|, so
//             | |pd - c| - cr | <= max(radius, |bias|) (the sector only
//             narrows this further and is left out);
//   disc:     d2 <= (ra + rb)^2, so the centres are within ra + rb (for
//             radii of at least 0).
// Each bound is widened by a tolerance many orders of magnitude above the
// rounding of either side, and each cell by a margin above the rounding of
// the cell lookup. A wall whose data is not finite is listed in every cell.
//
// An immovable obstacle disc never moves in a tick (a response gives it no
// share, and only contacts move obstacles), so its place is known when the
// grid is built; the sweep checks that it is still there before it relies on
// the grid for it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "collision.hpp"
#include "vec2.hpp"

struct Plane;
struct Segment;

// An obstacle disc the grid lists: its index among the discs (below 64) and
// where it stood when the grid was built.
struct StaticDisc {
    std::size_t index;
    Vec2 pos;
    double radius;
};

struct WallGrid {
    // Cells are squares of side 1 / inv_cell from (x0, y0), nx by ny of them,
    // row by row (the counts also kept as doubles for the lookup). nx == 0
    // means no grid: every lookup falls back.
    double x0 = 0.0;
    double y0 = 0.0;
    double inv_cell = 0.0;
    double nx_cells = 0.0;
    double ny_cells = 0.0;
    std::size_t nx = 0;
    std::size_t ny = 0;
    // The largest disc radius the lists hold for; a larger (or NaN) radius
    // falls back.
    double reach = 0.0;
    // How far outside its cell a disc centre may lie for the cell's lists
    // to hold: a run of ticks keeps a disc's cell while the disc stays
    // within this of where it was looked up.
    double drift = 0.0;
    // Per cell: plane_words words of plane bits, then segment_words words of
    // segment bits, laid out as the contact plan lays out a disc's walls,
    // then one word of static disc bits (by disc index) at static_word.
    std::size_t plane_words = 0;
    std::size_t segment_words = 0;
    std::size_t static_word = 0;
    std::size_t cell_words = 0;
    std::vector<StaticDisc> statics;
    std::vector<std::uint64_t> cells;
    // Every bit set, in the same layout: what a lookup outside the grid gets.
    std::vector<std::uint64_t> everything;

    // The wall bits of the cell that holds `pos` for a disc of `radius`, or
    // `everything` outside the grid.
    const std::uint64_t* walls_near(Vec2 pos, double radius) const {
        const double fx = (pos.x - x0) * inv_cell;
        const double fy = (pos.y - y0) * inv_cell;
        // Written so that NaN, in the position or the radius, falls back.
        if (!(radius <= reach && fx >= 0.0 && fy >= 0.0 && fx < nx_cells && fy < ny_cells)) return everything.data();
        // Both are below 2^31 here; the signed conversion is one instruction.
        const std::size_t cell = static_cast<std::size_t>(static_cast<std::int32_t>(fy)) * nx +
                                 static_cast<std::size_t>(static_cast<std::int32_t>(fx));
        return cells.data() + cell * cell_words;
    }
};

// Builds the grid for the given walls, with the unit normals and straight
// axes the tick uses, and for the given static discs (finite, radius at
// least 0), for discs of radius up to `reach` centred up to `drift` outside
// a cell, over the box around `anchors` (the segment ends are added to them). Leaves nx == 0 when a grid would not
// pay or cannot be sized (too many walls, nothing finite).
WallGrid build_wall_grid(const std::vector<Plane>& planes, const std::vector<Vec2>& plane_normals,
                         const std::vector<Segment>& segments, const std::vector<StraightAxis>& straight_axes,
                         const std::vector<StaticDisc>& statics, const std::vector<Vec2>& anchors, double reach,
                         double drift);
