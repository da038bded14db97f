// Untrusted stadium texts: deep nesting, numbers at and beyond the limits of
// a double, bytes that are not UTF-8, very large files and broken variants
// of the classic text. Each must build or fail with a message, never crash.
#include <string>
#include <string_view>

#include "check.hpp"
#include "stadium.hpp"

namespace {

struct Built {
    bool ok;
    MatchState state;
    std::string error;
};

Built build(std::string_view text) {
    Built b{};
    b.ok = build_match_state(text, 1, 1, b.state, b.error);
    return b;
}

std::string nested(std::size_t depth, char open, char close) {
    std::string s;
    s.reserve(2 * depth);
    s.append(depth, open);
    s.append(depth, close);
    return s;
}

std::string nested_objects(std::size_t depth) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) s += R"({"a":)";
    s += "1";
    s.append(depth, '}');
    return s;
}

// Error messages go to Python as str, so they must be well-formed UTF-8.
bool well_formed_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80                ? 1
                        : b >= 0xC2 && b < 0xE0 ? 2
                        : b >= 0xE0 && b < 0xF0 ? 3
                        : b >= 0xF0 && b < 0xF5 ? 4
                                                : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t code = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            code = (code << 6) | (c & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        i += n;
    }
    return true;
}

bool known_error(const std::string& e) {
    for (std::string_view prefix : {"bad .zsm JSON: ", "ballPhysics ", "segment references missing vertex "}) {
        if (e.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

constexpr std::size_t DEEP = 100000;

}  // namespace

TEST(deep_nesting_is_skipped_or_refused_without_recursion) {
    const std::string arrays = nested(DEEP, '[', ']');
    const std::string objects = nested_objects(DEEP);
    const struct {
        std::string text;
        const char* error;  // nullptr: builds
    } cases[] = {
        {R"({"x": )" + arrays + "}", nullptr},
        {R"({"x": )" + objects + "}", nullptr},
        {R"({"discs": [{"deep": )" + arrays + "}]}", nullptr},
        {R"({"vertexes": [{"x": 1, "y": 2, "trait": )" + objects + "}]}", nullptr},
        {R"({"ballPhysics": {"deep": )" + arrays + "}}", nullptr},
        {R"({"ballPhysics": )" + arrays + "}",
         "bad .zsm JSON: data did not match any variant of untagged enum BallPhysics"},
        {R"({"ballPhysics": {"radius": "x", "deep": )" + objects + "}}",
         "bad .zsm JSON: data did not match any variant of untagged enum BallPhysics"},
        {R"({"ballPhysics": {"cMask": )" + arrays + "}}",
         "bad .zsm JSON: data did not match any variant of untagged enum BallPhysics"},
        {R"({"vertexes": )" + arrays + "}",
         "bad .zsm JSON: invalid type at vertexes[0]: expected an object, found an array"},
        {R"({"discs": [{"cMask": )" + arrays + "}]}",
         "bad .zsm JSON: invalid type at discs[0].cMask[0]: expected a string, found an array"},
        {arrays, "bad .zsm JSON: invalid type: expected an object, found an array"},
    };
    for (const auto& c : cases) {
        const Built b = build(c.text);
        CHECK_EQ(b.ok, c.error == nullptr);
        if (c.error) CHECK_EQ(b.error, std::string(c.error));
    }
    // Never closed: the parser reaches the end of the text.
    const Built open = build(R"({"x": )" + std::string(DEEP, '['));
    CHECK(!open.ok);
    CHECK(open.error.find("unexpected end of input") != std::string::npos);
}

TEST(numbers_at_the_edges_of_double) {
    const std::string digits(100000, '7');
    const struct {
        std::string value;
        bool ok;
    } cases[] = {
        {"1e400", false},
        {"-1e400", false},
        {"1e-400", true},
        {"-0", true},
        {"18446744073709551616", true},
        {"1.7976931348623157e308", true},
        {"4.9e-324", true},
        {digits, false},  // beyond the range of a double
        {"0." + digits, true},
        {"1." + digits + "e-5", true},
    };
    for (const auto& c : cases) {
        for (const char* key : {"spawnDistance", "ignored"}) {
            const Built b = build(std::string(R"({")") + key + R"(": )" + c.value + "}");
            CHECK_EQ(b.ok, c.ok);
            CHECK(b.error.size() < 300);  // a long number is shown by its start
        }
    }
    const Built index = build(R"({"segments": [{"v0": )" + digits + R"(, "v1": 0}]})");
    CHECK(!index.ok);
}

TEST(values_that_make_degenerate_geometry_still_build) {
    const char* texts[] = {
        // Coincident ends of an arc, a zero normal, a zero and a negative radius.
        R"({"vertexes": [{"x": 5, "y": 5}, {"x": 5, "y": 5}], "segments": [{"v0": 0, "v1": 1, "curve": 90}],
            "planes": [{"normal": [0, 0], "dist": 0}], "discs": [{"radius": 0}, {"radius": -3}]})",
        // Coordinates at the top of the double range.
        R"({"vertexes": [{"x": -1.7976931348623157e308, "y": 0}, {"x": 1.7976931348623157e308, "y": 0}],
            "segments": [{"v0": 0, "v1": 1, "curve": 120}]})",
        R"({"vertexes": [{"x": 0, "y": 0}, {"x": 1e-320, "y": 0}], "segments": [{"v0": 0, "v1": 1, "curve": 60}]})",
    };
    for (const char* text : texts) {
        const Built b = build(text);
        CHECK(b.ok);
    }
}

TEST(bytes_that_are_not_utf8) {
    const std::string cases[] = {
        std::string(R"({"name": "a)") + "\xff" + R"("})",
        std::string(R"({"x)") + "\xc0\xaf" + R"(": 1})",              // overlong
        std::string(R"({"name": ")") + "\xed\xa0\x80" + R"("})",      // encoded surrogate
        std::string(R"({"name": ")") + "\xf4\x90\x80\x80" + R"("})",  // above U+10FFFF
        std::string(R"({"name": ")") + "\xe2\x82" + R"("})",          // cut short
        std::string("{\xfe}"),
        std::string("\x80"),
        std::string(R"({"name": "\ud800"})"),  // lone surrogate escape
        std::string(R"({"ballPhysics": "\udc00x"})"),
        std::string(R"({"name": "a)") + std::string(1, '\0') + R"("})",  // raw control character
    };
    for (const std::string& text : cases) {
        const Built b = build(text);
        CHECK(!b.ok);
        CHECK(known_error(b.error));
        CHECK(well_formed_utf8(b.error));
    }
    // Well-formed text outside ASCII is fine, in values and in trait names.
    CHECK(build("{\"name\": \"\xc3\xa9\xf0\x9f\x8f\x9f\", \"traits\": {\"\xe2\x82\xac\": {}}}").ok);
}

TEST(a_fifty_megabyte_text) {
    std::string text = R"({"notes": ")";
    text.append(50u << 20, 'a');
    text += R"(", "discs": [{}]})";
    const Built b = build(text);
    REQUIRE(b.ok);
    CHECK_EQ(b.state.first_player, std::uint64_t{2});
}

TEST(an_unterminated_long_string_is_quoted_by_its_start) {
    const Built b = build(R"({"name": ")" + std::string(1u << 20, 'a'));
    CHECK(!b.ok);
    CHECK(b.error.size() < 400);
    CHECK(b.error.find("line 1") != std::string::npos);
}

TEST(a_million_segments) {
    constexpr std::size_t N = 1000000;
    std::string text = R"({"vertexes": [{"x": 0, "y": 0}, {"x": 1, "y": 1}], "segments": [)";
    text.reserve(text.size() + N * 18);
    for (std::size_t i = 0; i < N; ++i) text += i ? R"(,{"v0":0,"v1":1})" : R"({"v0":0,"v1":1})";
    const Built ok = build(text + "]}");
    REQUIRE(ok.ok);
    CHECK_EQ(ok.state.segments.size(), N);
    CHECK_BITS(ok.state.segments[N - 1].v1.y, -1.0);
}

TEST(every_cut_of_the_classic_text_fails_cleanly) {
    const std::string_view classic = classic_stadium_text();
    std::size_t last = classic.size();
    while (last > 0 && (classic[last - 1] == '\n' || classic[last - 1] == ' ')) --last;
    for (std::size_t n = 0; n < last; ++n) {
        const Built b = build(classic.substr(0, n));
        CHECK(!b.ok);
        CHECK(b.error.rfind("bad .zsm JSON: ", 0) == 0);
    }
    CHECK(build(classic.substr(0, last)).ok);
}

TEST(single_byte_changes_to_the_classic_text_build_or_fail_cleanly) {
    const std::string classic(classic_stadium_text());
    std::size_t failures = 0;
    for (const char replacement : {'"', '}', '\xff', '9'}) {
        for (std::size_t i = 0; i < classic.size(); ++i) {
            if (classic[i] == replacement) continue;
            std::string text = classic;
            text[i] = replacement;
            const Built b = build(text);
            if (b.ok) {
                CHECK_EQ(b.state.n_players + b.state.first_player, b.state.discs.size());
            } else {
                ++failures;
                CHECK(known_error(b.error));
                CHECK(well_formed_utf8(b.error));
            }
        }
    }
    CHECK(failures > 0);
}
