// Transactions and session characteristics of a connection.
#include "connection/session.hpp"
#include "pq/pqpath.hpp"

#include <iterator>
#include <strings.h>

using tv::ref;

TV_EXPORT const char* const srv_state_guc[3] = {"off", "on", "default"};

namespace {

connectionObject* as_conn(PyObject* o) { return reinterpret_cast<connectionObject*>(o); }

bool check_setter(connectionObject* c, PyObject* value)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete the session characteristics");
        return false;
    }
    if (!conn_check_open(c) || !conn_check_not_async(c, "set_session")) return false;
    if (c->status != CONN_STATUS_READY) {
        PyErr_Format(ProgrammingError, "%s cannot be used inside a transaction", "set_session");
        return false;
    }
    return true;
}

int parse_isolation_level(PyObject* v)
{
    if (v == Py_None) return ISOLATION_LEVEL_DEFAULT;
    if (PyLong_Check(v)) {
        long level = PyLong_AsLong(v);
        if (level == -1 && PyErr_Occurred()) return -1;
        if (level < 1 || level > 4) {
            PyErr_SetString(PyExc_ValueError, "isolation_level must be between 1 and 4");
            return -1;
        }
        return static_cast<int>(level);
    }
    ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(v)));
    if (!bytes) return -1;
    const char* s = PyBytes_AS_STRING(bytes.get());
    for (int level = 1; level <= ISOLATION_LEVEL_DEFAULT; ++level)
        if (strcasecmp(s, isolation_level_names[level]) == 0) return level;
    PyErr_Format(PyExc_ValueError, "bad value for isolation_level: '%s'", s);
    return -1;
}

int parse_tristate(PyObject* v)
{
    if (v == Py_None) return STATE_DEFAULT;
    if (Py_IS_TYPE(v, &PyUnicode_Type) || Py_IS_TYPE(v, &PyBytes_Type)) {
        ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(v)));
        if (!bytes) return -1;
        if (strcasecmp(PyBytes_AS_STRING(bytes.get()), "default") == 0) return STATE_DEFAULT;
        PyErr_Format(PyExc_ValueError, "the only string accepted is 'default'; got %s",
                     PyBytes_AS_STRING(bytes.get()));
        return -1;
    }
    int truth = PyObject_IsTrue(v);
    return truth < 0 ? -1 : truth;
}

}  // namespace

int conn_set_session(connectionObject* conn, int autocommit, int isolevel, int readonly,
                     int deferrable)
{
    const int want_autocommit = autocommit != -1 ? autocommit : conn->autocommit;
    if (deferrable != -1 && conn->server_version <= 90099) {
        PyErr_SetString(ProgrammingError,
                        "the 'deferrable' setting is only available from PostgreSQL 9.1");
        return -1;
    }
    if (deferrable == -1 && conn->server_version <= 79999) {
        if (isolevel == ISOLATION_LEVEL_READ_UNCOMMITTED) isolevel = ISOLATION_LEVEL_READ_COMMITTED;
        if (isolevel == ISOLATION_LEVEL_REPEATABLE_READ) isolevel = ISOLATION_LEVEL_SERIALIZABLE;
    }

    int rv = 0;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        if (want_autocommit) {
            if (isolevel != -1)
                rv = pq_set_guc_locked(conn, "default_transaction_isolation",
                                       isolation_level_names[isolevel], gil);
            if (rv == 0 && readonly != -1)
                rv = pq_set_guc_locked(conn, "default_transaction_read_only",
                                       srv_state_guc[readonly], gil);
            if (rv == 0 && deferrable != -1)
                rv = pq_set_guc_locked(conn, "default_transaction_deferrable",
                                       srv_state_guc[deferrable], gil);
        } else if (conn->autocommit) {
            // Leaving autocommit: undo the session defaults set for it.
            if (conn->isolevel != ISOLATION_LEVEL_DEFAULT)
                rv = pq_set_guc_locked(conn, "default_transaction_isolation", "default", gil);
            if (rv == 0 && conn->readonly != STATE_DEFAULT)
                rv = pq_set_guc_locked(conn, "default_transaction_read_only", "default", gil);
            if (rv == 0 && conn->server_version > 90099 && conn->deferrable != STATE_DEFAULT)
                rv = pq_set_guc_locked(conn, "default_transaction_deferrable", "default", gil);
        }
        if (rv == 0) {
            gil.reacquire();
            conn_notifies_process(conn);
            conn_notice_process(conn);
            gil.release();
            if (autocommit != -1) conn->autocommit = autocommit;
            if (isolevel != -1) conn->isolevel = isolevel;
            if (readonly != -1) conn->readonly = readonly;
            if (deferrable != -1) conn->deferrable = deferrable;
        }
    }
    if (rv < 0) {
        pq_complete_error(conn);
        return -1;
    }
    return 0;
}

int conn_set_client_encoding(connectionObject* conn, const char* name)
{
    char* norm = nullptr;
    if (clear_encoding_name(name, &norm) < 0) return -1;
    std::unique_ptr<char, decltype(&PyMem_RawFree)> owned(norm, &PyMem_RawFree);
    if (conn->encoding && std::strcmp(conn->encoding, norm) == 0) return 0;
    // Refuse an encoding we cannot decode before the server switches to it:
    // afterwards the session and our codecs would disagree.
    if (!ref::steal(codec_for_pg_encoding(norm, nullptr))) return -1;

    int rv;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        rv = pq_abort_locked(conn, gil);
        if (rv == 0) rv = pq_set_guc_locked(conn, "client_encoding", norm, gil);
        if (rv == 0) {
            gil.reacquire();
            conn_notifies_process(conn);
            conn_notice_process(conn);
            gil.release();
        }
    }
    if (rv < 0) {
        pq_complete_error(conn);
        return -1;
    }
    return conn_apply_encoding(conn, name);
}

PyObject* conn_enter(PyObject* o, PyObject*)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c)) return nullptr;
    if (c->entered) {
        PyErr_SetString(ProgrammingError, "the connection cannot be re-entered recursively");
        return nullptr;
    }
    c->entered = 1;
    return Py_NewRef(o);
}

PyObject* conn_exit(PyObject* o, PyObject* args)
{
    PyObject *type, *value, *tb;
    if (!PyArg_ParseTuple(args, "OOO", &type, &value, &tb)) return nullptr;
    as_conn(o)->entered = 0;
    // Through attribute lookup, so subclasses' overrides take part.
    ref rv = ref::steal(PyObject_CallMethod(o, type == Py_None ? "commit" : "rollback", nullptr));
    if (!rv) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_set_session_method(PyObject* o, PyObject* args, PyObject* kwargs)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c) || !conn_check_not_async(c, "set_session")) return nullptr;
    if (c->status != CONN_STATUS_READY) {
        PyErr_Format(ProgrammingError, "%s cannot be used inside a transaction", "set_session");
        return nullptr;
    }
    static const char* kwlist[] = {"isolation_level", "readonly", "deferrable", "autocommit",
                                   nullptr};
    PyObject *isolevel = Py_None, *readonly = Py_None, *deferrable = Py_None,
             *autocommit = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO", const_cast<char**>(kwlist),
                                     &isolevel, &readonly, &deferrable, &autocommit))
        return nullptr;
    int iso = -1, ro = -1, df = -1, ac = -1;
    if (isolevel != Py_None && (iso = parse_isolation_level(isolevel)) < 0) return nullptr;
    if (readonly != Py_None && (ro = parse_tristate(readonly)) < 0) return nullptr;
    if (deferrable != Py_None && (df = parse_tristate(deferrable)) < 0) return nullptr;
    if (autocommit != Py_None && (ac = PyObject_IsTrue(autocommit)) < 0) return nullptr;
    if (conn_set_session(c, ac, iso, ro, df) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_set_isolation_level(PyObject* o, PyObject* args)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c) || !conn_check_not_async(c, "\"isolation_level\"") ||
        !conn_check_not_prepared(c, "\"isolation_level\""))
        return nullptr;
    PyObject* pylevel = nullptr;
    if (!PyArg_ParseTuple(args, "O", &pylevel)) return nullptr;
    long level = 1;
    if (pylevel == Py_None) {
        level = ISOLATION_LEVEL_DEFAULT;
    } else if (PyLong_Check(pylevel)) {
        level = PyLong_AsLong(pylevel);
        if ((level == -1 && PyErr_Occurred()) || static_cast<unsigned long>(level) > 4) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "isolation level must be between 0 and 4");
            return nullptr;
        }
    }
    if (pq_abort(c) < 0) return nullptr;
    int rv = level == 0 ? conn_set_session(c, 1, -1, -1, -1)
                        : conn_set_session(c, 0, static_cast<int>(level), -1, -1);
    if (rv < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_set_client_encoding_method(PyObject* o, PyObject* args)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c) || !conn_check_not_async(c, "set_client_encoding") ||
        !conn_check_not_prepared(c, "set_client_encoding"))
        return nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    if (conn_set_client_encoding(c, name) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_get_transaction_status(PyObject* o, PyObject*)
{
    return PyLong_FromLong(PQtransactionStatus(as_conn(o)->pgconn));
}

PyObject* conn_get_parameter_status(PyObject* o, PyObject* args)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c)) return nullptr;
    const char* param = nullptr;
    if (!PyArg_ParseTuple(args, "s", &param)) return nullptr;
    const char* val = PQparameterStatus(c->pgconn, param);
    if (!val) Py_RETURN_NONE;
    return conn_decode_message(c, val);
}

PyObject* conn_get_dsn_parameters(PyObject* o, PyObject*)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c)) return nullptr;
    tv::conninfo_ptr options(PQconninfo(c->pgconn));
    if (!options) return PyErr_NoMemory();
    return dict_from_conninfo_options(options.get(), false);
}

PyObject* conn_get_backend_pid(PyObject* o, PyObject*)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c)) return nullptr;
    return PyLong_FromLong(PQbackendPID(c->pgconn));
}

PyObject* conn_cancel(PyObject* o, PyObject*)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c) || !conn_check_not_prepared(c, "cancel")) return nullptr;
    if (c->status != CONN_STATUS_READY && c->status != CONN_STATUS_BEGIN) {
        PyErr_SetString(OperationalError, "asynchronous connection attempt underway");
        return nullptr;
    }
    // Without the lock on purpose: it interrupts a query another thread runs.
    char errbuf[256];
    if (!c->cancel || PQcancel(c->cancel, errbuf, sizeof(errbuf)) == 0) {
        PyErr_SetString(OperationalError, c->cancel ? errbuf : "no cancellation key");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* conn_reset(PyObject* o, PyObject*)
{
    connectionObject* c = as_conn(o);
    if (!conn_check_open(c) || !conn_check_not_async(c, "reset")) return nullptr;
    if (pq_reset(c) < 0) return nullptr;
    if (conn_setup_session(c) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_get_autocommit(PyObject* o, void*)
{
    return PyBool_FromLong(as_conn(o)->autocommit);
}

int conn_set_autocommit(PyObject* o, PyObject* value, void*)
{
    connectionObject* c = as_conn(o);
    if (!check_setter(c, value)) return -1;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    return conn_set_session(c, truth, -1, -1, -1);
}

PyObject* conn_get_isolation_level(PyObject* o, void*)
{
    connectionObject* c = as_conn(o);
    if (c->isolevel == ISOLATION_LEVEL_DEFAULT) Py_RETURN_NONE;
    return PyLong_FromLong(c->isolevel);
}

int conn_set_isolation_level_attr(PyObject* o, PyObject* value, void*)
{
    connectionObject* c = as_conn(o);
    if (!check_setter(c, value)) return -1;
    int level = parse_isolation_level(value);
    if (level < 0) return -1;
    return conn_set_session(c, -1, level, -1, -1);
}

namespace {

PyObject* tristate_value(int v, const char* what)
{
    switch (v) {
    case STATE_OFF: Py_RETURN_FALSE;
    case STATE_ON: Py_RETURN_TRUE;
    case STATE_DEFAULT: Py_RETURN_NONE;
    default:
        PyErr_Format(InternalError, "bad internal value for %s: %d", what, v);
        return nullptr;
    }
}

}  // namespace

PyObject* conn_get_readonly(PyObject* o, void*)
{
    return tristate_value(as_conn(o)->readonly, "readonly");
}

int conn_set_readonly(PyObject* o, PyObject* value, void*)
{
    connectionObject* c = as_conn(o);
    if (!check_setter(c, value)) return -1;
    int v = parse_tristate(value);
    if (v < 0) return -1;
    return conn_set_session(c, -1, -1, v, -1);
}

PyObject* conn_get_deferrable(PyObject* o, void*)
{
    return tristate_value(as_conn(o)->deferrable, "deferrable");
}

int conn_set_deferrable(PyObject* o, PyObject* value, void*)
{
    connectionObject* c = as_conn(o);
    if (!check_setter(c, value)) return -1;
    int v = parse_tristate(value);
    if (v < 0) return -1;
    return conn_set_session(c, -1, -1, -1, v);
}
