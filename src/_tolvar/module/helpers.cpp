// Small string, text and connection-string helpers shared by the whole core.
#include "cursor/cursor.hpp"
#include "errors/error.hpp"

using tv::ref;

char* escape_string_literal(connectionObject* conn, const char* text, Py_ssize_t len,
                            char* buffer, Py_ssize_t* out_len)
{
    // The setting can change during the session (SET standard_conforming_strings):
    // follow what the server reports now, or backslashes would be mis-escaped.
    const bool live = conn && conn->pgconn;
    if (live) conn->needs_e_quotes = server_needs_e_quotes(conn->pgconn);
    const size_t n = std::strlen(text);
    // Without a connection libpq would escape by whatever encoding and
    // quoting setting the last connection in the process had: escape here
    // instead, in a form every server reads the same way (backslashes only
    // ever inside E'').
    const bool own_backslashes = !live && std::memchr(text, '\\', n) != nullptr;
    const bool eflag = live ? conn->needs_e_quotes != 0 : own_backslashes;
    if (len >= 0 && static_cast<size_t>(len) != n) {
        PyErr_SetString(PyExc_ValueError,
                        "A string literal cannot contain NUL (0x00) characters.");
        return nullptr;
    }
    char* out = buffer;
    if (!out) {
        out = static_cast<char*>(PyMem_Malloc(2 * n + 4));
        if (!out) { PyErr_NoMemory(); return nullptr; }
    }
    char* p = out;
    if (eflag) *p++ = 'E';
    *p++ = '\'';
    size_t m;
    if (conn && conn->pgconn) {
        int err = 0;
        m = PQescapeStringConn(conn->pgconn, p, text, n, &err);
    } else {
        m = 0;
        for (size_t i = 0; i < n; ++i) {
            const char c = text[i];
            if (c == '\'' || (c == '\\' && own_backslashes)) p[m++] = c;
            p[m++] = c;
        }
    }
    p[m] = '\'';
    p[m + 1] = '\0';
    if (out_len) *out_len = static_cast<Py_ssize_t>(m + 2 + (eflag ? 1 : 0));
    return out;
}

char* escape_identifier(connectionObject* conn, const char* text, Py_ssize_t len)
{
    if (!conn || !conn->pgconn) {
        PyErr_SetString(InterfaceError, "connection not valid");
        return nullptr;
    }
    if (len < 0) len = static_cast<Py_ssize_t>(std::strlen(text));
    char* rv = PQescapeIdentifier(conn->pgconn, text, static_cast<size_t>(len));
    if (!rv) {
        const char* msg = PQerrorMessage(conn->pgconn);
        if (!msg || !*msg) msg = "no message provided";
        PyErr_Format(InterfaceError, "failed to escape identifier: %s", msg);
    }
    return rv;
}

int copy_string(char** dest, const char* text, Py_ssize_t len)
{
    if (!text) { *dest = nullptr; return 0; }
    if (len < 0) len = static_cast<Py_ssize_t>(std::strlen(text));
    char* p = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(len) + 1));
    if (!p) { PyErr_NoMemory(); return -1; }
    std::memcpy(p, text, static_cast<size_t>(len));
    p[len] = '\0';
    *dest = p;
    return 0;
}

PyObject* as_utf8_bytes(PyObject* obj)
{
    if (!obj) return nullptr;
    ref owned = ref::steal(obj);
    if (PyUnicode_Check(obj)) return PyUnicode_AsUTF8String(obj);
    if (PyBytes_Check(obj)) return owned.release();
    PyErr_Format(PyExc_TypeError, "Expected bytes or unicode string, got %s instead",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
}

PyObject* decode_utf8_replace(PyObject* obj)
{
    if (!obj) return nullptr;
    ref owned = ref::steal(obj);
    return PyUnicode_FromEncodedObject(obj, "utf8", "replace");
}

int tolvar_is_text_file(PyObject* f)
{
    static PyObject* base = nullptr;  // io.TextIOBase, or None
    if (!base) {
        ref io = ref::steal(PyImport_ImportModule("io"));
        PyObject* cls = io ? PyObject_GetAttrString(io.get(), "TextIOBase") : nullptr;
        if (!cls) {
            PyErr_Clear();
            cls = Py_NewRef(Py_None);
        }
        base = cls;
    }
    if (base == Py_None) return 0;
    return PyObject_IsInstance(f, base);
}

PyObject* dict_from_conninfo_options(PQconninfoOption* options, bool include_password)
{
    ref dict = ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        if (!o->val) continue;
        if (!include_password && std::strcmp(o->keyword, "password") == 0) continue;
        ref value = ref::steal(PyUnicode_FromString(o->val));
        if (!value || PyDict_SetItemString(dict.get(), o->keyword, value.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

PyObject* call_make_dsn(PyObject* dsn, PyObject* kwargs)
{
    ref ext = ref::steal(PyImport_ImportModule("tolvar2.extensions"));
    if (!ext) return nullptr;
    ref make_dsn = ref::steal(PyObject_GetAttrString(ext.get(), "make_dsn"));
    if (!make_dsn) return nullptr;
    ref args = ref::steal(PyTuple_Pack(1, dsn));
    if (!args) return nullptr;
    return PyObject_Call(make_dsn.get(), args.get(), kwargs);
}

PyObject* chars_to_text(const char* text, Py_ssize_t len, PyObject* decoder)
{
    static PyObject* replace = nullptr;
    if (!text) Py_RETURN_NONE;
    if (len < 0) len = static_cast<Py_ssize_t>(std::strlen(text));
    if (!decoder) return PyUnicode_DecodeASCII(text, len, "replace");
    if (!replace && !(replace = PyUnicode_InternFromString("replace"))) return nullptr;
    ref bytes = ref::steal(PyBytes_FromStringAndSize(text, len));
    if (!bytes) return nullptr;
    ref res = ref::steal(PyObject_CallFunctionObjArgs(decoder, bytes.get(), replace, nullptr));
    if (!res) return nullptr;
    return PySequence_GetItem(res.get(), 0);
}

PyObject* raise_with_cursor(PyObject* exc_class, cursorObject* curs, const char* msg)
{
    ref text = ref::steal(conn_decode_message(curs ? curs->connection : nullptr, msg));
    if (!text) return nullptr;
    ref exc = ref::steal(PyObject_CallOneArg(exc_class, text.get()));
    if (!exc) return nullptr;
    if (curs && PyObject_TypeCheck(exc.get(), &errorType)) {
        auto* err = reinterpret_cast<errorObject*>(exc.get());
        tv::set_slot(err->cursor, tv::ref::borrow(reinterpret_cast<PyObject*>(curs)).release());
    }
    PyErr_SetObject(exc_class, exc.get());
    return exc.get();  // the pending exception keeps it alive
}

PyObject* get_decimal_type()
{
    static PyObject* cached = nullptr;
    // Sub-interpreters have their own decimal module: never share the type.
    const bool main = PyInterpreterState_Get() == PyInterpreterState_Main();
    if (main && cached) return Py_NewRef(cached);
    ref mod = ref::steal(PyImport_ImportModule("decimal"));
    if (!mod) return nullptr;
    PyObject* type = PyObject_GetAttrString(mod.get(), "Decimal");
    if (type && main && !cached) cached = Py_NewRef(type);
    return type;
}

PyObject* weakref_target(PyObject* wr)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    int rc = PyWeakref_GetRef(wr, &obj);
    if (rc < 0) return nullptr;
    if (rc == 0) return Py_None;
    Py_DECREF(obj);  // borrowed by contract: the caller's references keep it alive
    return obj;
#else
    return PyWeakref_GetObject(wr);
#endif
}

char* quoted_column_list(cursorObject* curs, PyObject* columns)
{
    if (!columns || columns == Py_None) {
        char* empty = static_cast<char*>(PyMem_Malloc(1));
        if (!empty) { PyErr_NoMemory(); return nullptr; }
        *empty = '\0';
        return empty;
    }
    ref it = ref::steal(PyObject_GetIter(columns));
    if (!it) return nullptr;
    size_t size = 512, pos = 0;
    tv::pymem_ptr buf(static_cast<char*>(PyMem_Malloc(size)));
    if (!buf) { PyErr_NoMemory(); return nullptr; }
    buf.get()[pos++] = '(';
    while (ref item = ref::steal(PyIter_Next(it.get()))) {
        ref bytes = ref::steal(as_utf8_bytes(item.release()));
        if (!bytes) return nullptr;
        tv::pqmem_ptr ident(escape_identifier(curs->connection, PyBytes_AS_STRING(bytes.get()),
                                              PyBytes_GET_SIZE(bytes.get())));
        if (!ident) return nullptr;
        const size_t len = std::strlen(ident.get());
        if (pos + len + 2 > size) {
            while (pos + len + 2 > size) size *= 2;
            char* grown = static_cast<char*>(PyMem_Realloc(buf.get(), size));
            if (!grown) { PyErr_NoMemory(); return nullptr; }
            (void)buf.release();
            buf.reset(grown);
        }
        std::memcpy(buf.get() + pos, ident.get(), len);
        pos += len;
        buf.get()[pos++] = ',';
    }
    if (PyErr_Occurred()) return nullptr;
    // An empty iterable means no column list at all, not a lone ")".
    if (pos == 1) pos = 0;
    else buf.get()[pos - 1] = ')';
    buf.get()[pos] = '\0';
    return buf.release();
}
