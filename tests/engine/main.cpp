#include <cstring>
#include <exception>

#include "check.hpp"

namespace check {

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

bool register_case(const char* name, void (*fn)()) {
    registry().push_back({name, fn});
    return true;
}

static int failures_in_case = 0;

void fail(const char* file, int line, const std::string& what) {
    ++failures_in_case;
    std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

}  // namespace check

// Runs every case, or those whose name contains argv[1].
int main(int argc, char** argv) {
    int passed = 0;
    int failed = 0;
    for (const check::Case& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        check::failures_in_case = 0;
        try {
            c.fn();
        } catch (const check::Stop&) {
        } catch (const std::exception& e) {
            check::fail(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        }
        if (check::failures_in_case == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
