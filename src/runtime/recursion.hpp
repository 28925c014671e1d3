// The guards that turn runaway recursion through native code into RecursionError.
//
// Three mechanisms, because there are three ways the C stack can run out:
// - RecursionGuard (Py_EnterRecursiveCall): native code that calls itself directly, such as the
//   mapper's walk over nested elements and include chains, counts against the interpreter's C
//   recursion limit exactly as the interpreter's own recursive C code (repr, comparison) does.
// - NestingGuard: a module's operations that reach themselves again through Python-visible
//   overrides (a subclass method, a rebound global) with no Python frame in between never touch
//   either interpreter counter; each such entry is counted on the thread against the Python
//   recursion limit, as the Python frames of the same calls would be, and checks the stack floor
//   too, for a limit raised beyond what the stack holds.
// - StackFloor: the counters assume frames of ordinary size on an ordinary stack; sanitizer
//   builds (large frames) and threads started with small stacks would still overflow first, so
//   the deepest recursion also checks the real stack pointer against the thread's stack end.
#pragma once

#include <cstdint>

#include "portable.hpp"
#include "ref.hpp"

namespace velmo::rt {

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Each module links its own copy of the runtime, so each module counts its own nesting.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard();
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

// The lowest stack address the calling thread may recurse down to: a margin above its stack's
// end (found once per thread, on Linux, macOS and Windows), or 1 when the end is unknown and the
// counters alone decide.
uintptr_t stack_floor() noexcept;

// RecursionError `message` when the caller's frame lies below `floor`.
inline void check_stack(uintptr_t floor, const char* message) {
    if (VELMO_FRAME_ADDRESS() < floor) raise(PyExc_RecursionError, message);
}

}  // namespace velmo::rt
