#pragma once

// A point or vector in the engine frame (the stadium file's y axis reversed).
// Lengths are stadium units; velocities are units per tick.
//
// Every operation is written out component by component so that the order of
// floating-point operations is the one the code shows: results must be
// bit-identical on every machine.
struct Vec2 {
    double x;
    double y;
};

inline Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
inline Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
inline Vec2 operator-(Vec2 a) { return {-a.x, -a.y}; }
inline Vec2 operator*(Vec2 a, double s) { return {a.x * s, a.y * s}; }
inline double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
