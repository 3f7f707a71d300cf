// The server-communication layer: every exchange with libpq on behalf of
// connections and cursors.
#pragma once

#include "cursor/cursor.hpp"

// The `_locked` routines expect `lock` held and the interpreter released;
// they re-attach through the guard when they must touch Python objects and
// never raise: failures are left in conn->pgres or conn->error_text for
// pq_complete_error once the lock is released.
int pq_execute_command_locked(connectionObject* conn, const char* query, tv::without_gil& gil);
int pq_begin_locked(connectionObject* conn, tv::without_gil& gil);
int pq_abort_locked(connectionObject* conn, tv::without_gil& gil);
int pq_reset_locked(connectionObject* conn, tv::without_gil& gil);
int pq_set_guc_locked(connectionObject* conn, const char* name, const char* value,
                      tv::without_gil& gil);
int pq_tpc_command_locked(connectionObject* conn, const char* cmd, const char* tid,
                          tv::without_gil& gil);

int pq_commit(connectionObject* conn);
int pq_abort(connectionObject* conn);
int pq_reset(connectionObject* conn);
int pq_set_non_blocking(connectionObject* conn, int flag);
int pq_get_result_async(connectionObject* conn);
void pq_clear_async(connectionObject* conn);

// Queries.
int pq_execute(cursorObject* curs, const char* query, int async, int no_result, int no_begin);
TV_EXPORT int _pq_execute_sync(cursorObject* curs, const char* query, int no_result,
                               int no_begin);
TV_EXPORT int _pq_execute_async(cursorObject* curs, const char* query);
TV_EXPORT int64_t _read_rowcount(cursorObject* curs);
int pq_send_query(connectionObject* conn, const char* query);
int pq_fetch(cursorObject* curs, int no_result);
