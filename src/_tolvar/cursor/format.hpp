// Query formatting: merging adapted arguments into the query text at the
// %s and %(name)s placeholders.
#pragma once

#include "cursor/cursor.hpp"

// Scans `query` (bytes) and adapts each argument of `vars` once. On success
// returns 0 and stores in *cvt a new tuple (positional), a new dict (named),
// an empty tuple (only %% in the text) or null (no % at all: the query is
// used unchanged). Returns -1 with an exception set on failure.
int _mogrify(PyObject* vars, PyObject* query, cursorObject* curs, PyObject** cvt);

// `query` with the literals of `cvt` merged in: new bytes, or null.
PyObject* format_query_with_args(cursorObject* curs, PyObject* query, PyObject* cvt);

// %-formatting restricted to %s, %(key)s and %% over bytes values only.
PyObject* bytes_percent_format(PyObject* format, PyObject* args);

// The bytes query `q` with `vars` (null or None: none) bound: a new
// reference, `q` itself when there is nothing to merge; null on failure.
// What execute and mogrify both do before sending or returning the text.
PyObject* curs_bind_vars(cursorObject* curs, PyObject* q, PyObject* vars);

// cursor.mogrify(query, vars=None)
PyObject* curs_mogrify(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char curs_mogrify_doc[];
