// The cursor record.
#pragma once

#include "connection/connection.hpp"

struct cursorObject {
    PyObject_HEAD
    connectionObject* connection;
    unsigned closed : 1;
    unsigned no_tuples : 1;
    unsigned withhold : 1;
    int scrollable;
    int64_t rowcount;
    int64_t column_count;
    int64_t arraysize;
    int64_t itersize;
    int64_t rownumber;
    int64_t transaction_mark;
    PyObject* description;
    PGresult* pgres;
    PyObject* statusmessage;
    Oid lastrowid;
    PyObject* column_casts;
    PyObject* typecaster;
    PyObject* copy_file;
    int64_t copysize;
    PyObject* row_factory;
    PyObject* tzinfo_factory;
    PyObject* query;
    char* name;
    char* quoted_name;
    PyObject* string_types;
    PyObject* binary_types;
    PyObject* weakreflist;
    // Depth of row conversions in progress: typecasters and row factories
    // run Python code, which must not replace the result being read.
    int converting;
};

extern PyTypeObject cursorType;

// Cursor internals used by the server-communication layer.
void curs_set_result(cursorObject* curs, PGresult* res);
void reset_result_state(cursorObject* curs);
// Typecaster for a type OID (int object): cursor, connection, global
// registry, then the default. Borrowed reference, never null.
PyObject* curs_get_cast(cursorObject* curs, PyObject* oid);

// Column: one item of cursor.description.
struct columnObject {
    PyObject_HEAD
    PyObject* name;
    PyObject* type_code;
    PyObject* display_size;
    PyObject* internal_size;
    PyObject* precision;
    PyObject* scale;
    PyObject* null_ok;
    PyObject* table_oid;
    PyObject* table_column;
};

extern PyTypeObject columnType;

TV_EXPORT PyObject* column_setstate(PyObject* self, PyObject* state);

// ---------------------------------------------------------------------------
// Cursor internals shared by the cursor files and other layers.

// Run a query (str, bytes or sql.Composable) with optional arguments: 0, or
// -1 with an exception set.
int curs_execute(cursorObject* curs, PyObject* query, PyObject* vars, int async, int no_result);
// The query argument as a new bytes object, or null with an exception set.
PyObject* query_to_bytes(cursorObject* curs, PyObject* query);

// Precondition checks shared by the cursor methods: 0 when the condition
// holds, -1 with the documented exception set.
int curs_check_connection(cursorObject* curs);
int curs_check_closed(cursorObject* curs);
int curs_check_busy(cursorObject* curs, const char* message);
int curs_check_prepared(cursorObject* curs, const char* method);
int curs_check_stale(cursorObject* curs);
// Refuses to replace the result while one of its rows is being converted.
int curs_check_converting(cursorObject* curs);

// Format and run one of the statements that drive a named cursor (FETCH,
// MOVE, CLOSE): 0 or -1. The text is sized to fit, never cut.
int curs_named_command(cursorObject* curs, int no_begin, const char* fmt, ...) TV_PRINTF(3, 4);

// Fetching (fetch.cpp).
int _tolvar_curs_prefetch(cursorObject* curs);
PyObject* _tolvar_curs_buildrow(cursorObject* curs, int64_t row);

PyObject* curs_fetchone(PyObject* self, PyObject* noargs);
PyObject* curs_fetchmany(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* curs_fetchall(PyObject* self, PyObject* noargs);
PyObject* curs_scroll(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* curs_iter(PyObject* self);
PyObject* curs_iternext(PyObject* self);

extern const char curs_fetchone_doc[];
extern const char curs_fetchmany_doc[];
extern const char curs_fetchall_doc[];
extern const char curs_scroll_doc[];
