// The connection record, shared by every subsystem that talks to a session.
#pragma once

#include "module/tolvar.hpp"

#include <cstdint>

enum conn_status : int {
    CONN_STATUS_SETUP = 0,
    CONN_STATUS_READY = 1,
    CONN_STATUS_BEGIN = 2,
    CONN_STATUS_PREPARED = 5,
    CONN_STATUS_CONNECTING = 20,
    CONN_STATUS_DATESTYLE = 21,
};

enum async_state : int { ASYNC_DONE = 0, ASYNC_READ = 1, ASYNC_WRITE = 2 };
enum poll_result : int { POLL_OK = 0, POLL_READ = 1, POLL_WRITE = 2, POLL_ERROR = 3 };

// Session characteristics: the "default" value leaves the server's own.
enum : int {
    ISOLATION_LEVEL_READ_COMMITTED = 1,
    ISOLATION_LEVEL_REPEATABLE_READ = 2,
    ISOLATION_LEVEL_SERIALIZABLE = 3,
    ISOLATION_LEVEL_READ_UNCOMMITTED = 4,
    ISOLATION_LEVEL_DEFAULT = 5,
};
enum : int { STATE_OFF = 0, STATE_ON = 1, STATE_DEFAULT = 2 };

// Indexed by `isolevel`; "default" makes a SET go back to the server default.
inline constexpr const char* isolation_level_names[] = {
    nullptr, "READ COMMITTED", "REPEATABLE READ", "SERIALIZABLE", "READ UNCOMMITTED", "default",
};
static_assert(sizeof(isolation_level_names) / sizeof(*isolation_level_names) ==
              ISOLATION_LEVEL_DEFAULT + 1);

struct conn_notice {
    conn_notice* next;
    char* message;
};

struct connectionObject {
    PyObject_HEAD
    pthread_mutex_t lock;
    char* dsn;
    char* error_text;
    char* encoding;
    int64_t closed;
    int64_t transaction_mark;
    int status;
    PyObject* tpc_xid;
    int64_t async;
    int protocol_version;
    int server_version;
    PGconn* pgconn;
    PGcancel* cancel;
    PyObject* async_cursor;
    int async_status;
    PGresult* pgres;
    PyObject* notices;
    conn_notice* notice_pending;
    conn_notice* last_notice;
    PyObject* notifies;
    PyObject* string_types;
    PyObject* binary_types;
    int needs_e_quotes;
    PyObject* weakreflist;
    int autocommit;
    PyObject* cursor_factory;
    fast_decoder_fn fast_decoder;
    PyObject* codec_encoder;
    PyObject* codec_decoder;
    int isolevel;
    int readonly;
    int deferrable;
    pid_t owner_pid;
    int entered;
    bool lock_ready;  // whether `lock` was initialised, so dealloc can destroy it
};

extern PyTypeObject connectionType;

void conn_set_error_text(connectionObject* conn, const char* msg);

// Misuse checks shared by the connection's methods: false with the
// exception set.
inline bool conn_check_open(connectionObject* c)
{
    if (c->closed > 0) {
        PyErr_SetString(InterfaceError, "connection already closed");
        return false;
    }
    return true;
}

inline bool conn_check_not_async(connectionObject* c, const char* cmd)
{
    if (c->async == 1) {
        PyErr_Format(ProgrammingError, "%s cannot be used in asynchronous mode", cmd);
        return false;
    }
    return true;
}

inline bool conn_check_not_prepared(connectionObject* c, const char* cmd)
{
    if (c->status == CONN_STATUS_PREPARED) {
        PyErr_Format(ProgrammingError, "%s cannot be used with a prepared two-phase transaction",
                     cmd);
        return false;
    }
    return true;
}

// Connection internals.
void conn_set_result(connectionObject* conn, PGresult* res);
void conn_close(connectionObject* conn);
void conn_close_locked(connectionObject* conn);
int conn_connect(connectionObject* conn, const char* dsn, int64_t async);
int conn_setup_session(connectionObject* conn);
char* mask_dsn_password(const char* dsn);
int server_needs_e_quotes(PGconn* pgconn);

// Notices and notifications collected during libpq calls.
void conn_notice_callback(void* conn, const char* message);
void conn_notice_process(connectionObject* conn);
void conn_notice_discard(connectionObject* conn);
void conn_notifies_process(connectionObject* conn);

int connection_type_setup();
extern PyTypeObject connectionInfoType;
extern PyTypeObject notifyType;
