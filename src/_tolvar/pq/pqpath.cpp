// Internal commands, transaction statements, query execution and result
// processing. Everything libpq does here for a synchronous connection runs
// with the interpreter released and the connection's lock held; exceptions
// are raised only once the lock is released again.
#include "pq/pqpath.hpp"
#include "typecast/typecast.hpp"

#include <iterator>

using tv::ref;

namespace {

constexpr const char* readonly_clauses[] = {" READ WRITE", " READ ONLY", ""};
static_assert(std::size(readonly_clauses) == STATE_DEFAULT + 1);

constexpr const char* deferrable_clauses[] = {" NOT DEFERRABLE", " DEFERRABLE", ""};
static_assert(std::size(deferrable_clauses) == STATE_DEFAULT + 1);

// Processes what libpq collected during the last exchange; needs the
// interpreter, so it re-attaches around the work while the lock stays held.
void process_notices_locked(connectionObject* conn, tv::without_gil& gil, bool notices_first)
{
    gil.reacquire();
    if (notices_first) {
        conn_notice_process(conn);
        conn_notifies_process(conn);
    } else {
        conn_notifies_process(conn);
        conn_notice_process(conn);
    }
    gil.release();
}

void mark_broken_if_bad(connectionObject* conn)
{
    if (conn->pgconn && PQstatus(conn->pgconn) == CONNECTION_BAD) conn->closed = 2;
}

void raise_connection_error(connectionObject* conn)
{
    const char* msg = conn->pgconn ? PQerrorMessage(conn->pgconn) : nullptr;
    PyErr_SetString(OperationalError, msg && *msg ? msg : "connection lost");
}

}  // namespace

void conn_set_result(connectionObject* conn, PGresult* res)
{
    PQclear(conn->pgres);
    conn->pgres = res;
}

int pq_execute_command_locked(connectionObject* conn, const char* query, tv::without_gil&)
{
    debug_trace("pq_execute_command_locked: pgconn = %p, query = %s\n",
                static_cast<void*>(conn->pgconn), query);
    conn_set_result(conn, PQexec(conn->pgconn, query));
    if (!conn->pgres) {
        // Touches only C memory: no need to re-attach.
        conn_set_error_text(conn, PQerrorMessage(conn->pgconn));
        return -1;
    }
    if (PQresultStatus(conn->pgres) == PGRES_COMMAND_OK) {
        conn_set_result(conn, nullptr);
        return 0;
    }
    return -1;
}

int pq_begin_locked(connectionObject* conn, tv::without_gil& gil)
{
    if (conn->status != CONN_STATUS_READY) return 0;
    if (conn->autocommit && !conn->entered) return 0;

    char query[256];
    if (conn->isolevel == ISOLATION_LEVEL_DEFAULT && conn->readonly == STATE_DEFAULT &&
        conn->deferrable == STATE_DEFAULT) {
        std::snprintf(query, sizeof(query), "BEGIN");
    } else {
        const bool explicit_level = conn->isolevel >= 1 && conn->isolevel <= 4;
        std::snprintf(query, sizeof(query),
                      conn->server_version >= 80000 ? "BEGIN%s%s%s%s"
                                                    : "BEGIN;SET TRANSACTION%s%s%s%s",
                      explicit_level ? " ISOLATION LEVEL " : "",
                      explicit_level ? isolation_level_names[conn->isolevel] : "",
                      readonly_clauses[conn->readonly], deferrable_clauses[conn->deferrable]);
    }
    if (pq_execute_command_locked(conn, query, gil) < 0) return -1;
    conn->status = CONN_STATUS_BEGIN;
    return 0;
}

int pq_commit(connectionObject* conn)
{
    int rv = 0;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        if (conn->status == CONN_STATUS_BEGIN) {
            conn->transaction_mark++;
            rv = pq_execute_command_locked(conn, "COMMIT", gil);
        }
        process_notices_locked(conn, gil, false);
        // A failed COMMIT still ends the transaction on the server.
        conn->status = CONN_STATUS_READY;
    }
    if (rv < 0) pq_complete_error(conn);
    return rv;
}

int pq_abort_locked(connectionObject* conn, tv::without_gil& gil)
{
    if (conn->status != CONN_STATUS_BEGIN) return 0;
    conn->transaction_mark++;
    if (pq_execute_command_locked(conn, "ROLLBACK", gil) < 0) return -1;
    conn->status = CONN_STATUS_READY;
    return 0;
}

int pq_abort(connectionObject* conn)
{
    int rv;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        rv = pq_abort_locked(conn, gil);
        process_notices_locked(conn, gil, false);
    }
    if (rv < 0) pq_complete_error(conn);
    return rv;
}

int pq_reset_locked(connectionObject* conn, tv::without_gil& gil)
{
    conn->transaction_mark++;
    if (conn->status == CONN_STATUS_BEGIN && pq_execute_command_locked(conn, "ABORT", gil) < 0)
        return -1;
    if (conn->server_version < 80300) {
        if (pq_execute_command_locked(conn, "RESET ALL", gil) < 0) return -1;
        if (pq_execute_command_locked(conn, "SET SESSION AUTHORIZATION DEFAULT", gil) < 0)
            return -1;
    } else if (pq_execute_command_locked(conn, "DISCARD ALL", gil) < 0) {
        return -1;
    }
    conn->status = CONN_STATUS_READY;
    return 0;
}

int pq_reset(connectionObject* conn)
{
    int rv;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        rv = pq_reset_locked(conn, gil);
        process_notices_locked(conn, gil, true);
    }
    if (rv < 0) {
        pq_complete_error(conn);
        return -1;
    }
    tv::clear_slot(conn->tpc_xid);
    return 0;
}

int pq_set_guc_locked(connectionObject* conn, const char* name, const char* value,
                      tv::without_gil& gil)
{
    char query[256];
    int n = std::strcmp(value, "default") == 0
        ? std::snprintf(query, sizeof(query), "SET %s TO DEFAULT", name)
        : std::snprintf(query, sizeof(query), "SET %s TO '%s'", name, value);
    if (n < 0 || n >= static_cast<int>(sizeof(query))) {
        conn_set_error_text(conn, "SET: query too large");
        return -1;
    }
    return pq_execute_command_locked(conn, query, gil);
}

int pq_tpc_command_locked(connectionObject* conn, const char* cmd, const char* tid,
                          tv::without_gil& gil)
{
    conn->transaction_mark++;
    gil.reacquire();
    tv::pymem_ptr literal(escape_string_literal(conn, tid, -1, nullptr, nullptr));
    tv::pymem_ptr query;
    if (literal) {
        const size_t size = std::strlen(cmd) + std::strlen(literal.get()) + 2;
        query.reset(static_cast<char*>(PyMem_Malloc(size)));
        if (query) std::snprintf(query.get(), size, "%s %s", cmd, literal.get());
        else PyErr_NoMemory();
    }
    gil.release();
    if (!query) return -1;
    return pq_execute_command_locked(conn, query.get(), gil);
}

int pq_set_non_blocking(connectionObject* conn, int flag)
{
    if (PQsetnonblocking(conn->pgconn, flag) != 0) {
        PyErr_SetString(OperationalError, "PQsetnonblocking() failed");
        return -1;
    }
    return 0;
}

int pq_get_result_async(connectionObject* conn)
{
    if (PQconsumeInput(conn->pgconn) == 0) {
        mark_broken_if_bad(conn);
        PyErr_SetString(OperationalError, PQerrorMessage(conn->pgconn));
        return -1;
    }
    conn_notifies_process(conn);
    conn_notice_process(conn);
    for (;;) {
        if (PQisBusy(conn->pgconn)) return 1;
        PGresult* res = PQgetResult(conn->pgconn);
        if (!res) return 0;
        // Keep the first error: later results would hide it.
        if (conn->pgres && PQresultStatus(conn->pgres) == PGRES_FATAL_ERROR) PQclear(res);
        else conn_set_result(conn, res);
        switch (PQresultStatus(res)) {
        case PGRES_COPY_OUT: case PGRES_COPY_IN: case PGRES_COPY_BOTH: return 0;
        default: break;
        }
    }
}

void pq_clear_async(connectionObject* conn)
{
    while (PGresult* res = PQgetResult(conn->pgconn)) PQclear(res);
    tv::clear_slot(conn->async_cursor);
}

// ---------------------------------------------------------------------------
// Queries

int pq_execute(cursorObject* curs, const char* query, int async, int no_result, int no_begin)
{
    connectionObject* conn = curs->connection;
    if (!conn->pgconn || PQstatus(conn->pgconn) != CONNECTION_OK) {
        raise_connection_error(conn);
        return -1;
    }
    if (async) return _pq_execute_async(curs, query);
    return _pq_execute_sync(curs, query, no_result, no_begin);
}

TV_EXPORT int _pq_execute_sync(cursorObject* curs, const char* query, int no_result,
                               int no_begin)
{
    connectionObject* conn = curs->connection;
    curs_set_result(curs, nullptr);
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        if (!no_begin && pq_begin_locked(conn, gil) < 0) {
            guard.unlock();
            gil.reacquire();
            pq_complete_error(conn);
            return -1;
        }
        conn_set_result(conn, PQexec(conn->pgconn, query));
        if (!conn->pgres) {
            mark_broken_if_bad(conn);
            guard.unlock();
            gil.reacquire();
            if (!PyErr_Occurred()) raise_connection_error(conn);
            return -1;
        }
        gil.reacquire();
        curs_set_result(curs, conn->pgres);
        conn->pgres = nullptr;
        conn_notifies_process(conn);
        conn_notice_process(conn);
        gil.release();
    }
    return pq_fetch(curs, no_result) < 0 ? -1 : 1;
}

TV_EXPORT int _pq_execute_async(cursorObject* curs, const char* query)
{
    connectionObject* conn = curs->connection;
    curs_set_result(curs, nullptr);
    int async_status;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        if (!PQsendQuery(conn->pgconn, query)) {
            mark_broken_if_bad(conn);
            guard.unlock();
            gil.reacquire();
            raise_connection_error(conn);
            return -1;
        }
        int flushed = PQflush(conn->pgconn);
        if (flushed < 0) {
            guard.unlock();
            gil.reacquire();
            raise_connection_error(conn);
            return -1;
        }
        async_status = flushed == 1 ? ASYNC_WRITE : ASYNC_READ;
    }
    conn->async_status = async_status;
    PyObject* wr = PyWeakref_NewRef(reinterpret_cast<PyObject*>(curs), nullptr);
    if (!wr) return -1;
    tv::set_slot(conn->async_cursor, wr);
    return 0;
}

int pq_send_query(connectionObject* conn, const char* query)
{
    conn_set_result(conn, nullptr);
    return PQsendQuery(conn->pgconn, query) ? 1 : 0;
}

TV_EXPORT int64_t _read_rowcount(cursorObject* curs)
{
    const char* tuples = PQcmdTuples(curs->pgres);
    curs->rowcount = (tuples && *tuples) ? std::atol(tuples) : -1;
    return curs->rowcount;
}

namespace {

PyObject* long_or_null(long v) { return PyLong_FromLong(v); }

int pq_fetch_tuples(cursorObject* curs)
{
    connectionObject* conn = curs->connection;
    tv::without_gil gil;
    tv::mutex_guard guard(conn->lock);
    gil.reacquire();
    // Read only now: while this thread waited for the lock, another one
    // sharing the cursor may have replaced the result.
    PGresult* res = curs->pgres;
    if (!res) {
        gil.release();
        guard.unlock();
        gil.reacquire();
        PyErr_SetString(ProgrammingError, "the cursor result was replaced by another thread");
        return -1;
    }

    const int n = PQnfields(res);
    curs->no_tuples = 0;
    tv::clear_slot(curs->description);
    tv::clear_slot(curs->column_casts);

    ref description = ref::steal(PyTuple_New(n));
    ref casts = ref::steal(PyTuple_New(n));
    bool ok = description && casts;
    if (ok) curs->column_count = n;

    for (int i = 0; ok && i < n; ++i) {
        const Oid ftype = PQftype(res, i);
        const int fsize = PQfsize(res, i);
        const int fmod = PQfmod(res, i);
        const Oid ftable = PQftable(res, i);
        const int ftablecol = PQftablecol(res, i);

        ref column = ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&columnType)));
        ref type_code = ref::steal(PyLong_FromUnsignedLong(ftype));
        ref name = ref::steal(conn_decode_message(conn, PQfname(res, i)));
        if (!column || !type_code || !name) { ok = false; break; }
        auto* col = reinterpret_cast<columnObject*>(column.get());
        tv::set_slot(col->type_code, type_code.new_ref());
        tv::set_slot(col->name, name.release());
        tv::set_slot(col->display_size, Py_NewRef(Py_None));

        const int m = fmod > 0 ? fmod - 4 : fmod;
        if (ftype == 1700) {  // NUMERIC: precision and scale live in the modifier
            if (fsize == -1) tv::set_slot(col->internal_size, long_or_null(m >> 16));
            else tv::set_slot(col->internal_size, long_or_null(fsize));
            tv::set_slot(col->precision,
                         PyLong_FromUnsignedLong((static_cast<uint32_t>(m) >> 16) & 0xFFFFu));
            tv::set_slot(col->scale, long_or_null(m & 0xFFFF));
            if (!col->precision || !col->scale) { ok = false; break; }
        } else {
            tv::set_slot(col->internal_size, long_or_null(fsize != -1 ? fsize : m));
        }
        if (!col->internal_size) { ok = false; break; }
        if (ftable != InvalidOid) {
            tv::set_slot(col->table_oid, PyLong_FromUnsignedLong(ftable));
            if (!col->table_oid) { ok = false; break; }
        }
        if (ftablecol > 0) {
            tv::set_slot(col->table_column, long_or_null(ftablecol));
            if (!col->table_column) { ok = false; break; }
        }
        PyTuple_SET_ITEM(description.get(), i, column.release());

        PyObject* cast = curs_get_cast(curs, type_code.get());
        if (!cast) { ok = false; break; }
        if (cast == bytea_typecaster && PQbinaryTuples(res)) cast = default_typecaster;
        PyTuple_SET_ITEM(casts.get(), i, Py_NewRef(cast));
    }

    if (ok) {
        tv::set_slot(curs->description, description.release());
        tv::set_slot(curs->column_casts, casts.release());
    }
    gil.release();
    guard.unlock();
    gil.reacquire();
    return ok ? 0 : -1;
}

}  // namespace

int pq_fetch(cursorObject* curs, int no_result)
{
    reset_result_state(curs);
    if (!curs->pgres) return 0;
    connectionObject* conn = curs->connection;

    PyObject* status = conn_decode_message(conn, PQcmdStatus(curs->pgres));
    if (!status) return -1;
    tv::set_slot(curs->statusmessage, status);

    const ExecStatusType st = PQresultStatus(curs->pgres);
    debug_trace("pq_fetch: pgstatus = %s\n", PQresStatus(st));
    switch (st) {
    case PGRES_EMPTY_QUERY:
        PyErr_SetString(ProgrammingError, "can't execute an empty query");
        curs_set_result(curs, nullptr);
        return -1;
    case PGRES_COMMAND_OK:
        _read_rowcount(curs);
        curs->lastrowid = PQoidValue(curs->pgres);
        curs_set_result(curs, nullptr);
        return 1;
    case PGRES_TUPLES_OK:
        if (no_result) {
            _read_rowcount(curs);
            curs_set_result(curs, nullptr);
            return 0;
        }
        curs->rowcount = PQntuples(curs->pgres);
        return pq_fetch_tuples(curs) < 0 ? -1 : 0;
    case PGRES_COPY_OUT:
    case PGRES_COPY_IN: {
        // The transfer loops are not available yet: end the COPY cleanly so
        // the connection stays usable, and say so.
        curs->rowcount = -1;
        curs_set_result(curs, nullptr);
        {
            tv::without_gil gil;
            tv::mutex_guard guard(conn->lock);
            if (st == PGRES_COPY_IN) {
                PQputCopyEnd(conn->pgconn, "COPY is not supported by this driver yet");
            } else {
                char* buf = nullptr;
                while (PQgetCopyData(conn->pgconn, &buf, 0) > 0) PQfreemem(buf);
            }
            while (PGresult* r = PQgetResult(conn->pgconn)) PQclear(r);
        }
        PyErr_SetString(ProgrammingError,
                        "COPY statements are not supported by this version of the driver");
        return -1;
    }
    case PGRES_COPY_BOTH:
        curs->rowcount = -1;
        return 0;
    case PGRES_BAD_RESPONSE:
    case PGRES_NONFATAL_ERROR:
    case PGRES_FATAL_ERROR:
        pq_raise(conn, curs, nullptr);
        return -1;
    default:
        PyErr_Format(NotSupportedError, "got server response with unsupported status %s",
                     PQresStatus(st));
        curs_set_result(curs, nullptr);
        return -1;
    }
}
