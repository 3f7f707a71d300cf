// Binary: bytes, bytearray, memoryview and other buffers as bytea literals.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

binaryObject* as_binary(PyObject* o) noexcept { return reinterpret_cast<binaryObject*>(o); }

// Releases a buffer view on every way out.
struct view_guard {
    Py_buffer view{};
    bool held = false;
    ~view_guard() { if (held) PyBuffer_Release(&view); }
};

// Whether libpq, escaping without a connection, doubles backslashes (it
// follows the setting of the last connection it saw, off before any).
// Asked on each use because that default moves with every new connection.
int libpq_default_doubles_backslashes()
{
    static const unsigned char backslash = '\\';
    size_t n = 0;
    tv::pqmem_ptr probe(reinterpret_cast<char*>(PQescapeBytea(&backslash, 1, &n)));
    if (!probe) {
        PyErr_NoMemory();
        return -1;
    }
    return n - 1 > 2 ? 1 : 0;  // "\\\\" doubled, "\\" plain (n counts the zero)
}

// The literal [E]'escaped'::bytea of `len` bytes at `data`.
PyObject* binary_escape(binaryObject* self, const unsigned char* data, Py_ssize_t len)
{
    PGconn* pgconn = self->conn ? self->conn->pgconn : nullptr;
    size_t n = 0;
    tv::pqmem_ptr escaped(reinterpret_cast<char*>(
        pgconn ? PQescapeByteaConn(pgconn, data, static_cast<size_t>(len), &n)
               : PQescapeBytea(data, static_cast<size_t>(len), &n)));
    if (!escaped) return PyErr_NoMemory();
    const size_t elen = n > 0 ? n - 1 : 0;  // n counts the terminating zero

    bool eflag = false;
    if (pgconn) {
        // standard_conforming_strings can change during the session: libpq
        // escapes by what the server reports now, so the prefix must too.
        self->conn->needs_e_quotes = server_needs_e_quotes(pgconn);
        eflag = self->conn->needs_e_quotes != 0;
    } else {
        // Escaped with libpq's default (no connection, or a closed one): the
        // prefix must match it, or doubled backslashes would become data.
        if (std::memchr(escaped.get(), '\\', elen)) {
            const int doubled = libpq_default_doubles_backslashes();
            if (doubled < 0) return nullptr;
            eflag = doubled != 0;
        }
    }

    static constexpr char cast[] = "'::bytea";
    constexpr size_t cast_len = sizeof(cast) - 1;
    const size_t total = (eflag ? 1 : 0) + 1 + elen + cast_len;
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    if (eflag) *p++ = 'E';
    *p++ = '\'';
    std::memcpy(p, escaped.get(), elen);
    std::memcpy(p + elen, cast, cast_len);
    return out;
}

PyObject* binary_quote(binaryObject* self)
{
    PyObject* adapted = self->adapted;
    if (!adapted || adapted == Py_None) return Py_NewRef(null_literal);
    if (PyObject_CheckBuffer(adapted)) {
        view_guard g;
        if (PyObject_GetBuffer(adapted, &g.view, PyBUF_CONTIG_RO) < 0) return nullptr;
        g.held = true;
        if (g.view.buf)
            return binary_escape(self, static_cast<const unsigned char*>(g.view.buf), g.view.len);
    }
    PyErr_Format(PyExc_TypeError, "can't escape %s to binary", Py_TYPE(adapted)->tp_name);
    return nullptr;
}

PyObject* binary_getquoted(PyObject* o, PyObject*)
{
    binaryObject* self = as_binary(o);
    // The first literal is kept: later calls return it unchanged.
    if (!self->buffer) {
        PyObject* literal = binary_quote(self);
        if (!literal) return nullptr;
        self->buffer = literal;
    }
    return Py_NewRef(self->buffer);
}

PyObject* binary_prepare(PyObject* o, PyObject* args)
{
    PyObject* conn = nullptr;
    if (!PyArg_ParseTuple(args, "O!", &connectionType, &conn)) return nullptr;
    tv::set_slot(as_binary(o)->conn, Py_NewRef(conn));
    Py_RETURN_NONE;
}

void binary_dealloc(PyObject* o)
{
    binaryObject* self = as_binary(o);
    Py_CLEAR(self->adapted);
    Py_CLEAR(self->buffer);
    tv::clear_slot(self->conn);
    Py_TYPE(o)->tp_free(o);
}

PyMethodDef binary_methods[] = {
    {"getquoted", binary_getquoted, METH_NOARGS,
     "getquoted() -> wrapped object value as SQL-quoted binary string"},
    {"prepare", binary_prepare, METH_VARARGS,
     "prepare(conn) -> prepare for binary encoding using conn"},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(binary_methods) == 3 + 1);

PyMemberDef binary_members[] = {
    {"adapted", T_OBJECT, offsetof(binaryObject, adapted), READONLY, nullptr},
    {"buffer", T_OBJECT, offsetof(binaryObject, buffer), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(binary_members) == 2 + 1);

}  // namespace

// `adapted` leads the record as in the single-value adapters, so their
// constructor, __conform__ and str() serve this type too.
static_assert(offsetof(binaryObject, adapted) == offsetof(adapterObject, adapted));

PyTypeObject binaryType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Binary",
    .tp_basicsize = sizeof(binaryObject),
    .tp_dealloc = binary_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Binary(buffer) -> new binary object",
    .tp_methods = binary_methods,
    .tp_members = binary_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
