// Typecasters: objects that turn a result field's text into a Python value.
#pragma once

#include "cursor/cursor.hpp"

#include <cstdint>
#include <span>

// Native conversion: (text or null for SQL NULL, length, cursor) -> new ref,
// or null with an exception set. A null text always gives None. The text is
// `len` bytes and need not be zero-terminated (array elements point into the
// literal). `curs` is normally a cursor; casts must cope with any object
// (typecaster objects can be called with None), see typecast_connection().
using typecast_function = PyObject* (*)(const char* str, Py_ssize_t len, PyObject* curs);

struct typecastObject {
    PyObject_HEAD
    PyObject* name;
    PyObject* values;
    typecast_function native_cast;
    PyObject* castobj;
    PyObject* baseobj;
};

extern PyTypeObject typecastType;

// One row of a built-in table: name, zero-terminated OID list, native cast,
// and the name of an earlier row used as base (array element cast) or null.
struct typecast_row {
    static constexpr std::size_t max_oids = 8;  // room for the zero terminator
    const char* name;
    std::int64_t values[max_oids];
    typecast_function cast;
    const char* base;
};

// The built-in tables (builtins.cpp), walked in order by typecasters_init.
extern const std::span<const typecast_row> builtin_typecasters;    // -> string_types + module
extern const std::span<const typecast_row> pydatetime_typecasters; // -> module only
extern const typecast_row default_typecaster_row;                  // "DEFAULT"

// Process-wide registries and the two special typecasters.
extern PyObject* tolvar_string_types;   // dict int -> typecaster
extern PyObject* tolvar_binary_types;   // dict, kept empty
extern PyObject* default_typecaster;    // "DEFAULT": returns text
extern PyObject* bytea_typecaster;      // the built-in "BINARY" (null until that row exists)

// Readies typecastType (idempotent); called by module initialisation.
int typecast_type_setup();
int typecasters_init(PyObject* module);

PyObject* typecast_apply(PyObject* typecaster, const char* str, Py_ssize_t len, PyObject* curs);
PyObject* typecast_create(PyObject* name, PyObject* values, PyObject* castobj, PyObject* baseobj);
PyObject* typecast_from_row(const typecast_row& row, PyObject* dict);
// Stores the typecaster under each of its OIDs in `dict` (null: the global
// string_types). Returns 0, or -1 with an exception set.
int typecast_register_oids(PyObject* typecaster, PyObject* dict);

// The connection whose codec decodes text for `curs`; null (UTF-8) when
// `curs` is not a cursor or has no connection.
inline connectionObject* typecast_connection(PyObject* curs) noexcept
{
    if (curs && PyObject_TypeCheck(curs, &cursorType))
        return reinterpret_cast<cursorObject*>(curs)->connection;
    return nullptr;
}

// Native casts of the date/time, bytea and array typecasters (datetime.cpp,
// binary.cpp, array.cpp), named in the built-in tables.
PyObject* cast_timestamp(const char* str, Py_ssize_t len, PyObject* curs);
PyObject* cast_timestamptz(const char* str, Py_ssize_t len, PyObject* curs);
PyObject* typecast_PYTIME_cast(const char* str, Py_ssize_t len, PyObject* curs);
PyObject* typecast_PYDATE_cast(const char* str, Py_ssize_t len, PyObject* curs);
PyObject* typecast_PYINTERVAL_cast(const char* str, Py_ssize_t len, PyObject* curs);
PyObject* typecast_GENERIC_ARRAY_cast(const char* str, Py_ssize_t len, PyObject* curs);
TV_EXPORT PyObject* typecast_BINARY_cast(const char* str, Py_ssize_t len, PyObject* curs);

// Date/time parsers (datetime.cpp). Both read at most *len bytes, stop at a
// zero byte and write back the unread length; a byte that is neither a digit
// nor an expected separator makes them return -1.
// Date: returns the number of components (3 for a full date); `rest`, when
// not null, receives the position after the date part.
int typecast_parse_date(const char* str, const char** rest, Py_ssize_t* len, int* year, int* month,
                        int* day);
// Time: 3 or 4 without an offset, 5 or 6 with one (offset in seconds east).
int typecast_parse_time(const char* str, Py_ssize_t* len, int* hour, int* minute, int* second,
                        int* usec, int* offset);
// Loads the datetime capsule for the date/time casts: 0, or -1 with
// ImportError set.
int typecast_datetime_setup();

// The memory chunk exporting a bytea value's block (binary.cpp): readied by
// module initialisation, not published on the module.
struct chunkObject {
    PyObject_HEAD
    char* data;
    Py_ssize_t size;
};
extern PyTypeObject chunkType;
TV_EXPORT int chunk_getbuffer(PyObject* self, Py_buffer* view, int flags);
// Readies chunkType (idempotent): 0, or -1 with an exception set.
int chunk_type_setup();

// Module functions and their docstrings.
PyObject* tolvar_register_type(PyObject* self, PyObject* args);
PyObject* tolvar_new_type(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tolvar_new_array_type(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char tolvar_register_type_doc[];
extern const char tolvar_new_type_doc[];
extern const char tolvar_new_array_type_doc[];
