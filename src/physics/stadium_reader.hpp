#pragma once

// The stadium text as read, before compilation: one record per JSON object of
// the .zsm format, named after it. Coordinates are still in the file's frame
// (y pointing the other way from the engine's) and absent keys are still
// absent; the build applies the frame change and the defaults of each kind.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "collision_flags.hpp"

// [x, y] as written in the file.
struct RawPair {
    double x;
    double y;
};

// The physical properties shared by segments, planes, discs, traits and the
// ball. Group lists are kept already converted; a list given by an object
// replaces the trait's list as a whole, which a converted value does as well.
struct RawProps {
    std::optional<double> bCoef;
    std::optional<CollisionFlags> cGroup;
    std::optional<CollisionFlags> cMask;
    std::optional<double> radius;
    std::optional<double> invMass;
    std::optional<double> damping;
    std::optional<double> bias;
    std::optional<double> curve;  // degrees
};

struct RawVertex {
    double x = 0.0;
    double y = 0.0;
};

struct RawSegment {
    std::uint64_t v0 = 0;
    std::uint64_t v1 = 0;
    std::optional<std::string> trait;
    RawProps props;
};

struct RawPlane {
    RawPair normal{};
    double dist = 0.0;
    std::optional<std::string> trait;
    RawProps props;
};

struct RawDisc {
    std::optional<RawPair> pos;
    std::optional<std::string> trait;
    RawProps props;
};

struct RawGoal {
    RawPair p0{};
    RawPair p1{};
    std::string team;
};

struct RawPlayerPhysics {
    std::optional<double> radius;
    std::optional<double> invMass;
    std::optional<double> damping;
    std::optional<double> bCoef;
    std::optional<double> acceleration;
    std::optional<double> kickingAcceleration;
    std::optional<double> kickingDamping;
    std::optional<double> kickStrength;
    std::optional<double> kickback;
};

// "ballPhysics": absent, a "discN" reference (checked by the build, which
// knows the discs), or the ball's own properties.
using RawBallPhysics = std::variant<std::monostate, std::string, RawProps>;

struct RawStadium {
    std::optional<std::string> name;
    std::map<std::string, RawProps> traits;  // a name given twice keeps its later entry
    std::vector<RawVertex> vertexes;
    std::vector<RawSegment> segments;
    std::vector<RawPlane> planes;
    std::vector<RawDisc> discs;
    std::vector<RawGoal> goals;
    std::optional<double> spawnDistance;
    RawPlayerPhysics playerPhysics;
    RawBallPhysics ballPhysics;
    std::vector<RawPair> redSpawnPoints;
    std::vector<RawPair> blueSpawnPoints;
};

// Reads a stadium text (UTF-8 JSON). On failure returns false and sets error
// to a description of the first problem in text order: a syntax error (with
// its line and column), a value of the wrong type, a missing required key, or
// a key that a record reads given twice. The text is untrusted: any input
// fails or succeeds in time and memory proportional to its size.
bool read_stadium(std::string_view text, RawStadium& out, std::string& error);

// s between double quotes, with a backslash before each quote and backslash
// and an escape for every control character, so that an error message shows
// exactly what the file held.
std::string quoted_for_message(std::string_view s);
