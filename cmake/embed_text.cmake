# Writes OUTPUT, a C++ source that defines classic_stadium_text() over the
# bytes of INPUT, so the module reads no file at run time.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from data/classic.zsm at build time; do not edit.
#include <string_view>

#include \"stadium.hpp\"

namespace {
constexpr char CLASSIC[${size} + 1] = {
${bytes}0};
}  // namespace

std::string_view classic_stadium_text() { return {CLASSIC, ${size}}; }
")
