#include "stadium_reader.hpp"

#include <array>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <utility>

#include "engine_fault.hpp"

// The text is read through SAX events into the records directly. This sees
// every repeated key (a DOM would keep one of them silently), stores nothing
// that the records do not keep, and holds one small frame per open container
// of the known shape: an ignored value of any depth is skipped with a counter,
// so no text can make the reader recurse or allocate per nesting level.

namespace {

using json = nlohmann::json;

// Every key that some record reads. The names are the file's own.
enum class Key : std::uint8_t {
    name,
    traits,
    vertexes,
    segments,
    planes,
    discs,
    goals,
    spawnDistance,
    playerPhysics,
    ballPhysics,
    redSpawnPoints,
    blueSpawnPoints,
    x,
    y,
    v0,
    v1,
    normal,
    dist,
    pos,
    trait,
    p0,
    p1,
    team,
    bCoef,
    cGroup,
    cMask,
    radius,
    invMass,
    damping,
    bias,
    curve,
    acceleration,
    kickingAcceleration,
    kickingDamping,
    kickStrength,
    kickback,
    count,
    ignored = count,  // a key the record does not read
    none,             // no key pending
};

constexpr std::array<std::string_view, static_cast<std::size_t>(Key::count)> KEY_NAMES = {
    "name",
    "traits",
    "vertexes",
    "segments",
    "planes",
    "discs",
    "goals",
    "spawnDistance",
    "playerPhysics",
    "ballPhysics",
    "redSpawnPoints",
    "blueSpawnPoints",
    "x",
    "y",
    "v0",
    "v1",
    "normal",
    "dist",
    "pos",
    "trait",
    "p0",
    "p1",
    "team",
    "bCoef",
    "cGroup",
    "cMask",
    "radius",
    "invMass",
    "damping",
    "bias",
    "curve",
    "acceleration",
    "kickingAcceleration",
    "kickingDamping",
    "kickStrength",
    "kickback",
};
static_assert(KEY_NAMES.size() <= 64, "the keys seen in one object are a 64-bit mask");

constexpr std::uint64_t bit(Key k) { return std::uint64_t{1} << static_cast<unsigned>(k); }

enum class Record : std::uint8_t { stadium, vertex, segment, plane, disc, goal, trait, ball, playerPhysics };

constexpr std::uint64_t PROPS_KEYS = bit(Key::bCoef) | bit(Key::cGroup) | bit(Key::cMask) | bit(Key::radius) |
                                     bit(Key::invMass) | bit(Key::damping) | bit(Key::bias) | bit(Key::curve);

std::uint64_t keys_read(Record r) {
    switch (r) {
        case Record::stadium:
            return bit(Key::name) | bit(Key::traits) | bit(Key::vertexes) | bit(Key::segments) | bit(Key::planes) |
                   bit(Key::discs) | bit(Key::goals) | bit(Key::spawnDistance) | bit(Key::playerPhysics) |
                   bit(Key::ballPhysics) | bit(Key::redSpawnPoints) | bit(Key::blueSpawnPoints);
        case Record::vertex:
            return bit(Key::x) | bit(Key::y);
        case Record::segment:
            return bit(Key::v0) | bit(Key::v1) | bit(Key::trait) | PROPS_KEYS;
        case Record::plane:
            return bit(Key::normal) | bit(Key::dist) | bit(Key::trait) | PROPS_KEYS;
        case Record::disc:
            return bit(Key::pos) | bit(Key::trait) | PROPS_KEYS;
        case Record::goal:
            return bit(Key::p0) | bit(Key::p1) | bit(Key::team);
        case Record::trait:
        case Record::ball:
            return PROPS_KEYS;
        case Record::playerPhysics:
            return bit(Key::radius) | bit(Key::invMass) | bit(Key::damping) | bit(Key::bCoef) | bit(Key::acceleration) |
                   bit(Key::kickingAcceleration) | bit(Key::kickingDamping) | bit(Key::kickStrength) |
                   bit(Key::kickback);
    }
    return 0;
}

// Required keys in the order they are reported when several are missing.
struct Required {
    std::array<Key, 3> keys;
    std::size_t n;
};

Required required_keys(Record r) {
    switch (r) {
        case Record::vertex:
            return {{Key::x, Key::y}, 2};
        case Record::segment:
            return {{Key::v0, Key::v1}, 2};
        case Record::plane:
            return {{Key::normal, Key::dist}, 2};
        case Record::goal:
            return {{Key::p0, Key::p1, Key::team}, 3};
        default:
            return {{}, 0};
    }
}

bool is_required(Record r, Key k) {
    const Required req = required_keys(r);
    for (std::size_t i = 0; i < req.n; ++i) {
        if (req.keys[i] == k) return true;
    }
    return false;
}

Key find_key(Record r, std::string_view name) {
    const std::uint64_t reads = keys_read(r);
    for (std::size_t i = 0; i < KEY_NAMES.size(); ++i) {
        const Key k = static_cast<Key>(i);
        if ((reads & bit(k)) != 0 && KEY_NAMES[i] == name) return k;
    }
    return Key::ignored;
}

// What the next value must be.
enum class Slot : std::uint8_t {
    number,
    index,
    string,
    pair,
    groups,
    record_list,
    pair_list,
    record,
    trait_table,
    ball,
    ignored
};

struct Expect {
    Slot slot;
    Record record = Record::stadium;  // for record and record_list
};

Expect expect_for(Key k) {
    switch (k) {
        case Key::name:
        case Key::trait:
        case Key::team:
            return {Slot::string};
        case Key::traits:
            return {Slot::trait_table};
        case Key::vertexes:
            return {Slot::record_list, Record::vertex};
        case Key::segments:
            return {Slot::record_list, Record::segment};
        case Key::planes:
            return {Slot::record_list, Record::plane};
        case Key::discs:
            return {Slot::record_list, Record::disc};
        case Key::goals:
            return {Slot::record_list, Record::goal};
        case Key::playerPhysics:
            return {Slot::record, Record::playerPhysics};
        case Key::ballPhysics:
            return {Slot::ball};
        case Key::redSpawnPoints:
        case Key::blueSpawnPoints:
            return {Slot::pair_list};
        case Key::v0:
        case Key::v1:
            return {Slot::index};
        case Key::normal:
        case Key::pos:
        case Key::p0:
        case Key::p1:
            return {Slot::pair};
        case Key::cGroup:
        case Key::cMask:
            return {Slot::groups};
        case Key::ignored:
        case Key::none:
            return {Slot::ignored};
        default:
            return {Slot::number};
    }
}

const char* describe(Slot s) {
    switch (s) {
        case Slot::number:
            return "a number";
        case Slot::index:
            return "an index (a whole number from 0 to 18446744073709551615)";
        case Slot::string:
            return "a string";
        case Slot::pair:
            return "a pair of numbers [x, y]";
        case Slot::groups:
            return "a list of group names";
        case Slot::record_list:
            return "a list of objects";
        case Slot::pair_list:
            return "a list of pairs of numbers";
        case Slot::record:
        case Slot::trait_table:
            return "an object";
        case Slot::ball:
        case Slot::ignored:
            break;
    }
    return "a value";
}

enum class Ctx : std::uint8_t { document, object, trait_table, list, pair, groups };

// One open container of the known shape.
struct Frame {
    Ctx ctx = Ctx::document;
    Record record = Record::stadium;  // object: the record being filled
    Key key = Key::none;              // object: the key last read; list: the list
    bool has_trait_name = false;      // trait_table: a trait's name has been read
    std::uint64_t seen = 0;           // object: the read keys given so far
    std::size_t count = 0;            // list, pair, groups: elements begun
    Expect element{Slot::ignored};    // list: what each element must be
    RawPair pair{};                   // pair: the numbers so far
    CollisionFlags groups = 0;        // groups: the names so far
};

// The deepest read position is document > stadium > traits > trait > group
// list; anything deeper is skipped or refused.
constexpr std::size_t MAX_FRAMES = 6;

const char* const UNTAGGED_BALL = "data did not match any variant of untagged enum BallPhysics";

// Number of bytes of the well-formed UTF-8 sequence starting at s[i], or 0
// when the byte there does not begin one (overlong forms, surrogates and
// values above U+10FFFF are not well formed).
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return n;
}

const char HEX[] = "0123456789abcdef";

void append_hex_byte(std::string& out, unsigned char b) {
    out += "\\x";
    out += HEX[b >> 4];
    out += HEX[b & 15];
}

// The parser's messages quote what it last read, which may be bytes that are
// not UTF-8; the message itself must be valid text.
std::string valid_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence_length(s, i);
        if (n == 0) {
            append_hex_byte(out, static_cast<unsigned char>(s[i]));
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

// Long tokens (a huge number, an unterminated string of megabytes) are shown
// by their start.
constexpr std::size_t SHOWN_TOKEN_BYTES = 64;

std::string shorten(std::string_view token) {
    if (token.size() <= SHOWN_TOKEN_BYTES) return std::string(token);
    return std::string(token.substr(0, SHOWN_TOKEN_BYTES)) + "...";
}

// The parser's description of a syntax error, without its exception tag, with
// the token it shows shortened and made valid text, and with the line and
// column added where the parser gives none (number overflow).
std::string describe_syntax_error(std::string message, std::string_view text, std::size_t position) {
    if (message.rfind("[json.exception.", 0) == 0) {
        const std::size_t end = message.find("] ");
        if (end != std::string::npos) message.erase(0, end + 2);
    }
    // Both forms of message that quote a token end with it.
    for (const std::string_view before_token : {"; last read: '", "number overflow parsing '"}) {
        const std::size_t at = message.find(before_token);
        if (at == std::string::npos || message.back() != '\'') continue;
        const std::size_t start = at + before_token.size();
        if (message.size() < start + 1) continue;
        const std::string token = message.substr(start, message.size() - 1 - start);
        message = message.substr(0, start) + shorten(token) + "'";
    }
    if (message.rfind("parse error at line ", 0) != 0) {
        // Lines and columns as the parser counts them: 1-based line, bytes
        // read on the current line.
        const std::size_t end = position < text.size() ? position : text.size();
        std::size_t line = 1;
        std::size_t line_start = 0;
        for (std::size_t i = 0; i < end; ++i) {
            if (text[i] == '\n') {
                ++line;
                line_start = i + 1;
            }
        }
        message += " at line " + std::to_string(line) + ", column " + std::to_string(position - line_start);
    }
    return valid_utf8(message);
}

// A scalar as the parser delivered it.
struct Scalar {
    enum class Kind : std::uint8_t { null, boolean, number, string };
    Kind kind = Kind::null;
    double number = 0.0;
    bool is_index = false;  // a whole number written without sign, fraction or exponent
    std::uint64_t index = 0;
    std::string token;            // numbers: as written, for messages
    std::string* text = nullptr;  // strings: the parser's buffer, which may be moved from
};

Scalar number_scalar(double number, std::string token) {
    Scalar s;
    s.kind = Scalar::Kind::number;
    s.number = number;
    s.token = std::move(token);
    return s;
}

std::string describe(const Scalar& v) {
    switch (v.kind) {
        case Scalar::Kind::null:
            return "null";
        case Scalar::Kind::boolean:
            return "a boolean";
        case Scalar::Kind::number:
            return "the number " + shorten(v.token);
        case Scalar::Kind::string:
            return "a string";
    }
    return "a value";
}

class StadiumHandler final : public nlohmann::json_sax<json> {
public:
    StadiumHandler(std::string_view text, RawStadium& out) : text_(text), out_(out) {}

    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

    bool null() override { return on_scalar(Scalar{}); }

    bool boolean(bool) override {
        Scalar s;
        s.kind = Scalar::Kind::boolean;
        return on_scalar(s);
    }

    bool number_unsigned(number_unsigned_t v) override {
        Scalar s = number_scalar(static_cast<double>(v), std::to_string(v));
        s.is_index = true;
        s.index = v;
        return on_scalar(s);
    }

    // Only negative integers and "-0" arrive here; the latter is zero as an
    // index and keeps its sign as a number.
    bool number_integer(number_integer_t v) override {
        if (v != 0) return on_scalar(number_scalar(static_cast<double>(v), std::to_string(v)));
        Scalar s = number_scalar(-0.0, "-0");
        s.is_index = true;
        return on_scalar(s);
    }

    bool number_float(number_float_t v, const string_t& raw) override { return on_scalar(number_scalar(v, raw)); }

    bool string(string_t& v) override {
        Scalar s;
        s.kind = Scalar::Kind::string;
        s.text = &v;
        return on_scalar(s);
    }

    bool binary(binary_t&) override { return fail("unexpected binary value", false); }

    bool start_object(std::size_t) override { return on_open(true); }
    bool start_array(std::size_t) override { return on_open(false); }
    bool end_object() override { return on_close(); }
    bool end_array() override { return on_close(); }

    bool key(string_t& k) override {
        if (skip_depth_ > 0) return true;
        Frame& top = this->top();
        if (top.ctx == Ctx::trait_table) {
            trait_name_ = std::move(k);
            top.has_trait_name = true;
            return true;
        }
        const Key found = find_key(top.record, k);
        if (found != Key::ignored) {
            if ((top.seen & bit(found)) != 0) return fail("duplicate field `" + k + "`", false);
            top.seen |= bit(found);
        }
        top.key = found;
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
        failed_ = true;
        error_ = describe_syntax_error(ex.what(), text_, position);
        return false;
    }

private:
    Frame& top() { return frames_[depth_ - 1]; }

    // The slot of the value that begins now; an element of a list, pair or
    // group list is counted as it begins, so messages can name its index.
    Expect begin_value(Frame& f) {
        switch (f.ctx) {
            case Ctx::document:
                return {Slot::record, Record::stadium};
            case Ctx::object:
                return expect_for(f.key);
            case Ctx::trait_table:
                return {Slot::record, Record::trait};
            case Ctx::list:
                ++f.count;
                return f.element;
            case Ctx::pair:
                ++f.count;
                return {Slot::number};
            case Ctx::groups:
                ++f.count;
                return {Slot::string};
        }
        return {Slot::ignored};
    }

    bool on_scalar(const Scalar& v) {
        if (skip_depth_ > 0) return true;
        Frame& f = top();
        const Expect e = begin_value(f);
        if (e.slot == Slot::ignored) return true;
        if (e.slot == Slot::ball) {
            if (v.kind != Scalar::Kind::string) return fail(UNTAGGED_BALL, false);
            out_.ballPhysics = std::move(*v.text);
            return true;
        }
        // null stands for an absent key, where a key may be absent
        if (v.kind == Scalar::Kind::null && f.ctx == Ctx::object && !is_required(f.record, f.key)) {
            return true;
        }
        switch (e.slot) {
            case Slot::number:
                if (v.kind != Scalar::Kind::number) break;
                if (f.ctx == Ctx::pair) return store_pair_element(f, v.number);
                store_number(f, v.number);
                return true;
            case Slot::index:
                if (v.kind != Scalar::Kind::number || !v.is_index) break;
                (f.key == Key::v0 ? out_.segments.back().v0 : out_.segments.back().v1) = v.index;
                return true;
            case Slot::string:
                if (v.kind != Scalar::Kind::string) break;
                if (f.ctx == Ctx::groups) {
                    f.groups |= group_flag(*v.text);
                    return true;
                }
                store_string(f, std::move(*v.text));
                return true;
            default:
                break;
        }
        return fail_type(e.slot, describe(v), false);
    }

    bool on_open(bool object) {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return true;
        }
        if (depth_ == MAX_FRAMES) {
            throw EngineFault("stadium reader: nesting beyond its known shape");
        }
        Frame& f = top();
        const Expect e = begin_value(f);
        const char* found = object ? "an object" : "an array";
        Frame child;
        switch (e.slot) {
            case Slot::ignored:
                skip_depth_ = 1;
                return true;
            case Slot::ball:
                if (!object) {
                    // Only the whole value tells that it is no variant: a
                    // syntax error inside it comes first.
                    ball_mismatch_ = true;
                    skip_depth_ = 1;
                    return true;
                }
                out_.ballPhysics.emplace<RawProps>();
                child.ctx = Ctx::object;
                child.record = Record::ball;
                break;
            case Slot::record:
                if (!object) return fail_type(e.slot, found, true);
                open_record(e.record);
                child.ctx = Ctx::object;
                child.record = e.record;
                break;
            case Slot::trait_table:
                if (!object) return fail_type(e.slot, found, true);
                child.ctx = Ctx::trait_table;
                break;
            case Slot::record_list:
            case Slot::pair_list:
                if (object) return fail_type(e.slot, found, true);
                child.ctx = Ctx::list;
                child.key = f.key;
                child.element = e.slot == Slot::pair_list ? Expect{Slot::pair} : Expect{Slot::record, e.record};
                break;
            case Slot::pair:
                if (object) return fail_type(e.slot, found, true);
                child.ctx = Ctx::pair;
                break;
            case Slot::groups:
                if (object) return fail_type(e.slot, found, true);
                child.ctx = Ctx::groups;
                break;
            case Slot::number:
            case Slot::index:
            case Slot::string:
                return fail_type(e.slot, found, true);
        }
        frames_[depth_++] = child;
        return true;
    }

    bool on_close() {
        if (skip_depth_ > 0) {
            if (--skip_depth_ > 0) return true;
            return ball_mismatch_ ? fail_now(UNTAGGED_BALL) : true;
        }
        const Frame done = frames_[--depth_];
        Frame& parent = top();
        switch (done.ctx) {
            case Ctx::object: {
                const Required req = required_keys(done.record);
                for (std::size_t i = 0; i < req.n; ++i) {
                    if ((done.seen & bit(req.keys[i])) != 0) continue;
                    const std::string_view name = KEY_NAMES[static_cast<std::size_t>(req.keys[i])];
                    return fail("missing field `" + std::string(name) + "`", false);
                }
                break;
            }
            case Ctx::pair:
                if (done.count != 2) {
                    const char* unit = done.count == 1 ? " number" : " numbers";
                    return fail_length(std::to_string(done.count) + unit);
                }
                store_pair(parent, done.pair);
                break;
            case Ctx::groups: {
                RawProps& p = *props_of(parent.record);
                (parent.key == Key::cGroup ? p.cGroup : p.cMask) = done.groups;
                break;
            }
            case Ctx::document:
            case Ctx::trait_table:
            case Ctx::list:
                break;
        }
        return true;
    }

    void open_record(Record r) {
        switch (r) {
            case Record::vertex:
                out_.vertexes.emplace_back();
                break;
            case Record::segment:
                out_.segments.emplace_back();
                break;
            case Record::plane:
                out_.planes.emplace_back();
                break;
            case Record::disc:
                out_.discs.emplace_back();
                break;
            case Record::goal:
                out_.goals.emplace_back();
                break;
            case Record::trait:
                current_trait_ = &(out_.traits[trait_name_] = RawProps{});
                break;
            case Record::stadium:
            case Record::ball:
            case Record::playerPhysics:
                break;
        }
    }

    RawProps* props_of(Record r) {
        switch (r) {
            case Record::segment:
                return &out_.segments.back().props;
            case Record::plane:
                return &out_.planes.back().props;
            case Record::disc:
                return &out_.discs.back().props;
            case Record::trait:
                return current_trait_;
            case Record::ball:
                return &std::get<RawProps>(out_.ballPhysics);
            default:
                throw EngineFault("stadium reader: properties on a record without them");
        }
    }

    void store_number(const Frame& f, double v) {
        switch (f.record) {
            case Record::stadium:
                out_.spawnDistance = v;
                return;
            case Record::vertex: {
                RawVertex& vertex = out_.vertexes.back();
                (f.key == Key::x ? vertex.x : vertex.y) = v;
                return;
            }
            case Record::playerPhysics: {
                RawPlayerPhysics& p = out_.playerPhysics;
                switch (f.key) {
                    case Key::radius:
                        p.radius = v;
                        return;
                    case Key::invMass:
                        p.invMass = v;
                        return;
                    case Key::damping:
                        p.damping = v;
                        return;
                    case Key::bCoef:
                        p.bCoef = v;
                        return;
                    case Key::acceleration:
                        p.acceleration = v;
                        return;
                    case Key::kickingAcceleration:
                        p.kickingAcceleration = v;
                        return;
                    case Key::kickingDamping:
                        p.kickingDamping = v;
                        return;
                    case Key::kickStrength:
                        p.kickStrength = v;
                        return;
                    case Key::kickback:
                        p.kickback = v;
                        return;
                    default:
                        break;
                }
                break;
            }
            case Record::plane:
                if (f.key == Key::dist) {
                    out_.planes.back().dist = v;
                    return;
                }
                [[fallthrough]];
            default: {
                RawProps& p = *props_of(f.record);
                switch (f.key) {
                    case Key::bCoef:
                        p.bCoef = v;
                        return;
                    case Key::radius:
                        p.radius = v;
                        return;
                    case Key::invMass:
                        p.invMass = v;
                        return;
                    case Key::damping:
                        p.damping = v;
                        return;
                    case Key::bias:
                        p.bias = v;
                        return;
                    case Key::curve:
                        p.curve = v;
                        return;
                    default:
                        break;
                }
            }
        }
        throw EngineFault("stadium reader: number for a key without a number");
    }

    void store_string(const Frame& f, std::string&& v) {
        switch (f.record) {
            case Record::stadium:
                out_.name = std::move(v);
                return;
            case Record::goal:
                out_.goals.back().team = std::move(v);
                return;
            case Record::segment:
                out_.segments.back().trait = std::move(v);
                return;
            case Record::plane:
                out_.planes.back().trait = std::move(v);
                return;
            case Record::disc:
                out_.discs.back().trait = std::move(v);
                return;
            default:
                throw EngineFault("stadium reader: string for a key without a string");
        }
    }

    bool store_pair_element(Frame& pair, double v) {
        if (pair.count > 2) return fail_length("more than 2 numbers");
        (pair.count == 1 ? pair.pair.x : pair.pair.y) = v;
        return true;
    }

    void store_pair(const Frame& parent, RawPair v) {
        if (parent.ctx == Ctx::list) {
            auto& points = parent.key == Key::redSpawnPoints ? out_.redSpawnPoints : out_.blueSpawnPoints;
            points.push_back(v);
            return;
        }
        switch (parent.key) {
            case Key::pos:
                out_.discs.back().pos = v;
                return;
            case Key::normal:
                out_.planes.back().normal = v;
                return;
            case Key::p0:
                out_.goals.back().p0 = v;
                return;
            case Key::p1:
                out_.goals.back().p1 = v;
                return;
            default:
                throw EngineFault("stadium reader: pair for a key without a pair");
        }
    }

    // Where a value sits, e.g. segments[3].cMask[0], for the frames below
    // `upto`.
    std::string path(std::size_t upto) const {
        std::string p;
        for (std::size_t i = 1; i < upto; ++i) {
            const Frame& f = frames_[i];
            switch (f.ctx) {
                case Ctx::object:
                    if (f.key != Key::none && f.key != Key::ignored) {
                        if (!p.empty()) p += '.';
                        p += KEY_NAMES[static_cast<std::size_t>(f.key)];
                    }
                    break;
                case Ctx::trait_table:
                    if (f.has_trait_name) p += '[' + quoted_for_message(shorten(trait_name_)) + ']';
                    break;
                case Ctx::list:
                case Ctx::pair:
                case Ctx::groups:
                    if (f.count > 0) p += '[' + std::to_string(f.count - 1) + ']';
                    break;
                case Ctx::document:
                    break;
            }
        }
        return p;
    }

    bool fail_type(Slot expected, const std::string& found, bool opening) {
        const std::string where = path(depth_);
        return fail("invalid type" + (where.empty() ? std::string() : " at " + where) + ": expected " +
                        describe(expected) + ", found " + found,
                    opening);
    }

    // The pair's own frame is not part of the place: the pair is.
    bool fail_length(const std::string& found) {
        const bool inside_pair = depth_ > 0 && top().ctx == Ctx::pair;
        const std::string where = path(inside_pair ? depth_ - 1 : depth_);
        return fail("invalid length at " + where + ": expected a pair of numbers [x, y], found " + found, false);
    }

    // Inside an object given as "ballPhysics" a problem only means that the
    // value is no BallPhysics: the rest of the value is skipped, and the
    // mismatch is reported when it ends, unless a syntax error comes first.
    bool fail(const std::string& message, bool opening) {
        const bool in_ball = depth_ > 2 && frames_[2].ctx == Ctx::object && frames_[2].record == Record::ball;
        if (!in_ball) return fail_now(message);
        skip_depth_ = (depth_ - 2) + (opening ? 1 : 0);
        depth_ = 2;
        ball_mismatch_ = true;
        return true;
    }

    bool fail_now(const std::string& message) {
        failed_ = true;
        error_ = message;
        return false;
    }

    std::string_view text_;
    RawStadium& out_;
    std::array<Frame, MAX_FRAMES> frames_{};
    std::size_t depth_ = 1;  // frames_[0] is the document
    std::size_t skip_depth_ = 0;
    bool ball_mismatch_ = false;
    std::string trait_name_;
    RawProps* current_trait_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

// The parser takes a NUL byte for the end of the text, so a NUL after the
// root value would hide whatever follows it. No JSON text holds a raw NUL
// anywhere, so it is refused like any other stray character there.
std::string stray_nul_error(std::string_view text, std::size_t position) {
    const std::size_t newline = text.rfind('\n', position);
    const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    std::size_t line = 1;
    for (std::size_t i = 0; i < line_start; ++i) line += text[i] == '\n';
    return "parse error at line " + std::to_string(line) + ", column " + std::to_string(position - line_start + 1) +
           ": syntax error while parsing value - invalid literal; last read: '<U+0000>'; expected end of input";
}

}  // namespace

bool read_stadium(std::string_view text, RawStadium& out, std::string& error) {
    RawStadium stadium;
    StadiumHandler handler(text, stadium);
    const bool parsed = json::sax_parse(text.data(), text.data() + text.size(), &handler);
    if (parsed && !handler.failed()) {
        if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
            error = stray_nul_error(text, nul);
            return false;
        }
        out = std::move(stadium);
        return true;
    }
    if (!handler.failed()) throw EngineFault("stadium reader: parser stopped without an error");
    error = handler.error();
    return false;
}

std::string quoted_for_message(std::string_view s) {
    std::string out = "\"";
    const auto code_escape = [&out](unsigned code) {
        out += "\\u{";
        if (code >= 16) out += HEX[code >> 4];
        out += HEX[code & 15];
        out += '}';
    };
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const std::size_t n = utf8_sequence_length(s, i);
        if (n == 0) {
            append_hex_byte(out, b);
            ++i;
            continue;
        }
        if (n == 1) {
            switch (b) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\0':
                    out += "\\0";
                    break;
                default:
                    if (b < 0x20 || b == 0x7F) {
                        code_escape(b);
                    } else {
                        out += static_cast<char>(b);
                    }
            }
        } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            // U+0080 to U+009F, the second block of control characters.
            code_escape(static_cast<unsigned char>(s[i + 1]));
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    out += '"';
    return out;
}
