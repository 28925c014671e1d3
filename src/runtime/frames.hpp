// Where a call into the package came from: the application's frame.
//
// A statement logged under asyncio runs in one of SQLAlchemy's greenlets, whose stack holds no
// frame of the application: the call that awaits it is in the greenlet that started this one,
// below SQLAlchemy's greenlet_spawn. The walk here leaves the package's own frames and
// SQLAlchemy's, and crosses from a greenlet's outermost frame into its parent's.
#pragma once

#include "ref.hpp"

namespace velmo::rt {

// The innermost frame, from the running one outwards, whose code is not in the directory of the
// velmo or sqlalchemy package; past the outermost frame of a greenlet the walk goes on in the
// greenlet that started it. An empty Ref when there is none.
Ref application_frame();

// Whether `frame` is the running frame (no frame was left to find the application's).
inline bool is_running_frame(PyObject* frame) noexcept {
    return frame == reinterpret_cast<PyObject*>(PyEval_GetFrame());
}

}  // namespace velmo::rt
