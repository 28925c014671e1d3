// What differs between the compilers the modules are built with (GCC and Clang on Linux and
// macOS, MSVC on Windows), behind one spelling each.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// A function on an error or logging path: kept out of the hot code around its callers.
#if defined(__GNUC__) || defined(__clang__)
#define VELMO_COLD [[gnu::cold]]
#else
#define VELMO_COLD
#endif

// A function that must keep a frame of its own (so that recursion through it stays shallow
// in the caller's frame).
#if defined(__GNUC__) || defined(__clang__)
#define VELMO_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define VELMO_NOINLINE __declspec(noinline)
#else
#define VELMO_NOINLINE
#endif

// An address in the calling function's frame, to compare with the thread's stack bounds.
#if defined(__GNUC__) || defined(__clang__)
#define VELMO_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#elif defined(_MSC_VER)
#define VELMO_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
// The address of a local: a frame at most one call deeper than the caller's.
#define VELMO_FRAME_ADDRESS() ::velmo::rt::detail::local_address()
namespace velmo::rt::detail {
inline std::uintptr_t local_address() noexcept {
    volatile char here = 0;
    return reinterpret_cast<std::uintptr_t>(&here);
}
}  // namespace velmo::rt::detail
#endif
