// The nesting count and the stack floor (see recursion.hpp).
#include "recursion.hpp"

#include <pthread.h>

#include <algorithm>

namespace velmo::rt {

namespace {
thread_local int nesting = 0;
thread_local uintptr_t thread_stack_floor = 0;
}  // namespace

NestingGuard::NestingGuard() {
    if (nesting >= Py_GetRecursionLimit()) raise(PyExc_RecursionError, "maximum recursion depth exceeded");
    ++nesting;
}
NestingGuard::~NestingGuard() { --nesting; }

uintptr_t stack_floor() noexcept {
    if (thread_stack_floor) return thread_stack_floor;
    uintptr_t floor = 1;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &base, &size) == 0 && base && size) {
            // An eighth of the stack, within 32 KiB and 256 KiB: room for the frames between two
            // checks and for the Python code that a check may still run.
            size_t margin = std::clamp<size_t>(size / 8, 32 << 10, 256 << 10);
            floor = reinterpret_cast<uintptr_t>(base) + margin;
        }
        pthread_attr_destroy(&attr);
    }
    thread_stack_floor = floor;
    return floor;
}

}  // namespace velmo::rt
