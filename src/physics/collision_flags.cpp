#include "collision_flags.hpp"

CollisionFlags group_flag(std::string_view name) {
    struct Named {
        std::string_view name;
        CollisionFlags flags;
    };
    static constexpr Named NAMES[] = {
        {"ball", group::BALL},    {"red", group::RED},        {"blue", group::BLUE},
        {"redKO", group::RED_KO}, {"blueKO", group::BLUE_KO}, {"wall", group::WALL},
        {"kick", group::KICK},    {"score", group::SCORE},    {"all", group::ALL},
    };
    for (const Named& n : NAMES) {
        if (n.name == name) return n.flags;
    }
    return 0;
}
