// Connecting and the session set-up that follows.
#include "connection/connection.hpp"
#include "pq/pqpath.hpp"

using tv::ref;

int server_needs_e_quotes(PGconn* pgconn)
{
    const char* scs = PQparameterStatus(pgconn, "standard_conforming_strings");
    return (scs && std::strcmp(scs, "off") == 0) ? 1 : 0;
}

char* mask_dsn_password(const char* dsn)
{
    if (!dsn) {
        PyErr_SetString(InternalError, "unexpected null string");
        return nullptr;
    }
    tv::conninfo_ptr options(PQconninfoParse(dsn, nullptr));
    if (!options) {
        PyErr_SetString(InternalError, "the connection string is not valid");
        return nullptr;
    }
    ref dict = ref::steal(dict_from_conninfo_options(options.get(), true));
    if (!dict) return nullptr;

    char* out = nullptr;
    if (!PyDict_GetItemString(dict.get(), "password")) {
        if (copy_string(&out, dsn, -1) < 0) return nullptr;
    } else {
        ref mask = ref::steal(PyUnicode_FromString("xxx"));
        if (!mask || PyDict_SetItemString(dict.get(), "password", mask.get()) < 0) return nullptr;
        ref rebuilt = ref::steal(as_utf8_bytes(call_make_dsn(Py_None, dict.get())));
        if (!rebuilt) return nullptr;
        if (copy_string(&out, PyBytes_AS_STRING(rebuilt.get()), -1) < 0) return nullptr;
    }
    // The record keeps its texts with the raw allocator: copy across.
    char* raw = static_cast<char*>(PyMem_RawMalloc(std::strlen(out) + 1));
    if (raw) std::strcpy(raw, out);
    else PyErr_NoMemory();
    PyMem_Free(out);
    return raw;
}

namespace {

int connect_async_start(connectionObject* conn, const char* dsn)
{
    conn->pgconn = PQconnectStart(dsn);
    if (!conn->pgconn) {
        PyErr_SetString(OperationalError, "PQconnectStart() failed");
        return -1;
    }
    if (PQstatus(conn->pgconn) == CONNECTION_BAD) {
        PyErr_SetString(OperationalError, PQerrorMessage(conn->pgconn));
        return -1;
    }
    PQsetNoticeProcessor(conn->pgconn, conn_notice_callback, conn);
    if (pq_set_non_blocking(conn, 1) != 0) return -1;
    return 0;
}

int connect_sync(connectionObject* conn, const char* dsn)
{
    PGconn* pgconn;
    {
        tv::without_gil gil;
        pgconn = PQconnectdb(dsn);
    }
    conn->pgconn = pgconn;
    debug_trace("conn_connect: new PG connection at %p\n", static_cast<void*>(pgconn));
    if (!pgconn) {
        PyErr_SetString(OperationalError, "PQconnectdb() failed");
        return -1;
    }
    if (PQstatus(pgconn) == CONNECTION_BAD) {
        PyErr_SetString(OperationalError, PQerrorMessage(pgconn));
        return -1;
    }
    PQsetNoticeProcessor(pgconn, conn_notice_callback, conn);
    conn->status = CONN_STATUS_READY;
    return conn_setup_session(conn);
}

bool is_replication_dsn(const char* dsn)
{
    // A string that no longer parses is treated as an ordinary connection.
    tv::conninfo_ptr options(PQconninfoParse(dsn, nullptr));
    if (!options) return false;
    for (PQconninfoOption* o = options.get(); o->keyword; ++o)
        if (std::strcmp(o->keyword, "replication") == 0 && o->val) return true;
    return false;
}

}  // namespace

int conn_connect(connectionObject* conn, const char* dsn, int64_t async)
{
    int rv = async == 1 ? connect_async_start(conn, dsn) : connect_sync(conn, dsn);
    if (rv < 0) conn->closed = 2;
    return rv;
}

int conn_setup_session(connectionObject* conn)
{
    conn->needs_e_quotes = server_needs_e_quotes(conn->pgconn);
    conn->server_version = PQserverVersion(conn->pgconn);
    conn->protocol_version = PQprotocolVersion(conn->pgconn);
    if (conn->protocol_version != 3) {
        PyErr_SetString(InterfaceError, "only protocol 3 supported");
        return -1;
    }
    const char* encoding = PQparameterStatus(conn->pgconn, "client_encoding");
    if (!encoding) {
        PyErr_SetString(OperationalError, "server didn't return client encoding");
        return -1;
    }
    if (conn_apply_encoding(conn, encoding) < 0) return -1;

    if (conn->cancel) PQfreeCancel(conn->cancel);
    conn->cancel = PQgetCancel(conn->pgconn);
    if (!conn->cancel) {
        PyErr_SetString(OperationalError, "can't get cancellation key");
        return -1;
    }

    int rv = 0;
    {
        tv::without_gil gil;
        tv::mutex_guard guard(conn->lock);
        gil.reacquire();
        if (!is_replication_dsn(conn->dsn)) {
            const char* ds = PQparameterStatus(conn->pgconn, "DateStyle");
            debug_trace("conn_setup_session: DateStyle %s\n", ds ? ds : "(null)");
            if (!ds || std::strncmp(ds, "ISO", 3) != 0) {
                gil.release();
                rv = pq_set_guc_locked(conn, "datestyle", "ISO", gil);
                gil.reacquire();
            }
        }
        if (rv == 0) {
            conn->autocommit = 0;
            conn->isolevel = ISOLATION_LEVEL_DEFAULT;
            conn->readonly = STATE_DEFAULT;
            conn->deferrable = STATE_DEFAULT;
        }
        gil.release();
    }
    // Raised only once the lock is released.
    if (rv < 0) pq_complete_error(conn);
    return rv;
}
