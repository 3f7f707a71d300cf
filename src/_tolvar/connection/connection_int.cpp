// Connection internals used by the server-communication and error layers.
#include "connection/connection.hpp"

void conn_set_error_text(connectionObject* conn, const char* msg)
{
    // Runs with the interpreter released: system allocator only.
    std::free(conn->error_text);
    conn->error_text = (msg && *msg) ? strdup(msg) : nullptr;
}
