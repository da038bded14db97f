#pragma once

// A tiny test framework for the engine: TEST(name) registers a case, CHECK
// records a failure and goes on, REQUIRE stops the case.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*fn)();
};

std::vector<Case>& registry();
void fail(const char* file, int line, const std::string& what);
bool register_case(const char* name, void (*fn)());

struct Stop {};

inline std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}
inline std::string show(std::int64_t v) { return std::to_string(v); }
inline std::string show(std::uint64_t v) { return std::to_string(v); }
inline std::string show(int v) { return std::to_string(v); }
inline std::string show(unsigned v) { return std::to_string(v); }
inline std::string show(bool v) { return v ? "true" : "false"; }
inline std::string show(const std::string& v) { return '"' + v + '"'; }

// Bit-for-bit equality of doubles: 0.0 and -0.0 differ, NaN equals itself.
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace check

#define TEST(name)                                                           \
    static void name();                                                      \
    static const bool name##_registered = check::register_case(#name, name); \
    static void name()

#define CHECK(cond) ((cond) ? void() : check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))

#define REQUIRE(cond)                                              \
    do {                                                           \
        if (!(cond)) {                                             \
            check::fail(__FILE__, __LINE__, "REQUIRE(" #cond ")"); \
            throw check::Stop{};                                   \
        }                                                          \
    } while (0)

#define CHECK_EQ(a, b)                                                                                          \
    do {                                                                                                        \
        const auto& check_a_ = (a);                                                                             \
        const auto& check_b_ = (b);                                                                             \
        if (!(check_a_ == check_b_))                                                                            \
            check::fail(__FILE__, __LINE__,                                                                     \
                        "CHECK_EQ(" #a ", " #b "): " + check::show(check_a_) + " != " + check::show(check_b_)); \
    } while (0)

// Exact double comparison, sign of zero included.
#define CHECK_BITS(a, b)                                                                                          \
    do {                                                                                                          \
        const double check_a_ = (a);                                                                              \
        const double check_b_ = (b);                                                                              \
        if (!check::same_bits(check_a_, check_b_))                                                                \
            check::fail(__FILE__, __LINE__,                                                                       \
                        "CHECK_BITS(" #a ", " #b "): " + check::show(check_a_) + " != " + check::show(check_b_)); \
    } while (0)
