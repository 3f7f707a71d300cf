// Arrays: the server's text array syntax parsed into nested lists, each
// element converted by the array typecaster's base typecaster.
#include "typecast/typecast.hpp"

using tv::ref;

namespace {

// Brace levels allowed inside the outermost pair (the server itself allows
// six dimensions); the nesting stack is a fixed array of this size.
constexpr int max_dimensions = 16;

enum class token_kind { end, open, close, element, error };

struct array_token {
    const char* data;  // element bytes (not zero-terminated unless escaped)
    Py_ssize_t len;
    bool quoted;       // enclosed in double quotes, or contained escapes
};

// Room for the unescaped copy of an element: on the stack for the usual
// short values, on the heap (kept for the next element) beyond that.
class unescape_buffer {
public:
    unescape_buffer() = default;
    unescape_buffer(const unescape_buffer&) = delete;
    unescape_buffer& operator=(const unescape_buffer&) = delete;

    // At least `n` + 1 bytes, or null with MemoryError set.
    char* reserve(Py_ssize_t n)
    {
        if (n < static_cast<Py_ssize_t>(sizeof(small_))) return small_;
        if (n >= heap_size_) {
            char* p = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(n) + 1));
            if (!p) {
                PyErr_NoMemory();
                return nullptr;
            }
            heap_.reset(p);
            heap_size_ = n + 1;
        }
        return heap_.get();
    }

private:
    char small_[256];
    tv::pymem_ptr heap_;
    Py_ssize_t heap_size_ = 0;
};

// Next token of the region `s`[0, len) at *pos. An element's bytes stay in
// the text unless it contains backslashes, in which case its unescaped copy
// is written to `buf`.
token_kind typecast_array_tokenize(const char* s, Py_ssize_t len, Py_ssize_t* pos,
                                   array_token* tok, unescape_buffer& buf)
{
    Py_ssize_t i = *pos;
    if (i >= len) return token_kind::end;
    if (s[i] == '{') {
        *pos = i + 1;
        return token_kind::open;
    }
    if (s[i] == '}') {
        ++i;
        if (i < len && s[i] == ',') ++i;
        *pos = i;
        return token_kind::close;
    }

    const Py_ssize_t first = i;
    int quotes = 0;
    bool escape = false;   // the previous byte was an unescaped backslash
    bool escaped = false;  // the element holds at least one backslash
    for (; i < len; ++i) {
        const char c = s[i];
        if (c == '"') {
            if (!escape) ++quotes;
            escape = false;
        }
        else if (c == '\\') {
            escaped = true;
            escape = !escape;
        }
        else if (c == ',' || c == '}') {
            if (!escape && quotes % 2 == 0) break;
            escape = false;  // a backslash escapes one byte only
        }
        else {
            escape = false;
        }
    }
    if (quotes % 2 != 0) {
        // A quote opened and never closed ran to the end of the text.
        PyErr_SetString(DataError ? DataError : PyExc_ValueError, "unbalanced quotes in array");
        return token_kind::error;
    }

    const char* data = s + first;
    Py_ssize_t n = i - first;
    tok->quoted = false;
    if (n > 0 && data[0] == '"') {
        // Even quote count and a leading quote: at least two bytes.
        tok->quoted = true;
        ++data;
        n -= 2;
    }
    if (escaped) {
        char* out = buf.reserve(n);
        if (!out) return token_kind::error;
        Py_ssize_t w = 0;
        for (Py_ssize_t k = 0; k < n; ++k) {
            // A backslash stands for the byte after it; a final lone one
            // (possible only in malformed text) has nothing after it.
            if (data[k] == '\\' && ++k == n) break;
            out[w++] = data[k];
        }
        out[w] = '\0';
        data = out;
        n = w;
        // Escapes make an element text, as quotes do: N\ULL is not null.
        tok->quoted = true;
    }
    tok->data = data;
    tok->len = n;
    *pos = i < len && s[i] == ',' ? i + 1 : i;
    return token_kind::element;
}

bool is_null_word(const char* s, Py_ssize_t len) noexcept
{
    return len == 4 && (s[0] == 'n' || s[0] == 'N') && (s[1] == 'u' || s[1] == 'U') &&
           (s[2] == 'l' || s[2] == 'L') && (s[3] == 'l' || s[3] == 'L');
}

PyObject* data_error() { return DataError ? DataError : PyExc_ValueError; }

// Fills `top` from the region after its opening brace, up to and including
// the closing brace, which must be the region's last byte: 0, or -1 with an
// exception set (the lists built so far are owned by `top`).
int typecast_array_scan(const char* s, Py_ssize_t len, PyObject* top, PyObject* base,
                        PyObject* curs)
{
    // Borrowed: every list on the stack is held by the one below it.
    PyObject* stack[max_dimensions];
    int depth = 0;
    PyObject* current = top;
    unescape_buffer buf;
    Py_ssize_t pos = 0;

    for (;;) {
        array_token tok{};
        const Py_ssize_t start = pos;
        switch (typecast_array_tokenize(s, len, &pos, &tok, buf)) {
        case token_kind::error:
            return -1;

        case token_kind::end:
            // The outermost closing brace was never seen.
            PyErr_SetString(data_error(), "unbalanced braces in array");
            return -1;

        case token_kind::open: {
            ref sub = ref::steal(PyList_New(0));
            if (!sub || PyList_Append(current, sub.get()) < 0) return -1;
            if (depth == max_dimensions) {
                PyErr_SetString(data_error(), "excessive array dimensions");
                return -1;
            }
            stack[depth++] = current;
            current = sub.get();
            break;
        }

        case token_kind::close:
            if (depth > 0) {
                current = stack[--depth];
                break;
            }
            // The outermost level ends here, and so must the text.
            if (start + 1 == len) return 0;
            PyErr_SetString(data_error(), "unbalanced braces in array");
            return -1;

        case token_kind::element: {
            const bool null = !tok.quoted && is_null_word(tok.data, tok.len);
            ref item = ref::steal(null ? typecast_apply(base, nullptr, 0, curs)
                                       : typecast_apply(base, tok.data, tok.len, curs));
            if (!item || PyList_Append(current, item.get()) < 0) return -1;
            break;
        }
        }
    }
}

// The element typecaster: the base of the typecaster running on `curs`.
PyObject* element_typecaster(PyObject* curs)
{
    if (!curs || !PyObject_TypeCheck(curs, &cursorType)) {
        // The running typecaster is only known through a cursor's field.
        PyErr_SetString(PyExc_TypeError, "array typecasters need a cursor to convert with");
        return nullptr;
    }
    PyObject* running = reinterpret_cast<cursorObject*>(curs)->typecaster;
    PyObject* base = running && PyObject_TypeCheck(running, &typecastType)
                         ? reinterpret_cast<typecastObject*>(running)->baseobj : nullptr;
    if (!base || !PyObject_TypeCheck(base, &typecastType)) {
        PyErr_SetString(Error ? Error : reinterpret_cast<PyObject*>(&errorType),
                        "array typecaster without an element typecaster");
        return nullptr;
    }
    return base;
}

// Length of the bounds decoration ("[0:2]=" or one group per dimension,
// "[1:2][1:3]="), or 0 when the text does not start with a complete one.
Py_ssize_t bounds_length(const char* s, Py_ssize_t len) noexcept
{
    Py_ssize_t i = 0;
    while (i < len && s[i] == '[') {
        int depth = 1;
        for (++i; i < len && depth > 0; ++i) {
            if (s[i] == '[') ++depth;
            else if (s[i] == ']') --depth;
        }
        if (depth > 0) return 0;
    }
    return i > 0 && i < len && s[i] == '=' ? i + 1 : 0;
}

}  // namespace

PyObject* typecast_GENERIC_ARRAY_cast(const char* s, Py_ssize_t len, PyObject* curs)
{
    if (!s) Py_RETURN_NONE;
    const Py_ssize_t skip = bounds_length(s, len);
    s += skip;
    len -= skip;
    debug_trace("typecast_GENERIC_ARRAY_cast: str = '%.*s', len = %zd\n",
                static_cast<int>(len < 80 ? len : 80), s, len);

    if (len < 1 || s[0] != '{') {
        PyErr_SetString(data_error(), "array does not start with '{'");
        return nullptr;
    }
    if (len < 2 || s[1] == '\0') {
        PyErr_SetString(data_error(), "malformed array: '{'");
        return nullptr;
    }
    ref base = ref::borrow(element_typecaster(curs));
    if (!base) return nullptr;

    ref top = ref::steal(PyList_New(0));
    if (!top) return nullptr;
    if (typecast_array_scan(s + 1, len - 1, top.get(), base.get(), curs) < 0) return nullptr;
    return top.release();
}

const char tolvar_new_array_type_doc[] =
    "new_array_type(oids, name, baseobj) -> new type object\n\n"
    "Create a new binding object to parse an array.\n\n"
    "The object can be used with `register_type()`.\n\n"
    ":Parameters:\n"
    "  * `oids`: Tuple of ``oid`` of the PostgreSQL types to convert.\n"
    "  * `name`: Name for the new type\n"
    "  * `baseobj`: Adapter to perform type conversion of a single array item.";

PyObject* tolvar_new_array_type(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"values", "name", "baseobj", nullptr};
    PyObject* values = nullptr;
    PyObject* name = nullptr;
    PyObject* base = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!O!", const_cast<char**>(kwlist),
                                     &PyTuple_Type, &values, &PyUnicode_Type, &name,
                                     &typecastType, &base))
        return nullptr;
    PyObject* t = typecast_create(name, values, nullptr, base);
    if (!t) return nullptr;
    reinterpret_cast<typecastObject*>(t)->native_cast = typecast_GENERIC_ARRAY_cast;
    return t;
}
