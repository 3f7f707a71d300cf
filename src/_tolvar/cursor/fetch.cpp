// Fetching rows from a cursor's result, iteration, scrolling, and the
// typecaster lookup used to convert every field.
#include "pq/pqpath.hpp"
#include "typecast/typecast.hpp"

#include <cstdarg>

using tv::ref;

namespace {

inline cursorObject* as_cursor(PyObject* o) { return reinterpret_cast<cursorObject*>(o); }

// Marks the cursor as converting a row for the lifetime of the object.
class converting_guard {
public:
    explicit converting_guard(cursorObject* curs) noexcept : curs_(curs) { ++curs_->converting; }
    ~converting_guard() { --curs_->converting; }
    converting_guard(const converting_guard&) = delete;
    converting_guard& operator=(const converting_guard&) = delete;

private:
    cursorObject* curs_;
};

int check_no_result(cursorObject* curs)
{
    if (!curs->no_tuples || curs->name) return 0;
    PyErr_SetString(ProgrammingError, "no results to fetch");
    return -1;
}

// The checks every named-cursor fetch makes before talking to the server.
int check_named(cursorObject* curs, const char* busy_message, const char* method)
{
    if (curs_check_stale(curs) < 0) return -1;
    if (curs_check_busy(curs, busy_message) < 0) return -1;
    return curs_check_prepared(curs, method);
}

// Once the rows of an asynchronous result are all read, drop the result so
// the next fetch reports no rows.
void apply_release_rule(cursorObject* curs)
{
    const connectionObject* conn = curs->connection;
    if (!curs->pgres || curs->rownumber < curs->rowcount || curs->converting > 0) return;
    if (!conn || !conn->async_cursor || !PyWeakref_Check(conn->async_cursor)) return;
    if (weakref_target(conn->async_cursor) == reinterpret_cast<PyObject*>(curs))
        curs_set_result(curs, nullptr);
}

inline PyObject* field_value(cursorObject* curs, PGresult* res, PyObject* casts, int row, int col)
{
    const char* text = nullptr;
    Py_ssize_t len = 0;
    if (!PQgetisnull(res, row, col)) {
        text = PQgetvalue(res, row, col);
        len = PQgetlength(res, row, col);
    }
    return typecast_apply(PyTuple_GET_ITEM(casts, col), text, len,
                          reinterpret_cast<PyObject*>(curs));
}

// A list of the next `count` rows; rownumber moves past each row tried.
PyObject* build_rows(cursorObject* curs, int64_t count)
{
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    tv::gc_pause pause;
    for (int64_t i = 0; i < count; ++i) {
        PyObject* row = _tolvar_curs_buildrow(curs, curs->rownumber);
        curs->rownumber++;
        if (!row) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.release();
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared routines

int curs_named_command(cursorObject* curs, int no_begin, const char* fmt, ...)
{
    if (curs_check_converting(curs) < 0) return -1;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) {
        PyErr_SetString(InternalError, "cannot format the named cursor statement");
        return -1;
    }
    tv::pymem_ptr sql(static_cast<char*>(PyMem_Malloc(static_cast<size_t>(n) + 1)));
    if (!sql) {
        PyErr_NoMemory();
        return -1;
    }
    va_start(ap, fmt);
    std::vsnprintf(sql.get(), static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    debug_trace("curs_named_command: %s\n", sql.get());
    return pq_execute(curs, sql.get(), 0, 0, no_begin) < 0 ? -1 : 0;
}

namespace {

// A registry hit, or null. Only typecaster objects count: a user dict may
// hold anything, and the row builder relies on what it gets here.
PyObject* registry_lookup(PyObject* registry, PyObject* oid)
{
    if (!registry || !PyDict_Check(registry)) return nullptr;
    // PyDict_GetItem reports no errors: an unhashable key finds nothing.
    PyObject* hit = PyDict_GetItem(registry, oid);
    return hit && PyObject_TypeCheck(hit, &typecastType) ? hit : nullptr;
}

}  // namespace

PyObject* curs_get_cast(cursorObject* curs, PyObject* oid)
{
    if (PyObject* hit = registry_lookup(curs->string_types, oid)) return hit;
    if (curs->connection) {
        if (PyObject* hit = registry_lookup(curs->connection->string_types, oid)) return hit;
    }
    if (PyObject* hit = registry_lookup(tolvar_string_types, oid)) return hit;
    return default_typecaster;
}

int _tolvar_curs_prefetch(cursorObject* curs)
{
    if (curs->pgres) return 0;
    int rc;
    do {
        rc = pq_fetch(curs, 0);
    } while (rc == 1);
    return rc;
}

PyObject* _tolvar_curs_buildrow(cursorObject* curs, int64_t row)
{
    PGresult* res = curs->pgres;
    PyObject* casts_obj = curs->column_casts;
    if (!res || row < 0 || row >= PQntuples(res) || !casts_obj || !PyTuple_Check(casts_obj) ||
        PyTuple_GET_SIZE(casts_obj) < PQnfields(res)) {
        PyErr_SetString(InternalError, "the cursor holds no row at this position");
        return nullptr;
    }
    const int n = PQnfields(res);
    const int r = static_cast<int>(row);
    // Typecasters and row factories run Python code: keep what we read
    // alive, and keep the result from being replaced under us.
    ref casts = ref::borrow(casts_obj);
    converting_guard guard(curs);

    if (!curs->row_factory || curs->row_factory == Py_None) {
        ref tuple = ref::steal(PyTuple_New(n));
        if (!tuple) return nullptr;
        for (int i = 0; i < n; ++i) {
            PyObject* value = field_value(curs, res, casts.get(), r, i);
            if (!value) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), i, value);
        }
        return tuple.release();
    }

    ref factory = ref::borrow(curs->row_factory);
    ref obj = ref::steal(PyObject_CallOneArg(factory.get(), reinterpret_cast<PyObject*>(curs)));
    if (!obj) return nullptr;
    for (int i = 0; i < n; ++i) {
        ref value = ref::steal(field_value(curs, res, casts.get(), r, i));
        if (!value) return nullptr;
        ref index = ref::steal(PyLong_FromLong(i));
        if (!index || PyObject_SetItem(obj.get(), index.get(), value.get()) < 0) return nullptr;
    }
    return obj.release();
}

// ---------------------------------------------------------------------------
// Methods

const char curs_fetchone_doc[] =
    "fetchone() -> tuple or None\n\n"
    "Return the next row of a query result set in the form of a tuple (by\n"
    "default) or using the sequence factory previously set in the\n"
    "`row_factory` attribute. Return `!None` when no more data is available.\n";

const char curs_fetchmany_doc[] =
    "fetchmany(size=self.arraysize) -> list of tuple\n\n"
    "Return the next `size` rows of a query result set in the form of a list\n"
    "of tuples (by default) or using the sequence factory previously set in\n"
    "the `row_factory` attribute.\n\n"
    "Return an empty list when no more data is available.\n";

const char curs_fetchall_doc[] =
    "fetchall() -> list of tuple\n\n"
    "Return all the remaining rows of a query result set.\n\n"
    "Rows are returned in the form of a list of tuples (by default) or using\n"
    "the sequence factory previously set in the `row_factory` attribute.\n"
    "Return an empty list when no more data is available.\n";

const char curs_scroll_doc[] =
    "scroll(value, mode='relative') -- Scroll to new position according to mode.";

PyObject* curs_fetchone(PyObject* self, PyObject*)
{
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    if (check_no_result(curs) < 0) return nullptr;

    if (curs->name) {
        if (check_named(curs, "fetchone cannot be used while an asynchronous query is underway",
                        "fetchone") < 0)
            return nullptr;
        if (curs_named_command(curs, curs->withhold, "FETCH FORWARD 1 FROM %s",
                               curs->quoted_name) < 0)
            return nullptr;
        if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    }

    if (curs->rownumber >= curs->rowcount) Py_RETURN_NONE;
    PyObject* row = _tolvar_curs_buildrow(curs, curs->rownumber);
    curs->rownumber++;
    apply_release_rule(curs);
    return row;
}

PyObject* curs_fetchmany(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"size", nullptr};
    cursorObject* curs = as_cursor(self);
    int64_t size = curs->arraysize;
    PyObject* size_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kwlist), &size_obj))
        return nullptr;
    if (size_obj && size_obj != Py_None) {
        const long long value = PyLong_AsLongLong(size_obj);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        size = value;
    }

    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    if (check_no_result(curs) < 0) return nullptr;

    if (curs->name) {
        if (check_named(curs, "fetchmany cannot be used while an asynchronous query is underway",
                        "fetchmany") < 0)
            return nullptr;
        // The full 64-bit size: a value cut to 32 bits would fetch a wrong count.
        if (curs_named_command(curs, curs->withhold, "FETCH FORWARD %lld FROM %s",
                               static_cast<long long>(size), curs->quoted_name) < 0)
            return nullptr;
        if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    }

    int64_t count = curs->rowcount - curs->rownumber;
    if (size >= 0 && size < count) count = size;
    if (count < 1) return PyList_New(0);

    ref rows = ref::steal(build_rows(curs, count));
    if (!rows) return nullptr;
    apply_release_rule(curs);
    return rows.release();
}

PyObject* curs_fetchall(PyObject* self, PyObject*)
{
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    if (check_no_result(curs) < 0) return nullptr;

    if (curs->name) {
        if (check_named(curs, "fetchall cannot be used while an asynchronous query is underway",
                        "fetchall") < 0)
            return nullptr;
        if (curs_named_command(curs, curs->withhold, "FETCH FORWARD ALL FROM %s",
                               curs->quoted_name) < 0)
            return nullptr;
        if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    }

    const int64_t count = curs->rowcount - curs->rownumber;
    if (count < 1) return PyList_New(0);

    ref rows = ref::steal(build_rows(curs, count));
    if (!rows) return nullptr;
    apply_release_rule(curs);
    return rows.release();
}

PyObject* curs_scroll(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"value", "mode", nullptr};
    int value = 0;
    const char* mode = "relative";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|s", const_cast<char**>(kwlist), &value,
                                     &mode))
        return nullptr;
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;

    if (!curs->name) {
        // 64-bit arithmetic: the destination cannot overflow.
        int64_t dest;
        if (std::strcmp(mode, "relative") == 0) {
            dest = curs->rownumber + value;
        } else if (std::strcmp(mode, "absolute") == 0) {
            dest = value;
        } else {
            raise_with_cursor(ProgrammingError, curs,
                              "scroll mode must be 'relative' or 'absolute'");
            return nullptr;
        }
        if (dest < 0 || dest >= curs->rowcount) {
            raise_with_cursor(ProgrammingError, curs, "scroll destination out of bounds");
            return nullptr;
        }
        curs->rownumber = dest;
        Py_RETURN_NONE;
    }

    if (check_named(curs, "scroll cannot be used while an asynchronous query is underway",
                    "scroll") < 0)
        return nullptr;
    const int rc = std::strcmp(mode, "absolute") == 0
                       ? curs_named_command(curs, curs->withhold, "MOVE ABSOLUTE %d FROM %s",
                                            value, curs->quoted_name)
                       : curs_named_command(curs, curs->withhold, "MOVE %d FROM %s", value,
                                            curs->quoted_name);
    if (rc < 0 || _tolvar_curs_prefetch(curs) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* curs_iter(PyObject* self)
{
    cursorObject* curs = as_cursor(self);
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    return Py_NewRef(self);
}

namespace {

PyObject* curs_next_named(cursorObject* curs)
{
    if (curs_check_connection(curs) < 0 || curs_check_closed(curs) < 0) return nullptr;
    if (curs_check_busy(curs, "next cannot be used while an asynchronous query is underway") < 0)
        return nullptr;
    if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    if (curs_check_stale(curs) < 0 || curs_check_prepared(curs, "next") < 0) return nullptr;

    debug_trace("curs_next_named: rownumber = %lld, rowcount = %lld\n",
                static_cast<long long>(curs->rownumber), static_cast<long long>(curs->rowcount));
    if (curs->rownumber >= curs->rowcount) {
        // FETCH FORWARD 0 re-reads the current row and a negative count
        // goes backwards: either would make the iteration loop forever.
        if (curs->itersize < 1) {
            PyErr_SetString(PyExc_ValueError, "itersize must be a positive number of rows");
            return nullptr;
        }
        if (curs_named_command(curs, curs->withhold, "FETCH FORWARD %lld FROM %s",
                               static_cast<long long>(curs->itersize), curs->quoted_name) < 0)
            return nullptr;
        if (_tolvar_curs_prefetch(curs) < 0) return nullptr;
    }
    if (curs->rownumber >= curs->rowcount) return nullptr;  // an empty batch: the end

    PyObject* row = _tolvar_curs_buildrow(curs, curs->rownumber);
    curs->rownumber++;
    apply_release_rule(curs);
    return row;
}

}  // namespace

PyObject* curs_iternext(PyObject* self)
{
    cursorObject* curs = as_cursor(self);
    if (curs->name) return curs_next_named(curs);
    ref row = ref::steal(curs_fetchone(self, nullptr));
    if (row.get() == Py_None) return nullptr;  // the end, without an exception
    return row.release();
}
