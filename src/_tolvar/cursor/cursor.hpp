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
};

extern PyTypeObject cursorType;
