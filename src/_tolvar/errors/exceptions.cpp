// The exception hierarchy, the SQLSTATE classes, and raising an exception
// from a failed libpq operation.
#include "connection/connection.hpp"
#include "cursor/cursor.hpp"
#include "errors/error.hpp"
#include "errors/sqlstate_table.hpp"

#include <iterator>

using tv::ref;

PyObject* Error = nullptr;
PyObject* Warning = nullptr;
PyObject* InterfaceError = nullptr;
PyObject* DatabaseError = nullptr;
PyObject* InternalError = nullptr;
PyObject* OperationalError = nullptr;
PyObject* ProgrammingError = nullptr;
PyObject* IntegrityError = nullptr;
PyObject* DataError = nullptr;
PyObject* NotSupportedError = nullptr;
PyObject* QueryCanceledError = nullptr;
PyObject* TransactionRollbackError = nullptr;
PyObject* sqlstate_errors = nullptr;

static_assert(std::size(sqlstate_table) == sqlstate_table_size);
static_assert(sqlstate_table_size == 254);

namespace {

struct exception_row {
    const char* qualname;
    PyObject** slot;
    PyObject** base;  // null: Exception
    const char* doc;
};

constexpr exception_row exception_table[] = {
    {"tolvar2.Error", &Error, nullptr, "Base class for error exceptions."},
    {"tolvar2.Warning", &Warning, nullptr, "A database warning."},
    {"tolvar2.InterfaceError", &InterfaceError, &Error,
     "Error related to the database interface."},
    {"tolvar2.DatabaseError", &DatabaseError, &Error, "Error related to the database engine."},
    {"tolvar2.InternalError", &InternalError, &DatabaseError,
     "The database encountered an internal error."},
    {"tolvar2.OperationalError", &OperationalError, &DatabaseError,
     "Error related to database operation (disconnect, memory allocation etc)."},
    {"tolvar2.ProgrammingError", &ProgrammingError, &DatabaseError,
     "Error related to database programming (SQL error, table not found etc)."},
    {"tolvar2.IntegrityError", &IntegrityError, &DatabaseError,
     "Error related to database integrity."},
    {"tolvar2.DataError", &DataError, &DatabaseError,
     "Error related to problems with the processed data."},
    {"tolvar2.NotSupportedError", &NotSupportedError, &DatabaseError,
     "A method or database API was used which is not supported by the database."},
    {"tolvar2.extensions.QueryCanceledError", &QueryCanceledError, &OperationalError,
     "Error related to SQL query cancellation."},
    {"tolvar2.extensions.TransactionRollbackError", &TransactionRollbackError,
     &OperationalError,
     "Error causing transaction rollback (deadlocks, serialization failures, etc)."},
};
static_assert(std::size(exception_table) == 12);

const char* public_name(const char* qualname)
{
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
}

// Imports tolvar2.errors if it can; a missing module is not an error.
ref import_errors_module()
{
    ref mod = ref::steal(PyImport_ImportModule("tolvar2.errors"));
    if (!mod) PyErr_Clear();
    return mod;
}

// Readable name of a connection status, for the no-message error.
const char* conn_status_name(ConnStatusType st)
{
    switch (st) {
    case CONNECTION_OK: return "CONNECTION_OK";
    case CONNECTION_BAD: return "CONNECTION_BAD";
    default: return "CONNECTION_IN_PROGRESS";
    }
}

}  // namespace

int basic_exceptions_init(PyObject* module)
{
    Error = reinterpret_cast<PyObject*>(&errorType);
    for (size_t i = 1; i < std::size(exception_table); ++i) {
        const auto& row = exception_table[i];
        ref dict = ref::steal(PyDict_New());
        if (!dict) return -1;
        ref doc = ref::steal(PyUnicode_FromString(row.doc));
        if (!doc || PyDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0) return -1;
        PyObject* base = row.base ? *row.base : PyExc_Exception;
        PyObject* cls = PyErr_NewException(row.qualname, base, dict.get());
        if (!cls) return -1;
        *row.slot = cls;
    }
    ref errors_mod = import_errors_module();
    for (const auto& row : exception_table) {
        const char* name = public_name(row.qualname);
        if (PyModule_AddObjectRef(module, name, *row.slot) < 0) return -1;
        if (errors_mod && PyModule_AddObjectRef(errors_mod.get(), name, *row.slot) < 0)
            return -1;
    }
    return 0;
}

PyObject* base_exception_for_sqlstate(const char* code)
{
    const char c0 = code[0], c1 = c0 ? code[1] : '\0';
    switch (c0) {
    case '0':
        if (c1 == '8') return OperationalError;
        if (c1 == 'A') return NotSupportedError;
        return DatabaseError;
    case '2':
        switch (c1) {
        case '0': case '1': return ProgrammingError;
        case '2': return DataError;
        case '3': return IntegrityError;
        case '4': case '5': case 'B': case 'D': case 'F': return InternalError;
        case '6': case '7': case '8': return OperationalError;
        default: return DatabaseError;
        }
    case '3':
        switch (c1) {
        case '4': return OperationalError;
        case '8': case '9': case 'B': return InternalError;
        case 'D': case 'F': return ProgrammingError;
        default: return DatabaseError;
        }
    case '4':
        if (c1 == '0') return TransactionRollbackError;
        if (c1 == '2' || c1 == '4') return ProgrammingError;
        return DatabaseError;
    case '5':
        if (std::strcmp(code, "57014") == 0) return QueryCanceledError;
        return OperationalError;
    case 'F': case 'P': case 'X': return InternalError;
    case 'H': return OperationalError;
    default: return DatabaseError;
    }
}

PyObject* exception_for_sqlstate(const char* code)
{
    if (sqlstate_errors) {
        PyObject* cls = PyDict_GetItemString(sqlstate_errors, code);
        if (cls) return cls;
    }
    PyErr_Clear();
    return base_exception_for_sqlstate(code);
}

int sqlstate_errors_init(PyObject* module)
{
    if (sqlstate_errors) return 0;
    ref errors_mod = import_errors_module();
    ref dict = ref::steal(PyDict_New());
    if (!dict) return -1;
    if (PyModule_AddObjectRef(module, "sqlstate_errors", dict.get()) < 0) return -1;
    sqlstate_errors = dict.release();

    static constexpr char prefix[] = "tolvar2.errors.";
    for (const auto& row : sqlstate_table) {
        char qualname[120];
        if (sizeof(prefix) + std::strlen(row.name) > sizeof(qualname)) {
            PyErr_SetString(PyExc_SystemError, "sqlstate_errors_init(): buffer too small");
            return -1;
        }
        std::snprintf(qualname, sizeof(qualname), "%s%s", prefix, row.name);
        ref cls = ref::steal(
            PyErr_NewException(qualname, base_exception_for_sqlstate(row.code), nullptr));
        if (!cls) return -1;
        if (PyDict_SetItemString(sqlstate_errors, row.code, cls.get()) < 0) return -1;
        if (errors_mod && PyModule_AddObjectRef(errors_mod.get(), row.name, cls.get()) < 0)
            return -1;
    }
    return 0;
}

void pq_raise(connectionObject* conn, cursorObject* curs, PGresult** pgres_holder)
{
    if (!conn) {
        PyErr_SetString(DatabaseError, "tolvar went psychotic and raised a null error");
        return;
    }
    PyObject* exc_class = nullptr;
    if (conn->pgconn && PQstatus(conn->pgconn) == CONNECTION_BAD) {
        conn->closed = 2;
        exc_class = OperationalError;
    }
    if (!pgres_holder && curs) pgres_holder = &curs->pgres;

    const char* err = nullptr;
    const char* code = nullptr;
    PGresult* res = pgres_holder ? *pgres_holder : nullptr;
    if (res && (err = PQresultErrorMessage(res)) != nullptr) {
        code = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        if (!*err) {
            PyErr_Format(DatabaseError, "error with status %s and no message from the libpq",
                         PQresStatus(PQresultStatus(res)));
            return;
        }
        if (code) exc_class = exception_for_sqlstate(code);
        else if (!exc_class) exc_class = DatabaseError;
    } else {
        err = conn->pgconn ? PQerrorMessage(conn->pgconn) : nullptr;
        if (!err || !*err) {
            PyErr_Format(DatabaseError, "error with status %s and no message from the libpq",
                         conn_status_name(conn->pgconn ? PQstatus(conn->pgconn)
                                                       : CONNECTION_BAD));
            return;
        }
        if (!exc_class) exc_class = DatabaseError;
    }

    // The exception's message drops the severity; pgerror keeps it.
    const char* msg = err;
    if (std::strlen(err) > 8 && (std::strncmp(err, "ERROR:  ", 8) == 0 ||
                                 std::strncmp(err, "FATAL:  ", 8) == 0 ||
                                 std::strncmp(err, "PANIC:  ", 8) == 0))
        msg = err + 8;

    ref pgerror = ref::steal(conn_decode_message(conn, err));
    if (!pgerror) PyErr_Print();
    ref pgcode = ref::steal(conn_decode_message(conn, code));
    if (!pgcode) PyErr_Print();

    PyObject* exc = raise_with_cursor(exc_class, curs, msg);
    if (exc && PyObject_TypeCheck(exc, &errorType)) {
        auto* e = reinterpret_cast<errorObject*>(exc);
        tv::set_slot(e->codec_decoder, Py_XNewRef(conn->codec_decoder));
        tv::set_slot(e->pgerror, pgerror.release());
        tv::set_slot(e->pgcode, pgcode.release());
        PQclear(e->pgres);
        e->pgres = nullptr;
        if (pgres_holder && *pgres_holder) {
            e->pgres = *pgres_holder;
            *pgres_holder = nullptr;
        }
    }
}

void pq_complete_error(connectionObject* conn)
{
    debug_trace("pq_complete_error: pgconn = %p, pgres = %p, error = %s\n",
                static_cast<void*>(conn->pgconn), static_cast<void*>(conn->pgres),
                conn->error_text ? conn->error_text : "(null)");
    if (conn->pgres) {
        pq_raise(conn, nullptr, &conn->pgres);
    } else {
        if (conn->error_text) PyErr_SetString(OperationalError, conn->error_text);
        else if (!PyErr_Occurred()) PyErr_SetString(OperationalError, "unknown error");
        if (conn->pgconn && PQstatus(conn->pgconn) == CONNECTION_BAD) conn->closed = 2;
    }
    conn_set_error_text(conn, nullptr);
}
