#pragma once

#include <stdexcept>

// A broken internal invariant (never reachable through validated input). The
// Python layer turns it into PanicException, also when it is thrown on a
// worker thread.
struct EngineFault : std::logic_error {
    using std::logic_error::logic_error;
};
