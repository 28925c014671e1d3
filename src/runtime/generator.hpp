// A native generator object: Python's generator protocol (__iter__, __next__, send, throw,
// close) over a C++ state machine, so that native code can be wrapped by tools written for
// generator functions, such as contextlib.contextmanager.
//
// The object keeps the protocol's own rules (a just-started generator refuses a non-None send,
// throw and close before the first step do not run the body, re-entry raises "generator already
// executing", a StopIteration leaving the body becomes RuntimeError, finalisation closes a
// suspended generator); the body only implements what runs between two suspension points.
#pragma once

#include <new>
#include <utility>

#include "boundary.hpp"
#include "ref.hpp"

namespace velmo::rt {

// What one step of a body ends with.
struct Step {
    Ref value;          // the yielded value, or the return value when done
    bool done = false;  // true when the body has finished (returned)
    static Step yield(Ref v) { return {std::move(v), false}; }
    static Step finish(Ref v = none()) { return {std::move(v), true}; }
};

// The body of a native generator. resume() runs from the current suspension point: the first
// call starts the body; later calls continue after the last yield, with `thrown` set (an
// exception instance, borrowed) when the exception is to be raised at that point, else `sent`
// is the value sent in (None for next()). An exception leaving the body is thrown as
// PyErrorSet with the Python exception set. The body never sees a throw or close before its
// first step or after it has finished: the generator object handles those.
class GeneratorBody {
public:
    virtual ~GeneratorBody() = default;
    virtual Step resume(PyObject* sent, PyObject* thrown) = 0;
    // GC support for the references the body holds.
    virtual int traverse(visitproc, void*) { return 0; }
    virtual void clear() {}
};

namespace detail {
// The alignment of the body storage: what CPython's allocator gives every object on 64-bit
// platforms, whatever std::max_align_t is (8 with MSVC and on Apple's arm64, 16 elsewhere).
inline constexpr size_t body_alignment = 16;
// Allocates a generator object with `size` bytes of body storage; returns the object and the
// storage (aligned for any body type).
PyObject* allocate_generator(PyObject* qualname, size_t size, void** storage);
// Marks a freshly allocated generator whose body was constructed, and starts GC tracking.
void activate_generator(PyObject* gen, GeneratorBody* body) noexcept;
}  // namespace detail

// Makes a generator whose body is a Body constructed in place from args; `qualname` names it
// in its repr (as a generator function's qualified name does).
template <class Body, class... A>
Ref make_generator(PyObject* qualname, A&&... args) {
    static_assert(alignof(Body) <= detail::body_alignment, "body storage is 16-byte aligned");
    void* storage = nullptr;
    Ref gen = Ref::steal(detail::allocate_generator(qualname, sizeof(Body), &storage));
    // If the constructor throws, the object is released with no body to destroy.
    auto* body = new (storage) Body(std::forward<A>(args)...);
    detail::activate_generator(gen.get(), body);
    return gen;
}

// RuntimeError("generator raised StopIteration") when `exc` is a StopIteration, with cause and
// context `exc`, as a generator frame converts it; otherwise `exc` itself. Takes ownership.
Ref convert_stop_iteration(Ref exc);

}  // namespace velmo::rt
