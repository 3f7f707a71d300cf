// Transactions and session characteristics: the methods and accessors the
// connection type puts in its tables.
#pragma once

#include "connection/connection.hpp"

PyObject* conn_enter(PyObject* self, PyObject*);
PyObject* conn_exit(PyObject* self, PyObject* args);
PyObject* conn_set_session_method(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* conn_set_isolation_level(PyObject* self, PyObject* args);
PyObject* conn_set_client_encoding_method(PyObject* self, PyObject* args);
PyObject* conn_get_transaction_status(PyObject* self, PyObject*);
PyObject* conn_get_parameter_status(PyObject* self, PyObject* args);
PyObject* conn_get_dsn_parameters(PyObject* self, PyObject*);
PyObject* conn_get_backend_pid(PyObject* self, PyObject*);
PyObject* conn_cancel(PyObject* self, PyObject*);
PyObject* conn_reset(PyObject* self, PyObject*);

PyObject* conn_get_autocommit(PyObject* self, void*);
int conn_set_autocommit(PyObject* self, PyObject* value, void*);
PyObject* conn_get_isolation_level(PyObject* self, void*);
int conn_set_isolation_level_attr(PyObject* self, PyObject* value, void*);
PyObject* conn_get_readonly(PyObject* self, void*);
int conn_set_readonly(PyObject* self, PyObject* value, void*);
PyObject* conn_get_deferrable(PyObject* self, void*);
int conn_set_deferrable(PyObject* self, PyObject* value, void*);

int conn_set_session(connectionObject* conn, int autocommit, int isolevel, int readonly,
                     int deferrable);
int conn_set_client_encoding(connectionObject* conn, const char* name);

TV_EXPORT const char* const srv_state_guc[3];
