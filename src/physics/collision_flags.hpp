#pragma once

#include <cstdint>
#include <string_view>

// A bit set of collision groups. Two objects interact when each one's mask
// shares a bit with the other's group.
using CollisionFlags = std::uint64_t;

namespace group {
inline constexpr CollisionFlags BALL = 1;
inline constexpr CollisionFlags RED = 2;
inline constexpr CollisionFlags BLUE = 4;
inline constexpr CollisionFlags RED_KO = 8;
inline constexpr CollisionFlags BLUE_KO = 16;
inline constexpr CollisionFlags WALL = 32;
inline constexpr CollisionFlags KICK = 64;
inline constexpr CollisionFlags SCORE = 128;
// "all" stops at the wall bit: kick and score are not part of it.
inline constexpr CollisionFlags ALL = 63;
}  // namespace group

// Fixed sets that the file cannot change, and the defaults of each kind.
inline constexpr CollisionFlags BALL_CGROUP = group::BALL | group::KICK | group::SCORE;               // 193
inline constexpr CollisionFlags BALL_CMASK = group::ALL;                                              // 63
inline constexpr CollisionFlags PLAYER_CMASK = group::BALL | group::RED | group::BLUE | group::WALL;  // 39
inline constexpr CollisionFlags DISC_DEFAULT_CGROUP = group::ALL;
inline constexpr CollisionFlags DISC_DEFAULT_CMASK = group::ALL;
inline constexpr CollisionFlags WALL_DEFAULT_CGROUP = group::WALL;
inline constexpr CollisionFlags WALL_DEFAULT_CMASK = group::ALL;

// The value of one group name of the stadium format; unknown names (the
// comparison is case-sensitive) are worth nothing.
CollisionFlags group_flag(std::string_view name);

// Both sides must accept each other: a one-sided match is no contact.
inline bool interacts(CollisionFlags a_group, CollisionFlags a_mask, CollisionFlags b_group, CollisionFlags b_mask) {
    return (a_mask & b_group) != 0 && (a_group & b_mask) != 0;
}
