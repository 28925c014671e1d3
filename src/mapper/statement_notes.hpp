// Error notes that name a statement of a mapper file.
//
// An exception raised while a statement by id is evaluated, prepared, run or shaped carries one
// note (BaseException.add_note) saying where: "in users.find (mapper users.xml)", or for a
// condition "in <if test="..."> of users.find (mapper users.xml)". Every layer it crosses adds
// the note only when none is there yet, so the innermost, most precise one stays. Nothing here
// runs unless an exception is in flight.
//
// The file and namespace of a mapper live in a table of the interpreter (the modules each link
// their own copy of this layer, so a static would not be shared), keyed weakly by the mapper
// object: the mapper itself keeps exactly its documented attributes.
#pragma once

#include "../runtime/notes.hpp"
#include "../runtime/portable.hpp"
#include "../runtime/ref.hpp"

namespace velmo::mapper {

using rt::Ref;

// Records the file and namespace (NULL when it has none) that `mapper` was loaded from. A
// mapper that cannot be recorded (not weak-referenceable) is simply not named in notes.
void record_mapper_source(PyObject* mapper, PyObject* path, PyObject* ns) noexcept;

// Where a statement note points.
struct StatementPlace {
    PyObject* mapper;         // the mapper object (any object)
    PyObject* id;             // the statement id, or NULL when no statement is known
    PyObject* key = nullptr;  // the namespace to show when the mapper records none
    PyObject* tag = nullptr;  // a condition: its element's tag and test text
    PyObject* test = nullptr;
};

// "NS.ID", or "ID" without a namespace: the namespace recorded for the mapper, else `key`.
Ref statement_name(PyObject* mapper, PyObject* id, PyObject* key);

// The note for `place`, or an empty Ref when `exc` already carries a statement note.
Ref statement_note(PyObject* exc, const StatementPlace& place);

// Where the mapper was loaded from, as notes show it: its file, or "of type T" for a mapper that
// recorded none.
Ref mapper_where(PyObject* mapper);

// The closest of the strs in the iterable `candidates` to the str `word`, as
// difflib.get_close_matches(word, candidates, 1) finds it; an empty Ref when none is close.
Ref close_match(PyObject* word, PyObject* candidates);

// The note for a statement id that `mapper` (whose id map is `map`) does not hold: "in NS.ID
// (mapper FILE)", or, when an id of the map is close to it, "no statement 'ID' in NS (mapper
// FILE): did you mean 'CLOSE'?". Both read as statement notes.
Ref missing_statement_note(PyObject* mapper, PyObject* id, PyObject* map);

// What `mapper` (recorded by record_mapper_source) remembers having reported: a set the caller
// fills, or an empty Ref for a mapper that recorded nothing.
Ref mapper_reports(PyObject* mapper);

// Adds the note for `place` to the Python exception in flight, unless that exception already
// carries a statement note. Never fails: when anything goes wrong the exception stays as it was.
VELMO_COLD void note_statement(const StatementPlace& place) noexcept;

}  // namespace velmo::mapper
