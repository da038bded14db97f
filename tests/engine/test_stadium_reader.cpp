// Reading stadium texts into records: which keys are read, what null and
// repeated keys mean, and the description of every kind of bad text.
#include <cmath>
#include <string>
#include <string_view>

#include "check.hpp"
#include "stadium.hpp"
#include "stadium_reader.hpp"

namespace {

struct Read {
    bool ok;
    RawStadium stadium;
    std::string error;
};

Read read(std::string_view text) {
    Read r{};
    r.ok = read_stadium(text, r.stadium, r.error);
    return r;
}

// The whole message as the caller sees it.
std::string build_error(std::string_view text) {
    MatchState state;
    std::string error;
    if (build_match_state(text, 1, 1, state, error)) return "(built)";
    return error;
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

TEST(reader_keeps_file_frame_and_leaves_defaults_to_the_build) {
    const Read r = read(R"({
        "name": "Test", "spawnDistance": 100,
        "vertexes": [{"x": 1, "y": -2, "bCoef": 3, "trait": "t"}, {"x": 4.5, "y": 6}],
        "segments": [{"v0": 1, "v1": 0, "trait": "t", "curve": 30, "bias": -2}],
        "planes": [{"normal": [0, 1], "dist": -7.5}],
        "discs": [{"radius": 3}, {"pos": [1, -1], "cMask": ["red", "blue"]}],
        "goals": [{"p0": [1, 2], "p1": [3, 4], "team": "blue"}],
        "redSpawnPoints": [[-1, 2]], "blueSpawnPoints": [[3, -4], [5, 6]],
        "playerPhysics": {"kickStrength": 7},
        "ballPhysics": {"radius": 9}
    })");
    REQUIRE(r.ok);
    const RawStadium& s = r.stadium;
    CHECK(s.name == std::optional<std::string>("Test"));
    CHECK(s.spawnDistance == std::optional<double>(100.0));
    REQUIRE(s.vertexes.size() == 2);
    CHECK_BITS(s.vertexes[0].y, -2.0);
    CHECK_BITS(s.vertexes[1].x, 4.5);
    REQUIRE(s.segments.size() == 1);
    CHECK_EQ(s.segments[0].v0, std::uint64_t{1});
    CHECK_EQ(s.segments[0].v1, std::uint64_t{0});
    CHECK(s.segments[0].trait == std::optional<std::string>("t"));
    CHECK(s.segments[0].props.curve == std::optional<double>(30.0));
    CHECK(s.segments[0].props.bias == std::optional<double>(-2.0));
    CHECK(!s.segments[0].props.bCoef && !s.segments[0].props.cMask && !s.segments[0].props.cGroup);
    REQUIRE(s.planes.size() == 1);
    CHECK_BITS(s.planes[0].normal.y, 1.0);
    CHECK_BITS(s.planes[0].dist, -7.5);
    REQUIRE(s.discs.size() == 2);
    CHECK(!s.discs[0].pos);
    CHECK(s.discs[0].props.radius == std::optional<double>(3.0));
    REQUIRE(s.discs[1].pos.has_value());
    CHECK_BITS(s.discs[1].pos->y, -1.0);
    CHECK(s.discs[1].props.cMask == std::optional<CollisionFlags>(6));
    REQUIRE(s.goals.size() == 1);
    CHECK(s.goals[0].team == "blue");
    CHECK_BITS(s.goals[0].p1.y, 4.0);
    REQUIRE(s.redSpawnPoints.size() == 1);
    REQUIRE(s.blueSpawnPoints.size() == 2);
    CHECK_BITS(s.blueSpawnPoints[1].x, 5.0);
    CHECK(s.playerPhysics.kickStrength == std::optional<double>(7.0));
    CHECK(!s.playerPhysics.radius);
    REQUIRE(std::holds_alternative<RawProps>(s.ballPhysics));
    CHECK(std::get<RawProps>(s.ballPhysics).radius == std::optional<double>(9.0));
}

TEST(group_lists_convert_by_name) {
    const struct {
        const char* list;
        CollisionFlags flags;
    } cases[] = {
        {R"(["ball", "kick", "score"])", 193},
        {R"(["red", "blue"])", 6},
        {R"(["redKO", "blueKO"])", 24},
        {R"(["all"])", 63},
        {R"(["all", "kick"])", 127},
        {R"([])", 0},
        {R"(["Ball"])", 0},
        {R"(["c0", "red", "red"])", 2},
    };
    for (const auto& c : cases) {
        const Read r = read(std::string(R"({"discs": [{"cGroup": )") + c.list + "}]}");
        REQUIRE(r.ok);
        CHECK(r.stadium.discs[0].props.cGroup == std::optional<CollisionFlags>(c.flags));
    }
}

TEST(null_is_an_absent_key_where_a_key_may_be_absent) {
    const char* texts[] = {
        R"({"discs": [{"radius": null, "bCoef": null, "cMask": null, "cGroup": null,
            "invMass": null, "damping": null, "bias": null, "curve": null,
            "pos": null, "trait": null}]})",
        R"({"spawnDistance": null, "name": null, "traits": null, "vertexes": null,
            "segments": null, "planes": null, "discs": null, "goals": null,
            "redSpawnPoints": null, "blueSpawnPoints": null, "playerPhysics": null})",
        R"({"playerPhysics": {"radius": null, "invMass": null, "damping": null, "bCoef": null,
            "acceleration": null, "kickingAcceleration": null, "kickingDamping": null,
            "kickStrength": null, "kickback": null}})",
        R"({"traits": {"t": {"radius": null}}, "ballPhysics": {"radius": null}})",
    };
    for (const char* text : texts) {
        const Read r = read(text);
        REQUIRE(r.ok);
        const RawStadium& s = r.stadium;
        CHECK(!s.spawnDistance && !s.name);
        CHECK(s.vertexes.empty() && s.segments.empty() && s.planes.empty() && s.goals.empty());
        CHECK(s.redSpawnPoints.empty() && s.blueSpawnPoints.empty());
        CHECK(!s.playerPhysics.radius && !s.playerPhysics.kickback);
        for (const RawDisc& d : s.discs) {
            CHECK(!d.pos && !d.trait && !d.props.radius && !d.props.cMask && !d.props.curve);
        }
        for (const auto& [name, props] : s.traits) CHECK(!props.radius);
        if (const RawProps* ball = std::get_if<RawProps>(&s.ballPhysics)) CHECK(!ball->radius);
    }
}

TEST(a_null_own_key_keeps_the_traits_value) {
    MatchState m;
    std::string error;
    REQUIRE(build_match_state(R"({"traits": {"t": {"radius": 4}},
                                  "discs": [{"trait": "t", "radius": null}]})",
                              1, 0, m, error));
    CHECK_BITS(m.discs[1].radius, 4.0);
}

TEST(null_for_a_required_key_or_the_ball_is_an_error) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"vertexes": [{"x": null, "y": 0}]})",
         "bad .zsm JSON: invalid type at vertexes[0].x: expected a number, found null"},
        {R"({"segments": [{"v0": 0, "v1": null}]})",
         "bad .zsm JSON: invalid type at segments[0].v1: expected an index (a whole number from 0 "
         "to 18446744073709551615), found null"},
        {R"({"planes": [{"normal": null, "dist": 0}]})",
         "bad .zsm JSON: invalid type at planes[0].normal: expected a pair of numbers [x, y], found null"},
        {R"({"goals": [{"p0": [0, 0], "p1": [0, 0], "team": null}]})",
         "bad .zsm JSON: invalid type at goals[0].team: expected a string, found null"},
        {R"({"ballPhysics": null})", "bad .zsm JSON: data did not match any variant of untagged enum BallPhysics"},
        {R"({"discs": [null]})", "bad .zsm JSON: invalid type at discs[0]: expected an object, found null"},
        {R"({"discs": [{"pos": [null, 1]}]})",
         "bad .zsm JSON: invalid type at discs[0].pos[0]: expected a number, found null"},
        {R"({"discs": [{"cMask": [null]}]})",
         "bad .zsm JSON: invalid type at discs[0].cMask[0]: expected a string, found null"},
        {R"({"traits": {"t": null}})", "bad .zsm JSON: invalid type at traits[\"t\"]: expected an object, found null"},
    };
    for (const auto& c : cases) CHECK_EQ(build_error(c.text), std::string(c.error));
}

TEST(repeated_keys) {
    const struct {
        const char* text;
        const char* error;  // nullptr: reads
    } cases[] = {
        {R"({"vertexes": [{"x": 1, "y": 2, "x": 3}]})", "bad .zsm JSON: duplicate field `x`"},
        {R"({"segments": [{"v0": 0, "v1": 0, "curve": 1, "curve": 1}]})", "bad .zsm JSON: duplicate field `curve`"},
        {R"({"discs": [{"radius": null, "radius": 1}]})", "bad .zsm JSON: duplicate field `radius`"},
        {R"({"name": "a", "name": "b"})", "bad .zsm JSON: duplicate field `name`"},
        {R"({"discs": [], "discs": []})", "bad .zsm JSON: duplicate field `discs`"},
        {R"({"traits": {"t": {"cMask": [], "cMask": []}}})", "bad .zsm JSON: duplicate field `cMask`"},
        {R"({"playerPhysics": {"kickback": 1, "kickback": 1}})", "bad .zsm JSON: duplicate field `kickback`"},
        {R"({"goals": [{"p0": [0, 0], "p1": [0, 0], "team": "red", "team": "red"}]})",
         "bad .zsm JSON: duplicate field `team`"},
        // Keys a record does not read may repeat, whatever their value.
        {R"({"vertexes": [{"x": 1, "y": 2, "bCoef": 1, "bCoef": [], "trait": 1, "trait": 2}]})", nullptr},
        {R"({"width": 1, "width": {"a": 1}, "bg": 1, "bg": 2})", nullptr},
        {R"({"playerPhysics": {"cMask": 1, "cMask": 2, "cGroup": [], "cGroup": null}})", nullptr},
        {R"({"goals": [{"p0": [0, 0], "p1": [0, 0], "team": "red", "x": 1, "x": 1}]})", nullptr},
        // Key names are case-sensitive: "Radius" is another, ignored key.
        {R"({"discs": [{"radius": 1, "Radius": 2}]})", nullptr},
    };
    for (const auto& c : cases) {
        CHECK_EQ(build_error(c.text), std::string(c.error ? c.error : "(built)"));
    }
}

TEST(a_trait_named_twice_keeps_its_later_entry) {
    const Read r = read(R"({"traits": {"t": {"radius": 1, "bCoef": 2}, "u": {}, "t": {"radius": 3}}})");
    REQUIRE(r.ok);
    REQUIRE(r.stadium.traits.size() == 2);
    const RawProps& t = r.stadium.traits.at("t");
    CHECK(t.radius == std::optional<double>(3.0));
    CHECK(!t.bCoef);  // the whole entry is replaced, not merged
}

TEST(missing_required_fields_in_declaration_order) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"vertexes": [{"x": 1}]})", "bad .zsm JSON: missing field `y`"},
        {R"({"vertexes": [{}]})", "bad .zsm JSON: missing field `x`"},
        {R"({"segments": [{"curve": 3}]})", "bad .zsm JSON: missing field `v0`"},
        {R"({"segments": [{"v0": 3}]})", "bad .zsm JSON: missing field `v1`"},
        {R"({"planes": [{"dist": 3}]})", "bad .zsm JSON: missing field `normal`"},
        {R"({"planes": [{"normal": [1, 0]}]})", "bad .zsm JSON: missing field `dist`"},
        {R"({"goals": [{"team": "red", "p1": [0, 0]}]})", "bad .zsm JSON: missing field `p0`"},
        {R"({"goals": [{"p0": [0, 0], "p1": [0, 0]}]})", "bad .zsm JSON: missing field `team`"},
        // Records whose keys are all optional.
        {R"({"discs": [{}], "playerPhysics": {}, "traits": {"t": {}}, "ballPhysics": {}})", "(built)"},
    };
    for (const auto& c : cases) CHECK_EQ(build_error(c.text), std::string(c.error));
}

TEST(indexes_are_whole_unsigned_numbers) {
    const struct {
        const char* value;
        bool ok;
        std::uint64_t index;
    } cases[] = {
        {"0", true, 0},      {"7", true, 7},     {"18446744073709551615", true, 18446744073709551615u},
        {"-0", true, 0},     {"-1", false, 0},   {"1.0", false, 0},
        {"1e0", false, 0},   {"0.5", false, 0},  {"18446744073709551616", false, 0},
        {"\"1\"", false, 0}, {"true", false, 0},
    };
    for (const auto& c : cases) {
        const std::string text = std::string(R"({"segments": [{"v1": 0, "v0": )") + c.value + "}]}";
        const Read r = read(text);
        CHECK_EQ(r.ok, c.ok);
        if (c.ok && r.ok) CHECK_EQ(r.stadium.segments[0].v0, c.index);
        if (!c.ok && !r.ok) {
            CHECK(starts_with(r.error, "invalid type at segments[0].v0: expected an index"));
            CHECK(r.error.find(c.value) != std::string::npos || c.value[0] == '"' || c.value[0] == 't');
        }
    }
}

TEST(numbers_read_as_doubles) {
    const struct {
        const char* value;
        double number;
    } cases[] = {
        {"5", 5.0},
        {"-3", -3.0},
        {"-0", -0.0},
        {"0", 0.0},
        {"-0.0", -0.0},
        {"1e-400", 0.0},
        {"18446744073709551616", 18446744073709551616.0},
        {"18446744073709551615", 18446744073709551615.0},
        {"-9223372036854775809", -9223372036854775809.0},
        {"0.1", 0.1},
        {"1E2", 100.0},
    };
    for (const auto& c : cases) {
        const Read r = read(std::string(R"({"spawnDistance": )") + c.value + "}");
        REQUIRE(r.ok);
        REQUIRE(r.stadium.spawnDistance.has_value());
        CHECK_BITS(*r.stadium.spawnDistance, c.number);
    }
}

TEST(values_of_the_wrong_type) {
    const struct {
        const char* text;
        const char* description;
    } cases[] = {
        {"[]", "invalid type: expected an object, found an array"},
        {"5", "invalid type: expected an object, found the number 5"},
        {"null", "invalid type: expected an object, found null"},
        {R"({"vertexes": {}})", "invalid type at vertexes: expected a list of objects, found an object"},
        {R"({"vertexes": [[1, 2]]})", "invalid type at vertexes[0]: expected an object, found an array"},
        {R"({"vertexes": [{"x": 0, "y": 0}, {"x": "1", "y": 0}]})",
         "invalid type at vertexes[1].x: expected a number, found a string"},
        {R"({"segments": [{"v0": 0, "v1": 1.5}]})",
         "invalid type at segments[0].v1: expected an index (a whole number from 0 to "
         "18446744073709551615), found the number 1.5"},
        {R"({"segments": [{"v0": 0, "v1": -2}]})",
         "invalid type at segments[0].v1: expected an index (a whole number from 0 to "
         "18446744073709551615), found the number -2"},
        {R"({"segments": [{"v0": 0, "v1": 0, "cMask": "ball"}]})",
         "invalid type at segments[0].cMask: expected a list of group names, found a string"},
        {R"({"segments": [{"v0": 0, "v1": 0, "cGroup": ["ball", 1]}]})",
         "invalid type at segments[0].cGroup[1]: expected a string, found the number 1"},
        {R"({"segments": [{"v0": 0, "v1": 0, "trait": 1}]})",
         "invalid type at segments[0].trait: expected a string, found the number 1"},
        {R"({"discs": [{"pos": {"x": 1, "y": 2}}]})",
         "invalid type at discs[0].pos: expected a pair of numbers [x, y], found an object"},
        {R"({"discs": [{"pos": [1]}]})",
         "invalid length at discs[0].pos: expected a pair of numbers [x, y], found 1 number"},
        {R"({"discs": [{"pos": []}]})",
         "invalid length at discs[0].pos: expected a pair of numbers [x, y], found 0 numbers"},
        {R"({"discs": [{"pos": [1, 2, 3]}]})",
         "invalid length at discs[0].pos: expected a pair of numbers [x, y], found more than 2 numbers"},
        {R"({"discs": [{"pos": [1, [2]]}]})", "invalid type at discs[0].pos[1]: expected a number, found an array"},
        {R"({"redSpawnPoints": [[0, 0], [1]]})",
         "invalid length at redSpawnPoints[1]: expected a pair of numbers [x, y], found 1 number"},
        {R"({"blueSpawnPoints": [5]})",
         "invalid type at blueSpawnPoints[0]: expected a pair of numbers [x, y], found the number 5"},
        {R"({"traits": []})", "invalid type at traits: expected an object, found an array"},
        {R"({"traits": {"a\"b": {"radius": true}}})",
         "invalid type at traits[\"a\\\"b\"].radius: expected a number, found a boolean"},
        {R"({"playerPhysics": 1})", "invalid type at playerPhysics: expected an object, found the number 1"},
        {R"({"playerPhysics": {"kickStrength": "5"}})",
         "invalid type at playerPhysics.kickStrength: expected a number, found a string"},
        {R"({"name": 1})", "invalid type at name: expected a string, found the number 1"},
        {R"({"goals": [{"p0": [0, 0], "p1": [0, 0], "team": 2}]})",
         "invalid type at goals[0].team: expected a string, found the number 2"},
        {R"({"spawnDistance": [1]})", "invalid type at spawnDistance: expected a number, found an array"},
        {R"({"planes": [{"normal": [0, 1], "dist": false}]})",
         "invalid type at planes[0].dist: expected a number, found a boolean"},
    };
    for (const auto& c : cases) {
        const Read r = read(c.text);
        CHECK(!r.ok);
        CHECK_EQ(r.error, std::string(c.description));
    }
}

TEST(ball_physics_is_a_string_or_an_object) {
    const std::string untagged = "bad .zsm JSON: data did not match any variant of untagged enum BallPhysics";
    const struct {
        const char* text;
        std::string error;
    } cases[] = {
        {R"({"ballPhysics": 1})", untagged},
        {R"({"ballPhysics": true})", untagged},
        {R"({"ballPhysics": [1, 2]})", untagged},
        {R"({"ballPhysics": []})", untagged},
        // Inside the object any problem means that no variant matched.
        {R"({"ballPhysics": {"radius": "big"}})", untagged},
        {R"({"ballPhysics": {"radius": 1, "radius": 2}})", untagged},
        {R"({"ballPhysics": {"cMask": [1, 2, [3]], "bCoef": 1}})", untagged},
        {R"({"ballPhysics": {"cGroup": {"a": [1]}}})", untagged},
        // Keys of the ball that have no effect are still typed, but ignored
        // keys are not.
        {R"({"ballPhysics": {"cMask": ["red"], "bias": 1, "curve": 2, "pos": "x", "pos": 1}})", "(built)"},
        // The first problem in the text wins.
        {R"({"ballPhysics": 5, "vertexes": 3})", untagged},
        {R"({"vertexes": 3, "ballPhysics": 5})",
         "bad .zsm JSON: invalid type at vertexes: expected a list of objects, found the number 3"},
        {R"({"ballPhysics": {"radius": "x"}, "x": 1, "vertexes": 3})", untagged},
    };
    for (const auto& c : cases) CHECK_EQ(build_error(c.text), c.error);
}

TEST(a_syntax_error_inside_a_mismatched_ball_comes_first) {
    // The whole value has to be read to know that it is no BallPhysics.
    for (const char* text :
         {R"({"ballPhysics": [1, 2)", R"({"ballPhysics": {"radius": "x", ]})", R"({"ballPhysics": [1, }, "a": 1})"}) {
        const std::string error = build_error(text);
        CHECK(starts_with(error, "bad .zsm JSON: parse error at line 1, column "));
    }
}

TEST(syntax_errors_name_line_and_column) {
    const struct {
        const char* text;
        const char* start;  // the description begins so
    } cases[] = {
        {"", "parse error at line 1, column 1: attempting to parse an empty input"},
        {"  \n\t ", "parse error at line 2, column 3: "},
        {"{}x", "parse error at line 1, column 3: "},
        {"{} {}", "parse error at line 1, column 4: "},
        {"{\n\"name\": \"a\",\n}", "parse error at line 3, column 1: "},
        {"{\"name\": 'a'}", "parse error at line 1, column 10: "},
        {"{\"name\": \"a\" // c\n}", "parse error at line 1, column 14: "},
        {"{\"discs\": [{}, ]}", "parse error at line 1, column 16: "},
        {"{\"x\": NaN}", "parse error at line 1, column 7: "},
        {"{\"x\": 01}", "parse error at line 1, column 8: "},
    };
    for (const auto& c : cases) {
        const Read r = read(c.text);
        CHECK(!r.ok);
        if (!starts_with(r.error, c.start)) CHECK_EQ(r.error, std::string(c.start) + "...");
    }
}

TEST(numbers_beyond_double_range_are_refused_with_their_place) {
    // The column is that of the number's last character, as in the parser's
    // own messages.
    const Read r = read("{\n  \"spawnDistance\": 1e400}");
    CHECK(!r.ok);
    CHECK_EQ(r.error, std::string("number overflow parsing '1e400' at line 2, column 24"));
    // Inside an ignored value too: the parser reads every number.
    CHECK(!read(R"({"x": [-1e309]})").ok);
}

TEST(quoting_for_messages) {
    const struct {
        std::string_view in;
        const char* out;
    } cases[] = {
        {"ball", R"("ball")"},
        {"", R"("")"},
        {R"(a"b\c)", R"("a\"b\\c")"},
        {"\n\r\t", R"("\n\r\t")"},
        {std::string_view("a\0b", 3), R"("a\0b")"},
        {"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
        {"\xc2\x85", R"("\u{85}")"},
        {"\xc3\xa9\xe2\x82\xac", "\"\xc3\xa9\xe2\x82\xac\""},  // printable text stays as it is
        {"\xff", R"("\xff")"},
        {"\xc3", R"("\xc3")"},
        {"'", R"("'")"},
    };
    for (const auto& c : cases) CHECK_EQ(quoted_for_message(c.in), std::string(c.out));
}

TEST(records_may_not_be_written_as_arrays) {
    for (const char* text : {R"({"discs": [[0, 0]]})", R"({"playerPhysics": [15]})", R"({"traits": {"t": [1]}})",
                             R"({"goals": [[[0, 0], [0, 1], "red"]]})"}) {
        const Read r = read(text);
        CHECK(!r.ok);
        CHECK(starts_with(r.error, "invalid type at "));
        CHECK(r.error.find("expected an object, found an array") != std::string::npos);
    }
}

TEST(a_failed_read_leaves_the_output_alone) {
    RawStadium out;
    out.name = "before";
    out.vertexes.push_back({1, 2});
    std::string error;
    CHECK(!read_stadium(R"({"name": "after", "vertexes": [], "x": })", out, error));
    CHECK(out.name == std::optional<std::string>("before"));
    CHECK_EQ(out.vertexes.size(), std::size_t{1});
    CHECK(!error.empty());
}
