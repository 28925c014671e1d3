// Notes on the exception in flight.
//
// A note is added with BaseException.add_note while the exception is set aside, and the
// exception is restored unchanged apart from the note, whatever happens while the note is made.
#pragma once

#include "portable.hpp"
#include "ref.hpp"

namespace velmo::rt {

// Runs make(exc) with the exception in flight set aside and adds the str it returns (if any)
// as a note; the exception is restored unchanged apart from the note, whatever happens.
template <class F>
VELMO_COLD void note_error(F&& make) noexcept;

namespace detail {
void add_note(PyObject* exc, PyObject* note) noexcept;
}

template <class F>
void note_error(F&& make) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    try {
        Ref note = make(exc);
        if (note) detail::add_note(exc, note.get());
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

}  // namespace velmo::rt
