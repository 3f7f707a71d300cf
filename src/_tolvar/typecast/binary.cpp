// bytea values: decoding of the server's hex and escape output formats into
// a block owned by a `chunk`, handed to Python as a memoryview over it.
#include "typecast/typecast.hpp"

#include <array>
#include <iterator>

using tv::ref;

namespace {

constexpr unsigned char not_hex = 255;

// Indexed by any byte: those outside ASCII are never digits.
constexpr std::array<unsigned char, 256> make_hex_table()
{
    std::array<unsigned char, 256> t{};
    for (auto& v : t) v = not_hex;
    auto fill = [&t](char from, char to, int first) {
        for (char c = from; c <= to; ++c)
            t[static_cast<unsigned char>(c)] = static_cast<unsigned char>(first + (c - from));
    };
    fill('0', '9', 0);
    fill('a', 'f', 10);
    fill('A', 'F', 10);
    return t;
}

constexpr auto hex_table = make_hex_table();
static_assert(std::size(hex_table) == 256);
static_assert(hex_table['0'] == 0 && hex_table['f'] == 15 && hex_table['F'] == 15 &&
              hex_table['g'] == not_hex && hex_table[0xB0] == not_hex);

inline unsigned hex_value(char c) noexcept { return hex_table[static_cast<unsigned char>(c)]; }

// "\x" followed by digit pairs; anything that is not a digit is skipped and
// an odd final digit is dropped. Returns the number of bytes written, which
// is at most (len - 1) / 2.
Py_ssize_t decode_hex(const char* s, Py_ssize_t len, char* out)
{
    Py_ssize_t n = 0;
    Py_ssize_t i = 2;
    // The server writes clean digit pairs: decode them two at a time, and
    // only fall back to the tolerant loop at the first oddity.
    for (; i + 1 < len; i += 2) {
        const unsigned hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
        if ((hi | lo) == not_hex) break;
        out[n++] = static_cast<char>((hi << 4) | lo);
    }
    int high = -1;
    for (; i < len; ++i) {
        const unsigned v = hex_value(s[i]);
        if (v == not_hex) continue;
        if (high < 0) {
            high = static_cast<int>(v);
        }
        else {
            out[n++] = static_cast<char>((high << 4) | static_cast<int>(v));
            high = -1;
        }
    }
    return n;
}

inline bool is_octal(char c) noexcept { return c >= '0' && c <= '7'; }

// Printable bytes as they are, "\ooo" (first digit 0-3) for one byte, "\c"
// for the byte c. A backslash ending the text has nothing to escape and is
// kept as it is rather than reading past the end.
Py_ssize_t decode_escape(const char* s, Py_ssize_t len, char* out)
{
    Py_ssize_t n = 0;
    Py_ssize_t i = 0;
    while (i < len) {
        if (s[i] != '\\' || i + 1 == len) {
            out[n++] = s[i++];
            continue;
        }
        if (i + 3 < len && s[i + 1] >= '0' && s[i + 1] <= '3' && is_octal(s[i + 2]) &&
            is_octal(s[i + 3])) {
            out[n++] = static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) |
                                         (s[i + 3] - '0'));
            i += 4;
        }
        else {
            out[n++] = s[i + 1];
            i += 2;
        }
    }
    return n;
}

// A chunk with room for `room` bytes right after its header, so that one
// allocation serves both; `data` points there.
chunkObject* chunk_with_room(Py_ssize_t room)
{
    void* mem = PyObject_Malloc(sizeof(chunkObject) + static_cast<size_t>(room));
    if (!mem) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* c = reinterpret_cast<chunkObject*>(PyObject_Init(static_cast<PyObject*>(mem), &chunkType));
    c->data = reinterpret_cast<char*>(c + 1);
    c->size = 0;
    return c;
}

}  // namespace

PyObject* typecast_BINARY_cast(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    const bool hex = len >= 2 && s[0] == '\\' && s[1] == 'x';
    // Exactly what the text can hold: every digit pair after the prefix, or
    // at most one byte per byte of escape text.
    const Py_ssize_t room = hex ? (len - 1) / 2 : len;
    chunkObject* c = chunk_with_room(room > 0 ? room : 0);
    if (!c) return nullptr;
    ref chunk = ref::steal(reinterpret_cast<PyObject*>(c));
    c->size = hex ? decode_hex(s, len, c->data) : decode_escape(s, len, c->data);
    // The memoryview keeps the chunk, and so the block, alive.
    return PyMemoryView_FromObject(chunk.get());
}

int chunk_getbuffer(PyObject* self, Py_buffer* view, int flags)
{
    auto* c = reinterpret_cast<chunkObject*>(self);
    if (PyBuffer_FillInfo(view, self, c->data, c->size, 1, flags) < 0) return -1;
    // Items are one-byte bytes. Only filled in when asked for, as the buffer
    // protocol requires (null then means unsigned bytes, same layout).
    if (flags & PyBUF_FORMAT) view->format = const_cast<char*>("c");
    return 0;
}

namespace {

PyObject* chunk_repr(PyObject* self)
{
    auto* c = reinterpret_cast<chunkObject*>(self);
    return PyUnicode_FromFormat("<memory chunk at %p size %zd>", static_cast<void*>(c->data),
                                c->size);
}

void chunk_dealloc(PyObject* self)
{
    auto* c = reinterpret_cast<chunkObject*>(self);
    debug_trace("chunk_dealloc: deallocating memory at %p, size %zd\n", static_cast<void*>(c->data),
                c->size);
    // The block lives inside the object itself.
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs chunk_as_buffer = {
    .bf_getbuffer = chunk_getbuffer,
    .bf_releasebuffer = nullptr,
};

}  // namespace

PyTypeObject chunkType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2._tolvar.chunk",
    .tp_basicsize = sizeof(chunkObject),
    .tp_dealloc = chunk_dealloc,
    .tp_repr = chunk_repr,
    .tp_as_buffer = &chunk_as_buffer,
    // Only made by the bytea cast; never subclassed, not collected.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "memory chunk",
    .tp_free = PyObject_Free,
};

int chunk_type_setup()
{
    if (chunkType.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_TYPE(&chunkType, &PyType_Type);
    return PyType_Ready(&chunkType);
}
