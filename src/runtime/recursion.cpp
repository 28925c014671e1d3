// The nesting count and the stack floor (see recursion.hpp).
#include "recursion.hpp"

#include <algorithm>
#include <cstddef>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // GetCurrentThreadStackLimits: Windows 8, as CPython 3.13 requires
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace velmo::rt {

namespace {
thread_local int nesting = 0;
thread_local uintptr_t thread_stack_floor = 0;

// The calling thread's stack as its lowest address and its size; false when the platform does
// not tell.
bool thread_stack(uintptr_t& low, size_t& size) noexcept {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* base = nullptr;
    bool known = pthread_attr_getstack(&attr, &base, &size) == 0 && base && size;
    pthread_attr_destroy(&attr);
    low = reinterpret_cast<uintptr_t>(base);
    return known;
#elif defined(__APPLE__)
    // pthread_get_stackaddr_np gives the stack's top: it grows down from there.
    pthread_t self = pthread_self();
    auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    size = pthread_get_stacksize_np(self);
    low = top - size;
    return top && size && size < top;
#elif defined(_WIN32)
    ULONG_PTR lowest = 0, highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    low = static_cast<uintptr_t>(lowest);
    size = static_cast<size_t>(highest - lowest);
    return lowest && highest > lowest;
#else
    (void)low;
    (void)size;
    return false;
#endif
}
}  // namespace

NestingGuard::NestingGuard() {
    // The count alone trusts the recursion limit to fit the stack; raised far enough (as
    // sys.setrecursionlimit allows), it would not, and the stack's own end decides first.
    if (nesting >= Py_GetRecursionLimit()) raise(PyExc_RecursionError, "maximum recursion depth exceeded");
    check_stack(stack_floor(), "maximum recursion depth exceeded");
    ++nesting;
}
NestingGuard::~NestingGuard() { --nesting; }

uintptr_t stack_floor() noexcept {
    if (thread_stack_floor) return thread_stack_floor;
    uintptr_t floor = 1;
    uintptr_t low = 0;
    size_t size = 0;
    if (thread_stack(low, size)) {
        // An eighth of the stack, within 32 KiB and 256 KiB: room for the frames between two
        // checks and for the Python code that a check may still run.
        size_t margin = std::clamp<size_t>(size / 8, 32 << 10, 256 << 10);
        floor = low + margin;
    }
    thread_stack_floor = floor;
    return floor;
}

}  // namespace velmo::rt
