// The connection type: one libpq session and everything kept for it.
#include "connection/session.hpp"
#include "cursor/cursor.hpp"
#include "pq/pqpath.hpp"

using tv::ref;

namespace {

// A two-phase transaction ends only through the tpc_* methods.
bool check_no_tpc(connectionObject* self, const char* cmd)
{
    if (self->tpc_xid) {
        PyErr_Format(ProgrammingError, "%s cannot be used during a two-phase transaction", cmd);
        return false;
    }
    return true;
}

PyObject* conn_cursor(PyObject* o, PyObject* args, PyObject* kwargs)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!conn_check_open(self)) return nullptr;
    static const char* kwlist[] = {"name", "cursor_factory", "withhold", "scrollable", nullptr};
    PyObject *name = Py_None, *factory = Py_None, *withhold = Py_False, *scrollable = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO", const_cast<char**>(kwlist), &name,
                                     &factory, &withhold, &scrollable))
        return nullptr;
    if (factory == Py_None) {
        factory = (self->cursor_factory && self->cursor_factory != Py_None)
            ? self->cursor_factory : reinterpret_cast<PyObject*>(&cursorType);
    }
    if (self->status != CONN_STATUS_READY && self->status != CONN_STATUS_BEGIN &&
        self->status != CONN_STATUS_PREPARED) {
        PyErr_SetString(OperationalError, "asynchronous connection attempt underway");
        return nullptr;
    }
    if (name != Py_None && self->async == 1) {
        PyErr_SetString(ProgrammingError, "asynchronous connections cannot produce named cursors");
        return nullptr;
    }
    debug_trace("conn_cursor: new %s cursor for connection at %p\n",
                name == Py_None ? "unnamed" : "named", static_cast<void*>(self));
    ref curs = ref::steal(PyObject_CallFunctionObjArgs(factory, o, name, nullptr));
    if (!curs) return nullptr;
    if (!PyObject_TypeCheck(curs.get(), &cursorType)) {
        PyErr_SetString(PyExc_TypeError,
                        "cursor factory must be subclass of tolvar2.extensions.cursor");
        return nullptr;
    }
    if (PyObject_SetAttrString(curs.get(), "withhold", withhold) < 0) return nullptr;
    if (PyObject_SetAttrString(curs.get(), "scrollable", scrollable) < 0) return nullptr;
    return curs.release();
}

PyObject* conn_close_method(PyObject* o, PyObject*)
{
    conn_close(reinterpret_cast<connectionObject*>(o));
    Py_RETURN_NONE;
}

PyObject* conn_commit(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!conn_check_open(self) || !conn_check_not_async(self, "commit") || !check_no_tpc(self, "commit"))
        return nullptr;
    if (pq_commit(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_rollback(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!conn_check_open(self) || !conn_check_not_async(self, "rollback") ||
        !check_no_tpc(self, "rollback"))
        return nullptr;
    if (pq_abort(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* conn_fileno(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!conn_check_open(self)) return nullptr;
    return PyLong_FromLong(PQsocket(self->pgconn));
}

PyObject* conn_isexecuting(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (self->async != 1) Py_RETURN_FALSE;
    if (self->status == CONN_STATUS_READY && !self->async_cursor) Py_RETURN_FALSE;
    Py_RETURN_TRUE;
}

PyObject* conn_get_native_connection(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!conn_check_open(self)) return nullptr;
    return PyCapsule_New(self->pgconn, "tolvar2.connection.native_connection", nullptr);
}

PyObject* conn_get_exception(PyObject*, void* closure)
{
    return Py_NewRef(*static_cast<PyObject**>(closure));
}

PyObject* conn_get_info(PyObject* o, void*)
{
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&connectionInfoType), o);
}

PyObject* conn_get_pgconn_ptr(PyObject* o, void*)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    if (!self->pgconn) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(self->pgconn);
}

PyObject* conn_repr(PyObject* o)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    return PyUnicode_FromFormat("<connection object at %p; dsn: '%s', closed: %ld>",
                                static_cast<void*>(self),
                                self->dsn ? self->dsn : "<unintialized>",
                                static_cast<long>(self->closed));
}

int conn_init(PyObject* o, PyObject* args, PyObject* kwargs)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    static const char* kwlist[] = {"dsn", "async", "async_", nullptr};
    const char* dsn = nullptr;
    long async = 0, async_ = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|ll", const_cast<char**>(kwlist), &dsn,
                                     &async, &async_))
        return -1;
    if (async_) async = async_;
    if (self->lock_ready || self->pgconn) {
        // Re-running __init__ on a live object would leak or corrupt it.
        PyErr_SetString(InterfaceError, "the connection is already initialised");
        return -1;
    }
    debug_trace("connection_init: new connection at %p\n", static_cast<void*>(self));

    char* masked = mask_dsn_password(dsn);
    if (!masked) return -1;
    self->dsn = masked;

    tv::set_slot(self->notices, PyList_New(0));
    tv::set_slot(self->notifies, PyList_New(0));
    tv::set_slot(self->string_types, PyDict_New());
    tv::set_slot(self->binary_types, PyDict_New());
    if (!self->notices || !self->notifies || !self->string_types || !self->binary_types)
        return -1;
    self->async = async;
    self->status = CONN_STATUS_SETUP;
    self->async_status = ASYNC_DONE;
    self->isolevel = ISOLATION_LEVEL_DEFAULT;
    self->readonly = STATE_DEFAULT;
    self->deferrable = STATE_DEFAULT;
    self->owner_pid = getpid();

    if (pthread_mutex_init(&self->lock, nullptr) != 0) {
        PyErr_SetString(InternalError, "lock initialization failed");
        return -1;
    }
    self->lock_ready = true;
    return conn_connect(self, dsn, async);
}

int conn_traverse(PyObject* o, visitproc visit, void* arg)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    Py_VISIT(self->tpc_xid);
    Py_VISIT(self->async_cursor);
    Py_VISIT(self->notices);
    Py_VISIT(self->notifies);
    Py_VISIT(self->string_types);
    Py_VISIT(self->binary_types);
    Py_VISIT(self->cursor_factory);
    Py_VISIT(self->codec_encoder);
    Py_VISIT(self->codec_decoder);
    return 0;
}

int conn_clear(PyObject* o)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    Py_CLEAR(self->tpc_xid);
    Py_CLEAR(self->async_cursor);
    Py_CLEAR(self->notices);
    Py_CLEAR(self->notifies);
    Py_CLEAR(self->string_types);
    Py_CLEAR(self->binary_types);
    Py_CLEAR(self->cursor_factory);
    Py_CLEAR(self->codec_encoder);
    Py_CLEAR(self->codec_decoder);
    return 0;
}

void conn_dealloc(PyObject* o)
{
    auto* self = reinterpret_cast<connectionObject*>(o);
    PyObject_GC_UnTrack(o);
    // A child after fork must not end the parent's session on the shared socket.
    if (self->owner_pid == getpid() && self->lock_ready) conn_close(self);
    if (self->weakreflist) PyObject_ClearWeakRefs(o);
    conn_notice_discard(self);
    PyMem_RawFree(self->dsn);
    PyMem_RawFree(self->encoding);
    std::free(self->error_text);
    if (self->cancel) PQfreeCancel(self->cancel);
    PQclear(self->pgres);
    conn_clear(o);
    if (self->lock_ready) pthread_mutex_destroy(&self->lock);
    debug_trace("connection_dealloc: deleted connection object at %p\n", static_cast<void*>(o));
    Py_TYPE(o)->tp_free(o);
}


PyMethodDef conn_methods[] = {
    {"cursor", TV_METH(conn_cursor), METH_VARARGS | METH_KEYWORDS,
     "cursor(name=None, cursor_factory=extensions.cursor, withhold=False) -- new cursor"},
    {"close", conn_close_method, METH_NOARGS, "close() -- Close the connection."},
    {"commit", conn_commit, METH_NOARGS, "commit() -- Commit all changes to database."},
    {"rollback", conn_rollback, METH_NOARGS,
     "rollback() -- Roll back all changes done to database."},
    {"__enter__", conn_enter, METH_NOARGS, "__enter__ -> self"},
    {"__exit__", conn_exit, METH_VARARGS, "__exit__ -- commit if no exception, else roll back"},
    {"set_session", TV_METH(conn_set_session_method), METH_VARARGS | METH_KEYWORDS,
     "set_session(...) -- Set one or more parameters for the next transactions."},
    {"set_isolation_level", conn_set_isolation_level, METH_VARARGS,
     "set_isolation_level(level) -- Switch isolation level to ``level``."},
    {"set_client_encoding", conn_set_client_encoding_method, METH_VARARGS,
     "set_client_encoding(encoding) -- Set client encoding to ``encoding``."},
    {"get_transaction_status", conn_get_transaction_status, METH_NOARGS,
     "get_transaction_status() -- Get backend transaction status."},
    {"get_parameter_status", conn_get_parameter_status, METH_VARARGS,
     "get_parameter_status(parameter) -- Get backend parameter status."},
    {"get_dsn_parameters", conn_get_dsn_parameters, METH_NOARGS,
     "get_dsn_parameters() -- Get effective connection parameters."},
    {"get_backend_pid", conn_get_backend_pid, METH_NOARGS,
     "get_backend_pid() -- Get backend process id."},
    {"reset", conn_reset, METH_NOARGS, "reset() -- Reset current connection to defaults."},
    {"fileno", conn_fileno, METH_NOARGS,
     "fileno() -> int -- Return file descriptor associated to database connection."},
    {"isexecuting", conn_isexecuting, METH_NOARGS,
     "isexecuting() -> bool -- Return True if the connection is executing an asynchronous "
     "operation."},
    {"cancel", conn_cancel, METH_NOARGS, "cancel() -- cancel the current operation"},
    {"get_native_connection", conn_get_native_connection, METH_NOARGS,
     "get_native_connection() -- Return the internal PGconn* as a Python Capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef conn_members[] = {
    {"closed", T_LONGLONG, offsetof(connectionObject, closed), READONLY,
     "True if the connection is closed."},
    {"encoding", T_STRING, offsetof(connectionObject, encoding), READONLY,
     "The current client encoding."},
    {"notices", T_OBJECT, offsetof(connectionObject, notices), 0, nullptr},
    {"notifies", T_OBJECT, offsetof(connectionObject, notifies), 0, nullptr},
    {"dsn", T_STRING, offsetof(connectionObject, dsn), READONLY,
     "The current connection string."},
    {"async", T_LONGLONG, offsetof(connectionObject, async), READONLY,
     "True if the connection is asynchronous."},
    {"async_", T_LONGLONG, offsetof(connectionObject, async), READONLY,
     "True if the connection is asynchronous."},
    {"status", T_INT, offsetof(connectionObject, status), READONLY,
     "The current transaction status."},
    {"cursor_factory", T_OBJECT, offsetof(connectionObject, cursor_factory), 0,
     "Default cursor_factory for cursor()."},
    {"string_types", T_OBJECT, offsetof(connectionObject, string_types), READONLY,
     "A set of typecasters to convert textual values."},
    {"binary_types", T_OBJECT, offsetof(connectionObject, binary_types), READONLY,
     "A set of typecasters to convert binary values."},
    {"protocol_version", T_INT, offsetof(connectionObject, protocol_version), READONLY,
     "Protocol version used for this connection. Currently always 3."},
    {"server_version", T_INT, offsetof(connectionObject, server_version), READONLY,
     "Server version."},
    {nullptr, 0, 0, 0, nullptr},
};

#define EXC_GETTER(name) \
    {#name, conn_get_exception, nullptr, nullptr, static_cast<void*>(&name)}

PyGetSetDef conn_getsets[] = {
    EXC_GETTER(Error),
    EXC_GETTER(Warning),
    EXC_GETTER(InterfaceError),
    EXC_GETTER(DatabaseError),
    EXC_GETTER(InternalError),
    EXC_GETTER(OperationalError),
    EXC_GETTER(ProgrammingError),
    EXC_GETTER(IntegrityError),
    EXC_GETTER(DataError),
    EXC_GETTER(NotSupportedError),
    {"autocommit", conn_get_autocommit, conn_set_autocommit,
     "Set or return the autocommit status.", nullptr},
    {"isolation_level", conn_get_isolation_level, conn_set_isolation_level_attr,
     "Set or return the connection transaction isolation level.", nullptr},
    {"readonly", conn_get_readonly, conn_set_readonly,
     "Set or return the connection read-only status.", nullptr},
    {"deferrable", conn_get_deferrable, conn_set_deferrable,
     "Set or return the connection deferrable status.", nullptr},
    {"info", conn_get_info, nullptr, "info -- Get connection info.", nullptr},
    {"pgconn_ptr", conn_get_pgconn_ptr, nullptr, "pgconn_ptr -- Get the PGconn structure pointer.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void conn_close_locked(connectionObject* conn)
{
    if (conn->closed == 1) return;
    conn->closed = 1;
    if (conn->pgconn) {
        PQfinish(conn->pgconn);
        conn->pgconn = nullptr;
        debug_trace("conn_close: PQfinish called\n");
    }
}

void conn_close(connectionObject* conn)
{
    if (conn->closed == 1) return;
    if (!conn->lock_ready) {  // __init__ failed before the lock existed
        conn_close_locked(conn);
        return;
    }
    tv::without_gil gil;
    tv::mutex_guard guard(conn->lock);
    conn_close_locked(conn);
}

PyTypeObject connectionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.connection",
    .tp_basicsize = sizeof(connectionObject),
    .tp_dealloc = conn_dealloc,
    .tp_repr = conn_repr,
    .tp_str = conn_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "connection(dsn, ...) -> new connection object\n\n"
              ":Groups:\n"
              "  * `DBAPI-2.0 errors`: Error, Warning, InterfaceError,\n"
              "    DatabaseError, InternalError, OperationalError,\n"
              "    ProgrammingError, IntegrityError, DataError, NotSupportedError",
    .tp_traverse = conn_traverse,
    .tp_clear = conn_clear,
    .tp_weaklistoffset = offsetof(connectionObject, weakreflist),
    .tp_methods = conn_methods,
    .tp_members = conn_members,
    .tp_getset = conn_getsets,
    .tp_init = conn_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = PyType_GenericNew,
};
