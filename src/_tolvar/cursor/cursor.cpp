// The cursor type: construction, execution, named cursors and the small
// methods and attributes. Fetching lives in fetch.cpp.
#include "cursor/format.hpp"
#include "pq/pqpath.hpp"
#include "typecast/typecast.hpp"

#include <new>
#include <string>

using tv::ref;

namespace {

inline cursorObject* as_cursor(PyObject* o) { return reinterpret_cast<cursorObject*>(o); }

// Interned names, created on first use.
PyObject* interned(PyObject*& slot, const char* text)
{
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}
PyObject* name_as_string = nullptr;
PyObject* name_close = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Result state

void curs_set_result(cursorObject* curs, PGresult* res)
{
    PGresult* old = curs->pgres;
    curs->pgres = res;
    if (old != res) PQclear(old);
}

void reset_result_state(cursorObject* curs)
{
    curs->no_tuples = 1;
    curs->rowcount = -1;
    curs->rownumber = 0;
    tv::clear_slot(curs->description);
    tv::clear_slot(curs->column_casts);
}

// ---------------------------------------------------------------------------
// Precondition checks

int curs_check_connection(cursorObject* curs)
{
    if (curs->connection) return 0;
    PyErr_SetString(InterfaceError, "the cursor has no connection");
    return -1;
}

int curs_check_closed(cursorObject* curs)
{
    if (!curs->closed && !(curs->connection && curs->connection->closed)) return 0;
    PyErr_SetString(InterfaceError, "cursor already closed");
    return -1;
}

int curs_check_busy(cursorObject* curs, const char* message)
{
    const connectionObject* conn = curs->connection;
    if (!conn || !conn->async_cursor || conn->async_cursor == Py_None) return 0;
    PyErr_SetString(ProgrammingError, message);
    return -1;
}

int curs_check_prepared(cursorObject* curs, const char* method)
{
    if (!curs->connection || curs->connection->status != CONN_STATUS_PREPARED) return 0;
    PyErr_Format(ProgrammingError, "%s cannot be used with a prepared two-phase transaction",
                 method);
    return -1;
}

int curs_check_stale(cursorObject* curs)
{
    if (!curs->name || curs->withhold || !curs->connection ||
        curs->transaction_mark == curs->connection->transaction_mark)
        return 0;
    PyErr_SetString(ProgrammingError, "named cursor isn't valid anymore");
    return -1;
}

int curs_check_converting(cursorObject* curs)
{
    if (curs->converting <= 0) return 0;
    PyErr_SetString(ProgrammingError, "the cursor result cannot be replaced while one of "
                                      "its rows is being converted");
    return -1;
}

// ---------------------------------------------------------------------------
// Execution

PyObject* query_to_bytes(cursorObject* curs, PyObject* query)
{
    int truth = query ? PyObject_IsTrue(query) : 0;
    if (truth < 0) {
        // A failing truth test counts as true: the type checks below decide.
        PyErr_Clear();
        truth = 1;
    }
    if (!truth) {
        raise_with_cursor(ProgrammingError, curs, "can't execute an empty query");
        return nullptr;
    }
    if (PyBytes_Check(query)) return Py_NewRef(query);
    if (PyUnicode_Check(query)) return conn_encode_text(curs->connection, query);

    ref sql = ref::steal(PyImport_ImportModule("tolvar2.sql"));
    if (!sql) return nullptr;
    ref composable = ref::steal(PyObject_GetAttrString(sql.get(), "Composable"));
    if (!composable) return nullptr;
    const int is_composable = PyObject_IsInstance(query, composable.get());
    if (is_composable < 0) return nullptr;
    if (!is_composable) {
        PyErr_Format(PyExc_TypeError,
                     "argument 1 must be a string or unicode object: got %s instead",
                     Py_TYPE(query)->tp_name);
        return nullptr;
    }
    if (!interned(name_as_string, "as_string")) return nullptr;
    PyObject* context =
        curs->connection ? reinterpret_cast<PyObject*>(curs->connection) : Py_None;
    ref text = ref::steal(PyObject_CallMethodOneArg(query, name_as_string, context));
    if (!text) return nullptr;
    if (PyBytes_Check(text.get())) return text.release();
    if (PyUnicode_Check(text.get())) return conn_encode_text(curs->connection, text.get());
    PyErr_Format(PyExc_TypeError, "as_string() should return a string: got %s instead",
                 Py_TYPE(text.get())->tp_name);
    return nullptr;
}

namespace {

// Merge the arguments into the query: the single place where the query
// formatter plugs in. Returns the text to send as a new reference.
PyObject* curs_merge_vars(cursorObject* curs, PyObject* query, PyObject* vars)
{
    return curs_bind_vars(curs, query, vars);
}

// libpq takes the statement as a C string: a NUL byte would silently cut it.
int check_no_nul(PyObject* bytes)
{
    const char* data = PyBytes_AS_STRING(bytes);
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes);
    if (!std::memchr(data, '\0', static_cast<size_t>(size))) return 0;
    PyErr_SetString(PyExc_ValueError, "A query cannot contain NUL (0x00) characters.");
    return -1;
}

}  // namespace

int curs_execute(cursorObject* curs, PyObject* query, PyObject* vars, int async, int no_result)
{
    if (curs_check_converting(curs) < 0) return -1;
    ref q = ref::steal(query_to_bytes(curs, query));
    if (!q) return -1;
    if (check_no_nul(q.get()) < 0) return -1;

    curs_set_result(curs, nullptr);
    tv::clear_slot(curs->query);

    ref fq = ref::steal(curs_merge_vars(curs, q.get(), vars));
    if (!fq) return -1;

    if (!curs->name) {
        tv::set_slot(curs->query, fq.release());
    } else {
        const char* scroll;
        switch (curs->scrollable) {
        case -1: scroll = ""; break;
        case 0: scroll = "NO SCROLL "; break;
        case 1: scroll = "SCROLL "; break;
        default:
            PyErr_SetString(InternalError, "unexpected scrollable value");
            return -1;
        }
        PyObject* declare = PyBytes_FromFormat("DECLARE %s %sCURSOR %s HOLD FOR %s",
                                               curs->quoted_name, scroll,
                                               curs->withhold ? "WITH" : "WITHOUT",
                                               PyBytes_AS_STRING(fq.get()));
        if (!declare) return -1;
        tv::set_slot(curs->query, declare);
    }

    // Our own reference: code run during the execution may replace `query`.
    ref sent = ref::borrow(curs->query);
    debug_trace("curs_execute: executing query: %s\n", PyBytes_AS_STRING(sent.get()));
    return pq_execute(curs, PyBytes_AS_STRING(sent.get()), async, no_result, 0) < 0 ? -1 : 0;
}

namespace {

// ---------------------------------------------------------------------------
// Methods

PyObject* curs_execute_method(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"query", "vars", nullptr};
    PyObject* query = nullptr;
    PyObject* vars = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &query,
                                     &vars))
        return nullptr;
    cursorObject* curs = as_cursor(self);

    // The connection is needed by every check below, named or not.
    if (curs_check_connection(curs) < 0) return nullptr;
    if (curs->name) {
        if (curs->query) {
            raise_with_cursor(ProgrammingError, curs,
                              "can't call .execute() on named cursors more than once");
            return nullptr;
        }
        if (curs->connection->autocommit && !curs->withhold) {
            raise_with_cursor(ProgrammingError, curs,
                              "can't use a named cursor outside of transactions");
            return nullptr;
        }
        if (curs_check_stale(curs) < 0) return nullptr;
    }
    if (curs_check_closed(curs) < 0) return nullptr;
    if (curs_check_busy(curs, "execute cannot be used while an asynchronous query is underway") <
        0)
        return nullptr;
    if (curs_check_prepared(curs, "execute") < 0) return nullptr;

    if (curs_execute(curs, query, vars, static_cast<int>(curs->connection->async), 0) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* curs_executemany(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"query", "vars_list", nullptr};
    cursorObject* curs = as_cursor(self);
    curs->rowcount = -1;
    PyObject* query = nullptr;
    PyObject* vars_list = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &query,
                                     &vars_list))
        return nullptr;

    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (curs->connection->async) {
        PyErr_SetString(ProgrammingError, "executemany cannot be used in asynchronous mode");
        return nullptr;
    }
    if (curs_check_prepared(curs, "executemany") < 0) return nullptr;
    if (curs->name) {
        raise_with_cursor(ProgrammingError, curs, "can't call .executemany() on named cursors");
        return nullptr;
    }

    ref it = ref::steal(PyIter_Check(vars_list) ? Py_NewRef(vars_list)
                                                : PyObject_GetIter(vars_list));
    if (!it) return nullptr;

    int64_t total = 0;
    while (ref item = ref::steal(PyIter_Next(it.get()))) {
        if (curs_execute(curs, query, item.get(), 0, 1) < 0) return nullptr;
        const int64_t rc = curs->rowcount;
        if (rc == -1) total = -1;
        else if (total >= 0) total += rc;
    }
    curs->rowcount = total;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// "SELECT * FROM name(...)" for callproc; fills `out` or raises.
int build_call(cursorObject* curs, const char* procname, Py_ssize_t procname_len,
               PyObject* keys, Py_ssize_t nargs, std::string& out)
{
    try {
        out.assign("SELECT * FROM ");
        out.append(procname, static_cast<size_t>(procname_len));
        out.push_back('(');
        if (keys) {
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                ref key = ref::steal(as_utf8_bytes(Py_NewRef(PyList_GET_ITEM(keys, i))));
                if (!key) return -1;
                tv::pqmem_ptr ident(escape_identifier(curs->connection,
                                                      PyBytes_AS_STRING(key.get()),
                                                      PyBytes_GET_SIZE(key.get())));
                if (!ident) return -1;
                out.append(ident.get());
                out.append(":=%s,");
            }
        } else {
            for (Py_ssize_t i = 0; i < nargs; ++i) out.append("%s,");
        }
        if (nargs > 0) out.back() = ')';
        else out.push_back(')');
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

PyObject* curs_callproc(PyObject* self, PyObject* args)
{
    const char* procname = nullptr;
    Py_ssize_t procname_len = 0;
    PyObject* parameters = Py_None;
    if (!PyArg_ParseTuple(args, "s#|O", &procname, &procname_len, &parameters)) return nullptr;
    cursorObject* curs = as_cursor(self);

    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (curs_check_busy(curs, "callproc cannot be used while an asynchronous query is underway") <
        0)
        return nullptr;
    if (curs_check_prepared(curs, "callproc") < 0) return nullptr;
    if (curs->name) {
        raise_with_cursor(ProgrammingError, curs, "can't call .callproc() on named cursors");
        return nullptr;
    }

    Py_ssize_t nargs = 0;
    if (parameters != Py_None) {
        nargs = PyObject_Length(parameters);
        if (nargs < 0) return nullptr;
    }

    const bool mapping = nargs > 0 && PyDict_Check(parameters);
    ref keys, arguments;
    if (mapping) {
        keys = ref::steal(PyDict_Keys(parameters));
        if (!keys) return nullptr;
        arguments = ref::steal(PyDict_Values(parameters));
        if (!arguments) return nullptr;
        // The dict may have changed size while we asked for its length.
        nargs = PyList_GET_SIZE(keys.get());
    } else {
        arguments = ref::borrow(parameters);
    }

    std::string sql;
    if (build_call(curs, procname, procname_len, keys.get(), nargs, sql) < 0) return nullptr;
    ref statement = ref::steal(
        PyBytes_FromStringAndSize(sql.data(), static_cast<Py_ssize_t>(sql.size())));
    if (!statement) return nullptr;

    if (curs_execute(curs, statement.get(), arguments.get(),
                     static_cast<int>(curs->connection->async), 0) < 0)
        return nullptr;
    if (mapping) Py_RETURN_NONE;
    return Py_NewRef(parameters);
}

// The server side of close() for a named cursor: 0, or -1 with an exception.
int close_named(cursorObject* curs)
{
    connectionObject* conn = curs->connection;
    if (!conn || !conn->pgconn) return 0;
    const PGTransactionStatusType ts = PQtransactionStatus(conn->pgconn);
    // In a failed or unknown transaction the server cursor is gone or unreachable.
    if (ts == PQTRANS_INERROR || ts == PQTRANS_UNKNOWN) return 0;

    if (!curs->query && conn->server_version >= 80200) {
        // Never executed: the name may not exist on the server at all.
        tv::pymem_ptr literal(escape_string_literal(conn, curs->name, -1, nullptr, nullptr));
        if (!literal) return -1;
        ref sql = ref::steal(PyBytes_FromFormat(
            "SELECT 1 FROM pg_catalog.pg_cursors where name = %s", literal.get()));
        if (!sql) return -1;
        if (pq_execute(curs, PyBytes_AS_STRING(sql.get()), 0, 0, 1) < 0) return -1;
        if (curs->rowcount == 0) return 0;
    }
    if (curs_check_stale(curs) < 0) return -1;
    return curs_named_command(curs, 1, "CLOSE %s", curs->quoted_name);
}

PyObject* curs_close(PyObject* self, PyObject*)
{
    cursorObject* curs = as_cursor(self);
    if (curs->closed) Py_RETURN_NONE;
    if (curs_check_converting(curs) < 0) return nullptr;
    if (curs->name) {
        if (curs_check_busy(curs,
                            "close_named cannot be used while an asynchronous query is underway") <
            0)
            return nullptr;
        if (close_named(curs) < 0) return nullptr;
    }
    curs_set_result(curs, nullptr);
    curs->closed = 1;
    debug_trace("curs_close: cursor at %p closed\n", static_cast<void*>(curs));
    Py_RETURN_NONE;
}

PyObject* curs_nextset(PyObject* self, PyObject*)
{
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    PyErr_SetString(NotSupportedError, "not supported by PostgreSQL");
    return nullptr;
}

PyObject* curs_setinputsizes(PyObject* self, PyObject* args)
{
    PyObject* sizes = nullptr;
    if (!PyArg_ParseTuple(args, "O", &sizes)) return nullptr;
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* curs_setoutputsize(PyObject* self, PyObject* args)
{
    long size = 0, column = 0;
    if (!PyArg_ParseTuple(args, "l|l", &size, &column)) return nullptr;
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* curs_enter(PyObject* self, PyObject*)
{
    return Py_NewRef(self);
}

PyObject* curs_exit(PyObject* self, PyObject*)
{
    // Through the attribute, so that a subclass's close() runs.
    if (!interned(name_close, "close")) return nullptr;
    ref rv = ref::steal(PyObject_CallMethodNoArgs(self, name_close));
    if (!rv) return nullptr;
    Py_RETURN_NONE;
}

PyObject* curs_cast(PyObject* self, PyObject* args)
{
    PyObject* oid = nullptr;
    PyObject* s = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &oid, &s)) return nullptr;
    // Our own reference: the call may change the registries it came from.
    ref caster = ref::borrow(curs_get_cast(as_cursor(self), oid));
    return PyObject_CallFunctionObjArgs(caster.get(), s, self, nullptr);
}

// ---------------------------------------------------------------------------
// Computed attributes

PyObject* curs_get_closed(PyObject* self, void*)
{
    const cursorObject* curs = as_cursor(self);
    return PyBool_FromLong(curs->closed || (curs->connection && curs->connection->closed));
}

PyObject* curs_get_withhold(PyObject* self, void*)
{
    return PyBool_FromLong(as_cursor(self)->withhold);
}

int curs_set_withhold(PyObject* self, PyObject* value, void*)
{
    cursorObject* curs = as_cursor(self);
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete the withhold attribute");
        return -1;
    }
    if (!curs->name && value != Py_False) {
        PyErr_SetString(ProgrammingError, "trying to set .withhold on unnamed cursor");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    curs->withhold = truth ? 1u : 0u;
    return 0;
}

PyObject* curs_get_scrollable(PyObject* self, void*)
{
    switch (as_cursor(self)->scrollable) {
    case -1: Py_RETURN_NONE;
    case 0: Py_RETURN_FALSE;
    case 1: Py_RETURN_TRUE;
    default:
        PyErr_SetString(InternalError, "unexpected scrollable value");
        return nullptr;
    }
}

int curs_set_scrollable(PyObject* self, PyObject* value, void*)
{
    cursorObject* curs = as_cursor(self);
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete the scrollable attribute");
        return -1;
    }
    if (value == Py_None) {
        curs->scrollable = -1;
        return 0;
    }
    if (!curs->name) {
        PyErr_SetString(ProgrammingError, "trying to set .scrollable on unnamed cursor");
        return -1;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    curs->scrollable = truth ? 1 : 0;
    return 0;
}

PyObject* curs_get_pgresult_ptr(PyObject* self, void*)
{
    const cursorObject* curs = as_cursor(self);
    if (!curs->pgres) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(curs->pgres);
}

// ---------------------------------------------------------------------------
// Object life cycle

PyObject* cursor_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<cursor object at %p; closed: %d>", static_cast<void*>(self),
                                as_cursor(self)->closed ? 1 : 0);
}

int cursor_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"conn", "name", nullptr};
    PyObject* conn_obj = nullptr;
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O", const_cast<char**>(kwlist),
                                     &connectionType, &conn_obj, &name))
        return -1;
    cursorObject* curs = as_cursor(self);
    auto* conn = reinterpret_cast<connectionObject*>(conn_obj);

    // Everything that can fail comes first, so a failure leaves the record as it was.
    tv::pymem_ptr new_name;
    tv::pqmem_ptr new_quoted;
    if (name && name != Py_None) {
        ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(name)));
        if (!bytes) return -1;
        const char* data = PyBytes_AS_STRING(bytes.get());
        const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
        // The name is kept as a C string: a NUL would silently shorten it.
        if (std::memchr(data, '\0', static_cast<size_t>(size))) {
            PyErr_SetString(PyExc_ValueError,
                            "A cursor name cannot contain NUL (0x00) characters.");
            return -1;
        }
        char* copy = nullptr;
        if (copy_string(&copy, data, size) < 0) return -1;
        new_name.reset(copy);
        new_quoted.reset(escape_identifier(conn, data, size));
        if (!new_quoted) return -1;
    }
    ref datetime = ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime) return -1;
    ref timezone = ref::steal(PyObject_GetAttrString(datetime.get(), "timezone"));
    if (!timezone) return -1;

    PyMem_Free(curs->name);
    curs->name = new_name.release();
    PQfreemem(curs->quoted_name);
    curs->quoted_name = new_quoted.release();
    tv::set_slot(curs->connection, Py_NewRef(conn_obj));
    curs->transaction_mark = conn->transaction_mark;
    curs->no_tuples = 1;
    curs->arraysize = 1;
    curs->itersize = 2000;
    curs->rowcount = -1;
    curs->lastrowid = 0;
    tv::set_slot(curs->row_factory, Py_NewRef(Py_None));
    tv::set_slot(curs->tzinfo_factory, timezone.release());
    debug_trace("cursor_init: new cursor at %p: name = %s\n", static_cast<void*>(curs),
                curs->name ? curs->name : "(null)");
    return 0;
}

int cursor_traverse(PyObject* self, visitproc visit, void* arg)
{
    cursorObject* curs = as_cursor(self);
    Py_VISIT(reinterpret_cast<PyObject*>(curs->connection));
    Py_VISIT(curs->description);
    Py_VISIT(curs->statusmessage);
    Py_VISIT(curs->column_casts);
    Py_VISIT(curs->typecaster);
    Py_VISIT(curs->copy_file);
    Py_VISIT(curs->row_factory);
    Py_VISIT(curs->tzinfo_factory);
    Py_VISIT(curs->query);
    Py_VISIT(curs->string_types);
    Py_VISIT(curs->binary_types);
    return 0;
}

int cursor_clear(PyObject* self)
{
    cursorObject* curs = as_cursor(self);
    tv::clear_slot(curs->connection);
    tv::clear_slot(curs->description);
    tv::clear_slot(curs->statusmessage);
    tv::clear_slot(curs->column_casts);
    tv::clear_slot(curs->typecaster);
    tv::clear_slot(curs->copy_file);
    tv::clear_slot(curs->row_factory);
    tv::clear_slot(curs->tzinfo_factory);
    tv::clear_slot(curs->query);
    tv::clear_slot(curs->string_types);
    tv::clear_slot(curs->binary_types);
    return 0;
}

void cursor_dealloc(PyObject* self)
{
    cursorObject* curs = as_cursor(self);
    PyObject_GC_UnTrack(self);
    if (curs->weakreflist) PyObject_ClearWeakRefs(self);
    cursor_clear(self);
    PyMem_Free(curs->name);
    curs->name = nullptr;
    PQfreemem(curs->quoted_name);
    curs->quoted_name = nullptr;
    curs_set_result(curs, nullptr);
    debug_trace("cursor_dealloc: deleted cursor object at %p\n", static_cast<void*>(self));
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// Tables

PyMethodDef cursor_methods[] = {
    {"close", curs_close, METH_NOARGS, "close() -- Close the cursor."},
    {"execute", TV_METH(curs_execute_method), METH_VARARGS | METH_KEYWORDS,
     "execute(query, vars=None) -- Execute query with bound vars."},
    {"executemany", TV_METH(curs_executemany), METH_VARARGS | METH_KEYWORDS,
     "executemany(query, vars_list) -- Execute many queries with bound vars."},
    {"callproc", curs_callproc, METH_VARARGS,
     "callproc(procname, parameters=None) -- Execute stored procedure."},
    {"fetchone", curs_fetchone, METH_NOARGS, curs_fetchone_doc},
    {"fetchmany", TV_METH(curs_fetchmany), METH_VARARGS | METH_KEYWORDS, curs_fetchmany_doc},
    {"fetchall", curs_fetchall, METH_NOARGS, curs_fetchall_doc},
    {"scroll", TV_METH(curs_scroll), METH_VARARGS | METH_KEYWORDS, curs_scroll_doc},
    {"nextset", curs_nextset, METH_NOARGS,
     "nextset() -- Skip to next set of data.\n\n"
     "This method is not supported (PostgreSQL does not have multiple data \n"
     "sets) and will raise a NotSupportedError exception."},
    {"setinputsizes", curs_setinputsizes, METH_VARARGS,
     "setinputsizes(sizes) -- Set memory areas before execute.\n\n"
     "This method currently does nothing but it is safe to call it."},
    {"setoutputsize", curs_setoutputsize, METH_VARARGS,
     "setoutputsize(size, column=None) -- Set column buffer size.\n\n"
     "This method currently does nothing but it is safe to call it."},
    {"__enter__", curs_enter, METH_NOARGS, "__enter__ -> self"},
    {"__exit__", curs_exit, METH_VARARGS, "__exit__ -- close the cursor"},
    {"cast", curs_cast, METH_VARARGS,
     "cast(oid, s) -> value\n\n"
     "Convert the string s to a Python object according to its oid.\n\n"
     "Look for a typecaster first in the cursor, then in its connection, "
     "then in the global register. If no suitable typecaster is found, "
     "leave the value as a string."},
    {"mogrify", TV_METH(curs_mogrify), METH_VARARGS | METH_KEYWORDS, curs_mogrify_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef cursor_members[] = {
    {"rowcount", T_LONGLONG, offsetof(cursorObject, rowcount), READONLY,
     "Number of rows read from the backend in the last command."},
    {"arraysize", T_LONGLONG, offsetof(cursorObject, arraysize), 0,
     "Number of records `fetchmany()` must fetch if not explicitly specified."},
    {"itersize", T_LONGLONG, offsetof(cursorObject, itersize), 0,
     "Number of records ``iter(cur)`` must fetch per network roundtrip."},
    {"description", T_OBJECT, offsetof(cursorObject, description), READONLY,
     "Cursor description as defined in DBAPI-2.0."},
    {"lastrowid", T_UINT, offsetof(cursorObject, lastrowid), READONLY,
     "The ``oid`` of the last row inserted by the cursor."},
    {"rownumber", T_LONGLONG, offsetof(cursorObject, rownumber), READONLY,
     "The current row position."},
    {"connection", T_OBJECT, offsetof(cursorObject, connection), READONLY,
     "The connection where the cursor comes from."},
    {"name", T_STRING, offsetof(cursorObject, name), READONLY, nullptr},
    {"statusmessage", T_OBJECT, offsetof(cursorObject, statusmessage), READONLY,
     "The return message of the last command."},
    {"query", T_OBJECT, offsetof(cursorObject, query), READONLY,
     "The last query text sent to the backend."},
    {"row_factory", T_OBJECT, offsetof(cursorObject, row_factory), 0, nullptr},
    {"tzinfo_factory", T_OBJECT, offsetof(cursorObject, tzinfo_factory), 0, nullptr},
    {"typecaster", T_OBJECT, offsetof(cursorObject, typecaster), READONLY, nullptr},
    {"string_types", T_OBJECT, offsetof(cursorObject, string_types), 0, nullptr},
    {"binary_types", T_OBJECT, offsetof(cursorObject, binary_types), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef cursor_getsets[] = {
    {"closed", curs_get_closed, nullptr, "True if cursor is closed, False if cursor is open",
     nullptr},
    {"withhold", curs_get_withhold, curs_set_withhold, "Set or return cursor use of WITH HOLD",
     nullptr},
    {"scrollable", curs_get_scrollable, curs_set_scrollable,
     "Set or return cursor use of SCROLL", nullptr},
    {"pgresult_ptr", curs_get_pgresult_ptr, nullptr,
     "pgresult_ptr -- Get the PGresult structure pointer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject cursorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.cursor",
    .tp_basicsize = sizeof(cursorObject),
    .tp_dealloc = cursor_dealloc,
    .tp_repr = cursor_repr,
    .tp_str = cursor_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A database cursor.",
    .tp_traverse = cursor_traverse,
    .tp_clear = cursor_clear,
    .tp_weaklistoffset = offsetof(cursorObject, weakreflist),
    .tp_iter = curs_iter,
    .tp_iternext = curs_iternext,
    .tp_methods = cursor_methods,
    .tp_members = cursor_members,
    .tp_getset = cursor_getsets,
    .tp_init = cursor_init,
    .tp_new = PyType_GenericNew,
};
