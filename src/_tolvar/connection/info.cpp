// ConnectionInfo: libpq's status functions for one connection, read live.
#include "connection/connection.hpp"

using tv::ref;

namespace {

struct connInfoObject {
    PyObject_HEAD
    connectionObject* conn;
};

PGconn* pg(PyObject* o) { return reinterpret_cast<connInfoObject*>(o)->conn->pgconn; }
connectionObject* cn(PyObject* o) { return reinterpret_cast<connInfoObject*>(o)->conn; }

PyObject* info_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int info_init(PyObject* o, PyObject* args, PyObject*)
{
    PyObject* conn = nullptr;
    if (!PyArg_ParseTuple(args, "O", &conn)) return -1;
    if (!PyObject_TypeCheck(conn, &connectionType)) {
        PyErr_SetString(PyExc_TypeError, "The argument must be a tolvar2 connection");
        return -1;
    }
    tv::set_slot(reinterpret_cast<connInfoObject*>(o)->conn, Py_NewRef(conn));
    return 0;
}

void info_dealloc(PyObject* o)
{
    Py_CLEAR(reinterpret_cast<connInfoObject*>(o)->conn);
    Py_TYPE(o)->tp_free(o);
}

PyObject* text(PyObject* o, const char* s) { return conn_decode_message(cn(o), s); }

PyObject* info_dbname(PyObject* o, void*) { return text(o, PQdb(pg(o))); }
PyObject* info_user(PyObject* o, void*) { return text(o, PQuser(pg(o))); }
PyObject* info_password(PyObject* o, void*) { return text(o, PQpass(pg(o))); }
PyObject* info_host(PyObject* o, void*) { return text(o, PQhost(pg(o))); }
PyObject* info_options(PyObject* o, void*) { return text(o, PQoptions(pg(o))); }

PyObject* info_port(PyObject* o, void*)
{
    const char* port = PQport(pg(o));
    if (!port || !*port) Py_RETURN_NONE;
    return PyLong_FromString(port, nullptr, 10);
}

PyObject* info_dsn_parameters(PyObject* o, void*)
{
    if (cn(o)->closed >= 1) {
        PyErr_SetString(InterfaceError, "connection already closed");
        return nullptr;
    }
    tv::conninfo_ptr options(PQconninfo(pg(o)));
    if (!options) return PyErr_NoMemory();
    return dict_from_conninfo_options(options.get(), false);
}

PyObject* info_status(PyObject* o, void*) { return PyLong_FromLong(PQstatus(pg(o))); }
PyObject* info_transaction_status(PyObject* o, void*)
{
    return PyLong_FromLong(PQtransactionStatus(pg(o)));
}
PyObject* info_protocol_version(PyObject* o, void*)
{
    return PyLong_FromLong(PQprotocolVersion(pg(o)));
}
PyObject* info_server_version(PyObject* o, void*)
{
    return PyLong_FromLong(PQserverVersion(pg(o)));
}

PyObject* info_error_message(PyObject* o, void*)
{
    const char* msg = PQerrorMessage(pg(o));
    if (!msg || !*msg) Py_RETURN_NONE;
    return text(o, msg);
}

PyObject* info_socket(PyObject* o, void*) { return PyLong_FromLong(PQsocket(pg(o))); }
PyObject* info_backend_pid(PyObject* o, void*) { return PyLong_FromLong(PQbackendPID(pg(o))); }
PyObject* info_used_password(PyObject* o, void*)
{
    return PyBool_FromLong(PQconnectionUsedPassword(pg(o)));
}
PyObject* info_needs_password(PyObject* o, void*)
{
    return PyBool_FromLong(PQconnectionNeedsPassword(pg(o)));
}
PyObject* info_ssl_in_use(PyObject* o, void*) { return PyBool_FromLong(PQsslInUse(pg(o))); }

PyObject* info_ssl_attribute_names(PyObject* o, void*)
{
    const char* const* names = PQsslAttributeNames(pg(o));
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (; names && *names; ++names) {
        ref name = ref::steal(text(o, *names));
        if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* info_ssl_attribute(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", nullptr};
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char**>(kwlist), &name))
        return nullptr;
    return text(o, PQsslAttribute(pg(o), name));
}

PyObject* info_parameter_status(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name", nullptr};
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char**>(kwlist), &name))
        return nullptr;
    return text(o, PQparameterStatus(pg(o), name));
}


PyMethodDef info_methods[] = {
    {"ssl_attribute", TV_METH(info_ssl_attribute), METH_VARARGS | METH_KEYWORDS,
     "Returns SSL-related information about the connection."},
    {"parameter_status", TV_METH(info_parameter_status), METH_VARARGS | METH_KEYWORDS,
     "Looks up a current parameter setting of the server."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef info_getsets[] = {
    {"dbname", info_dbname, nullptr, "The database name of the connection.", nullptr},
    {"user", info_user, nullptr, "The user name of the connection.", nullptr},
    {"password", info_password, nullptr, "The password of the connection.", nullptr},
    {"host", info_host, nullptr, "The server host name of the connection.", nullptr},
    {"port", info_port, nullptr, "The port of the connection.", nullptr},
    {"options", info_options, nullptr,
     "The command-line options passed in the connection request.", nullptr},
    {"dsn_parameters", info_dsn_parameters, nullptr, "The effective connection parameters.",
     nullptr},
    {"status", info_status, nullptr, "The status of the connection.", nullptr},
    {"transaction_status", info_transaction_status, nullptr,
     "The current in-transaction status of the connection.", nullptr},
    {"protocol_version", info_protocol_version, nullptr,
     "The frontend/backend protocol being used.", nullptr},
    {"server_version", info_server_version, nullptr,
     "Returns an integer representing the server version.", nullptr},
    {"error_message", info_error_message, nullptr,
     "The error message most recently generated by an operation on the connection.", nullptr},
    {"socket", info_socket, nullptr,
     "The file descriptor number of the connection socket to the server.", nullptr},
    {"backend_pid", info_backend_pid, nullptr,
     "The process ID (PID) of the backend process you connected to.", nullptr},
    {"used_password", info_used_password, nullptr,
     "The connection authentication method used a password.", nullptr},
    {"needs_password", info_needs_password, nullptr,
     "The connection authentication method required a password, but none was available.",
     nullptr},
    {"ssl_in_use", info_ssl_in_use, nullptr,
     "`!True` if the connection uses SSL, `!False` if not.", nullptr},
    {"ssl_attribute_names", info_ssl_attribute_names, nullptr,
     "The list of the SSL attribute names available.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject connectionInfoType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.ConnectionInfo",
    .tp_basicsize = sizeof(connInfoObject),
    .tp_dealloc = info_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Details about the native PostgreSQL database connection.\n\n"
              "This class exposes several informative attributes about the\n"
              "connection, wrapping libpq's status functions. The objects are\n"
              "returned by the ``info`` attribute of the connection.\n\n"
              "See https://www.postgresql.org/docs/current/libpq-status.html",
    .tp_methods = info_methods,
    .tp_getset = info_getsets,
    .tp_init = info_init,
    .tp_new = info_new,
};
