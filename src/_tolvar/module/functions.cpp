// Module-level functions: connection strings, versions, passwords.
#include "cursor/cursor.hpp"

using tv::ref;

namespace {

// The connection a `scope` argument stands for: None gives no connection.
// Returns false with TypeError set for anything that is not a scope.
bool connection_from_scope(PyObject* scope, connectionObject** out, const char* message)
{
    *out = nullptr;
    if (!scope || scope == Py_None) return true;
    if (PyObject_TypeCheck(scope, &cursorType)) {
        *out = reinterpret_cast<cursorObject*>(scope)->connection;
        return true;
    }
    if (PyObject_TypeCheck(scope, &connectionType)) {
        *out = reinterpret_cast<connectionObject*>(scope);
        return true;
    }
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

}  // namespace

PyObject* tolvar_connect(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"dsn", "connection_factory", "async", "async_", nullptr};
    const char* dsn = nullptr;
    PyObject* factory = nullptr;
    int async = 0, async_ = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|Oii", const_cast<char**>(kwlist), &dsn,
                                     &factory, &async, &async_))
        return nullptr;
    if (async_) async = async_;
    if (!factory || factory == Py_None) factory = reinterpret_cast<PyObject*>(&connectionType);
    debug_trace("tolvar_connect: dsn = '%s', async = %d\n", dsn, async);
    if (async) return PyObject_CallFunction(factory, "si", dsn, async);
    return PyObject_CallFunction(factory, "s", dsn);
}

PyObject* tolvar_quote_ident(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"ident", "scope", nullptr};
    PyObject *ident = nullptr, *scope = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &ident,
                                     &scope))
        return nullptr;
    connectionObject* conn = nullptr;
    if (scope == Py_None ||
        !connection_from_scope(scope, &conn, "argument 2 must be a connection or a cursor")) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "argument 2 must be a connection or a cursor");
        return nullptr;
    }
    ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(ident)));
    if (!bytes) return nullptr;
    tv::pqmem_ptr quoted(
        escape_identifier(conn, PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get())));
    if (!quoted) return nullptr;
    return conn_decode_message(conn, quoted.get());
}

PyObject* tolvar_parse_dsn(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"dsn", nullptr};
    PyObject* dsn = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &dsn))
        return nullptr;
    ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(dsn)));
    if (!bytes) return nullptr;

    char* errmsg = nullptr;
    tv::conninfo_ptr options(PQconninfoParse(PyBytes_AS_STRING(bytes.get()), &errmsg));
    tv::pqmem_ptr err(errmsg);
    if (!options) {
        if (err) PyErr_Format(ProgrammingError, "invalid dsn: %s", err.get());
        else PyErr_SetString(OperationalError, "PQconninfoParse() failed");
        return nullptr;
    }
    return dict_from_conninfo_options(options.get(), true);
}

PyObject* tolvar_libpq_version(PyObject*, PyObject*)
{
    return PyLong_FromLong(PQlibVersion());
}

PyObject* tolvar_encrypt_password(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"password", "user", "scope", "algorithm", nullptr};
    PyObject *password = nullptr, *user = nullptr, *scope = Py_None, *algorithm = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char**>(kwlist),
                                     &password, &user, &scope, &algorithm))
        return nullptr;

    connectionObject* conn = nullptr;
    if (!connection_from_scope(scope, &conn, "the scope must be a connection or a cursor"))
        return nullptr;

    ref user_b = ref::steal(as_utf8_bytes(Py_NewRef(user)));
    if (!user_b) return nullptr;
    ref password_b = ref::steal(as_utf8_bytes(Py_NewRef(password)));
    if (!password_b) return nullptr;
    const char* pw = PyBytes_AS_STRING(password_b.get());
    const char* us = PyBytes_AS_STRING(user_b.get());

    ref algorithm_b;
    const char* algo = nullptr;
    if (algorithm != Py_None) {
        algorithm_b = ref::steal(as_utf8_bytes(Py_NewRef(algorithm)));
        if (!algorithm_b) return nullptr;
        algo = PyBytes_AS_STRING(algorithm_b.get());
    }

    tv::pqmem_ptr encrypted;
    if (algo && std::strcmp(algo, "md5") == 0) {
        encrypted.reset(PQencryptPassword(pw, us));
    } else if (!conn || !conn->pgconn) {
        PyErr_SetString(ProgrammingError,
                        "password encryption (other than 'md5' algorithm) requires a "
                        "connection or cursor");
        return nullptr;
    } else {
        encrypted.reset(PQencryptPasswordConn(conn->pgconn, pw, us, algo));
    }
    if (!encrypted) {
        const char* msg = conn && conn->pgconn ? PQerrorMessage(conn->pgconn) : nullptr;
        if (!msg || !*msg) msg = "no reason given";
        PyErr_Format(ProgrammingError, "password encryption failed: %s", msg);
        return nullptr;
    }
    return PyUnicode_FromString(encrypted.get());
}
