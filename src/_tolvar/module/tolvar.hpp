// Module-wide declarations: owned references, scoped guards, the trace
// facility, the process-wide objects and the exception slots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <libpq-fe.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#define TOLVAR_VERSION "2.9.13 (dt dec pq3 ext lo64)"

#if defined(__GNUC__)
#define TV_EXPORT extern "C" __attribute__((visibility("default")))
#define TV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TV_EXPORT extern "C"
#define TV_PRINTF(f, a)
#endif

// Method-table entries for functions taking keywords (or other signatures).
#define TV_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// ---------------------------------------------------------------------------
// Tracing

extern int tolvar_debug_enabled;
void debug_write(const char* fmt, ...) TV_PRINTF(1, 2);

// A macro so that, with tracing off, the arguments are never evaluated.
#define debug_trace(...)                                                      \
    do {                                                                      \
        if (tolvar_debug_enabled) debug_write(__VA_ARGS__);                   \
    } while (0)

namespace tv {

// ---------------------------------------------------------------------------
// An owned reference to a Python object.

class ref {
public:
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    ~ref() { Py_XDECREF(p_); }

    // Take over a reference the caller owns (a new reference, or null).
    static ref steal(PyObject* p) noexcept { ref r; r.p_ = p; return r; }
    // Take a new reference to a borrowed object.
    static ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    ref(const ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    ref(ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref& operator=(ref o) noexcept { std::swap(p_, o.p_); return *this; }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    // A new reference for the caller, leaving this one intact.
    PyObject* new_ref() const noexcept { Py_XINCREF(p_); return p_; }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_; p_ = stolen; Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Replace a struct slot holding an owned reference (the Py_SETREF idiom,
// usable with any pointer type that begins with a PyObject header).
template <class T>
inline void set_slot(T*& slot, PyObject* stolen) noexcept {
    T* old = slot;
    slot = reinterpret_cast<T*>(stolen);
    Py_XDECREF(reinterpret_cast<PyObject*>(old));
}
template <class T>
inline void clear_slot(T*& slot) noexcept { set_slot(slot, nullptr); }

// ---------------------------------------------------------------------------
// Scoped guards.

// Releases the interpreter for the lifetime of the object; can re-attach
// temporarily (reacquire/release) while a native lock is held.
class without_gil {
public:
    without_gil() noexcept : state_(PyEval_SaveThread()) {}
    ~without_gil() { if (state_) PyEval_RestoreThread(state_); }
    without_gil(const without_gil&) = delete;
    without_gil& operator=(const without_gil&) = delete;

    void reacquire() noexcept { if (state_) { PyEval_RestoreThread(state_); state_ = nullptr; } }
    void release() noexcept { if (!state_) state_ = PyEval_SaveThread(); }
    bool released() const noexcept { return state_ != nullptr; }

private:
    PyThreadState* state_;
};

// Holds a connection's mutex. Only ever constructed while a without_gil
// guard is alive, which is what keeps the lock order right.
class mutex_guard {
public:
    explicit mutex_guard(pthread_mutex_t& m) noexcept : m_(&m) { pthread_mutex_lock(m_); }
    ~mutex_guard() { unlock(); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;
    void unlock() noexcept { if (m_) { pthread_mutex_unlock(m_); m_ = nullptr; } }

private:
    pthread_mutex_t* m_;
};

// Holds the cyclic collector off while a batch of rows is built. The rows
// and their values form no cycles, yet each container allocated would count
// towards the next collection, and collections over a growing result cost
// more than building it. Whatever was allocated is examined at the next
// collection once the guard is gone.
class gc_pause {
public:
    gc_pause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~gc_pause() { if (was_enabled_) PyGC_Enable(); }
    gc_pause(const gc_pause&) = delete;
    gc_pause& operator=(const gc_pause&) = delete;

private:
    int was_enabled_;
};

// ---------------------------------------------------------------------------
// libpq-owned memory.

struct pgresult_deleter { void operator()(PGresult* r) const noexcept { PQclear(r); } };
struct pqmem_deleter { void operator()(void* p) const noexcept { PQfreemem(p); } };
struct conninfo_deleter {
    void operator()(PQconninfoOption* o) const noexcept { PQconninfoFree(o); }
};
struct pymem_deleter { void operator()(void* p) const noexcept { PyMem_Free(p); } };

using pgresult_ptr = std::unique_ptr<PGresult, pgresult_deleter>;
using pqmem_ptr = std::unique_ptr<char, pqmem_deleter>;
using conninfo_ptr = std::unique_ptr<PQconninfoOption, conninfo_deleter>;
using pymem_ptr = std::unique_ptr<char, pymem_deleter>;

}  // namespace tv

// ---------------------------------------------------------------------------
// Process-wide objects (created at initialisation, never freed).

extern PyObject* null_literal;         // b"NULL"
extern PyObject* tolvar_encodings;     // the "encodings" dict
extern PyObject* sqlstate_errors;      // the "sqlstate_errors" dict
extern void* datetime_capi_ptr;        // contents of "datetime.datetime_CAPI"

// Exception classes, one slot per base row.
extern PyObject* Error;
extern PyObject* Warning;
extern PyObject* InterfaceError;
extern PyObject* DatabaseError;
extern PyObject* InternalError;
extern PyObject* OperationalError;
extern PyObject* ProgrammingError;
extern PyObject* IntegrityError;
extern PyObject* DataError;
extern PyObject* NotSupportedError;
extern PyObject* QueryCanceledError;
extern PyObject* TransactionRollbackError;

// Types readied by module initialisation.
extern PyTypeObject errorType;
extern PyTypeObject diagnosticsType;

struct connectionObject;
struct cursorObject;

// ---------------------------------------------------------------------------
// String, text and connection-string helpers.

char* escape_string_literal(connectionObject* conn, const char* text, Py_ssize_t len,
                            char* buffer, Py_ssize_t* out_len);
char* escape_identifier(connectionObject* conn, const char* text, Py_ssize_t len);
int copy_string(char** dest, const char* text, Py_ssize_t len);
PyObject* as_utf8_bytes(PyObject* obj);
PyObject* decode_utf8_replace(PyObject* obj);
int tolvar_is_text_file(PyObject* f);
PyObject* dict_from_conninfo_options(PQconninfoOption* options, bool include_password);
PyObject* call_make_dsn(PyObject* dsn, PyObject* kwargs);
PyObject* chars_to_text(const char* text, Py_ssize_t len, PyObject* decoder);
PyObject* raise_with_cursor(PyObject* exc_class, cursorObject* curs, const char* msg);
PyObject* get_decimal_type();
PyObject* weakref_target(PyObject* ref);
char* quoted_column_list(cursorObject* curs, PyObject* columns);

// ---------------------------------------------------------------------------
// Encodings and text conversions.

using fast_decoder_fn = PyObject* (*)(const char*, Py_ssize_t, const char*);

int clear_encoding_name(const char* name, char** out);
PyObject* codec_for_pg_encoding(const char* name, char** out);
int conn_apply_encoding(connectionObject* conn, const char* name);
PyObject* conn_encode_text(connectionObject* conn, PyObject* text);
PyObject* conn_decode_text(connectionObject* conn, const char* text, Py_ssize_t len);
PyObject* conn_decode_message(connectionObject* conn, const char* text);
int encodings_init(PyObject* module);

// ---------------------------------------------------------------------------
// Errors.

PyObject* base_exception_for_sqlstate(const char* code);
PyObject* exception_for_sqlstate(const char* code);
void pq_raise(connectionObject* conn, cursorObject* curs, PGresult** pgres_holder);
void pq_complete_error(connectionObject* conn);
int basic_exceptions_init(PyObject* module);
int sqlstate_errors_init(PyObject* module);
int error_type_setup();
int diagnostics_type_setup();

TV_EXPORT PyObject* error_setstate(PyObject* self, PyObject* state);

// ---------------------------------------------------------------------------
// Module-level functions (the method table lives in module.cpp).

PyObject* tolvar_connect(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tolvar_quote_ident(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tolvar_parse_dsn(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tolvar_libpq_version(PyObject* self, PyObject* noargs);
PyObject* tolvar_encrypt_password(PyObject* self, PyObject* args, PyObject* kwargs);
