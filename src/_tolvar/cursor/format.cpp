// Query formatting: the placeholder scanner that adapts the arguments, the
// bytes formatting engine that merges the literals, and cursor.mogrify().
#include "cursor/format.hpp"
#include "adapt/adapt.hpp"

#include <cstring>

using tv::ref;

const char curs_mogrify_doc[] = "mogrify(query, vars=None) -> str -- Return query after vars binding.";

namespace {

constexpr char msg_not_enough[] = "not enough arguments for format string";
constexpr char msg_not_all[] = "not all arguments converted during string formatting";

// The output of the engine: one bytes object, grown in place when needed
// and cut to its length once at the end.
class output {
public:
    explicit output(Py_ssize_t size) : obj_(PyBytes_FromStringAndSize(nullptr, size)), size_(size) {}
    ~output() { Py_XDECREF(obj_); }
    output(const output&) = delete;
    output& operator=(const output&) = delete;

    bool ok() const noexcept { return obj_ != nullptr; }

    // Makes room for `n` more bytes; `rest` (the format still to be read)
    // is added to a growth so that the rest of the text seldom grows it again.
    int reserve(Py_ssize_t n, Py_ssize_t rest)
    {
        if (n <= size_ - pos_) return 0;
        Py_ssize_t size = pos_;
        for (Py_ssize_t add : {n, rest, Py_ssize_t{100}}) {
            if (add > PY_SSIZE_T_MAX - size) { PyErr_NoMemory(); return -1; }
            size += add;
        }
        if (_PyBytes_Resize(&obj_, size) < 0) return -1;
        size_ = size;
        return 0;
    }
    int write(const char* s, Py_ssize_t n, Py_ssize_t rest)
    {
        if (reserve(n, rest) < 0) return -1;
        std::memcpy(PyBytes_AS_STRING(obj_) + pos_, s, static_cast<size_t>(n));
        pos_ += n;
        return 0;
    }
    PyObject* finish()
    {
        if (_PyBytes_Resize(&obj_, pos_) < 0) return nullptr;
        PyObject* res = obj_;
        obj_ = nullptr;
        return res;
    }

private:
    PyObject* obj_;
    Py_ssize_t size_;
    Py_ssize_t pos_ = 0;
};

// The engine. The two argument-count errors are not raised but reported in
// `count_error` (nothing set), because the callers raise different classes
// for them; every other failure returns null with an exception set.
PyObject* percent_format(PyObject* format, PyObject* args, const char** count_error)
{
    *count_error = nullptr;
    if (!format || !PyBytes_Check(format) || !args) {
        PyErr_BadInternalCall();
        return nullptr;
    }
    const char* fmt = PyBytes_AS_STRING(format);
    const Py_ssize_t flen = PyBytes_GET_SIZE(format);

    // A tuple gives the positional arguments; anything else is one argument.
    PyObject* argv = args;
    Py_ssize_t arglen = -1, argidx = -2;
    Py_ssize_t size = flen + 100;
    const bool is_tuple = PyTuple_Check(args);
    if (is_tuple) {
        arglen = PyTuple_GET_SIZE(args);
        argidx = 0;
        // The literals bound the output, so positional queries never grow.
        for (Py_ssize_t k = 0; k < arglen; ++k) {
            PyObject* v = PyTuple_GET_ITEM(args, k);
            if (v && PyBytes_CheckExact(v)) {
                if (PyBytes_GET_SIZE(v) > PY_SSIZE_T_MAX - size) return PyErr_NoMemory();
                size += PyBytes_GET_SIZE(v);
            }
        }
    }
    PyObject* dict = nullptr;
    PyMappingMethods* mp = Py_TYPE(args)->tp_as_mapping;
    if (mp && mp->mp_subscript && !is_tuple && !PyBytes_Check(args)) dict = args;

    output out(size);
    if (!out.ok()) return nullptr;
    ref keyed;  // the value of the last %(key), the current single argument

    Py_ssize_t i = 0;
    while (i < flen) {
        if (fmt[i] != '%') {
            const void* next = std::memchr(fmt + i, '%', static_cast<size_t>(flen - i));
            const Py_ssize_t end = next ? static_cast<const char*>(next) - fmt : flen;
            if (out.write(fmt + i, end - i, flen - end) < 0) return nullptr;
            i = end;
            continue;
        }
        ++i;
        if (i < flen && fmt[i] == '(') {
            if (!dict) {
                PyErr_SetString(PyExc_TypeError, "format requires a mapping");
                return nullptr;
            }
            const Py_ssize_t start = ++i;
            int depth = 1;
            while (depth > 0 && i < flen) {
                if (fmt[i] == ')') --depth;
                else if (fmt[i] == '(') ++depth;
                ++i;
            }
            if (depth > 0) {
                PyErr_SetString(PyExc_ValueError, "incomplete format key");
                return nullptr;
            }
            ref key = ref::steal(PyUnicode_DecodeUTF8(fmt + start, i - 1 - start, nullptr));
            if (!key) return nullptr;
            keyed = ref::steal(PyObject_GetItem(dict, key.get()));
            if (!keyed) return nullptr;
            argv = keyed.get();
            arglen = -1;
            argidx = -2;
        }
        if (i >= flen) {
            PyErr_SetString(PyExc_ValueError, "incomplete format");
            return nullptr;
        }
        const unsigned char c = static_cast<unsigned char>(fmt[i]);
        const Py_ssize_t at = i++;
        if (c == '%') {
            if (out.write("%", 1, flen - i) < 0) return nullptr;
            continue;
        }
        if (c != 's') {
            PyErr_Format(PyExc_ValueError, "unsupported format character '%c' (0x%x) at index %zd",
                         static_cast<int>(c), static_cast<unsigned>(c), at);
            return nullptr;
        }
        if (argidx >= arglen) {
            *count_error = msg_not_enough;
            return nullptr;
        }
        PyObject* v = arglen < 0 ? argv : PyTuple_GET_ITEM(argv, argidx);
        ++argidx;
        if (!v) {
            PyErr_BadInternalCall();
            return nullptr;
        }
        if (!PyBytes_CheckExact(v)) {
            PyErr_Format(PyExc_ValueError, "only bytes values expected, got %s",
                         Py_TYPE(v)->tp_name);
            return nullptr;
        }
        if (out.write(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), flen - i) < 0) return nullptr;
    }
    if (argidx < arglen && !dict) {
        *count_error = msg_not_all;
        return nullptr;
    }
    return out.finish();
}

// The literal of one argument: NULL for None, else its adapter's output.
PyObject* literal_for(PyObject* value, connectionObject* conn)
{
    if (value == Py_None) return Py_NewRef(null_literal);
    return microprotocol_getquoted(value, conn);
}

int raise_programming(cursorObject* curs, const char* msg)
{
    raise_with_cursor(ProgrammingError, curs, msg);
    return -1;
}

}  // namespace

int _mogrify(PyObject* vars, PyObject* query, cursorObject* curs, PyObject** cvt)
{
    *cvt = nullptr;
    connectionObject* conn = curs ? curs->connection : nullptr;
    const char* c = PyBytes_AS_STRING(query);
    const Py_ssize_t n = PyBytes_GET_SIZE(query);

    enum { none, positional, named } kind = none;
    bool percent = false;
    Py_ssize_t index = 0;
    ref container;

    Py_ssize_t i = 0;
    while (i < n) {
        const void* hit = std::memchr(c + i, '%', static_cast<size_t>(n - i));
        if (!hit) break;
        i = static_cast<const char*>(hit) - c;
        const char next = i + 1 < n ? c[i + 1] : '\0';

        if (i + 1 < n && next == '%') {
            percent = true;
            i += 2;
        } else if (i + 1 < n && next == '(') {
            if (kind == positional) return raise_programming(curs, "argument formats can't be mixed");
            Py_ssize_t j = i + 2;
            while (j < n && c[j] != ')' && c[j] != '%') ++j;
            if (j >= n || c[j] != ')')
                return raise_programming(curs, "incomplete placeholder: '%(' without ')'");
            ref key = ref::steal(PyUnicode_DecodeUTF8(c + i + 2, j - i - 2, nullptr));
            if (!key) return -1;
            // Looked up every time, but adapted only the first time.
            ref value = ref::steal(PyObject_GetItem(vars, key.get()));
            if (!value) return -1;
            if (!container && !(container = ref::steal(PyDict_New()))) return -1;
            const int seen = PyDict_Contains(container.get(), key.get());
            if (seen < 0) return -1;
            if (!seen) {
                ref lit = ref::steal(literal_for(value.get(), conn));
                if (!lit || PyDict_SetItem(container.get(), key.get(), lit.get()) < 0) return -1;
            }
            kind = named;
            i = j + 1;
        } else {
            if (kind == named) return raise_programming(curs, "argument formats can't be mixed");
            ref value = ref::steal(PySequence_GetItem(vars, index));
            if (!value) return -1;
            if (!container) {
                const Py_ssize_t len = PyObject_Length(vars);
                if (len < 0) return -1;
                if (!(container = ref::steal(PyTuple_New(len)))) return -1;
            }
            // A sequence may answer items past the length it reported.
            if (index >= PyTuple_GET_SIZE(container.get())) {
                PyErr_SetString(PyExc_IndexError,
                                "the arguments sequence is shorter than its items");
                return -1;
            }
            PyObject* lit = literal_for(value.get(), conn);
            if (!lit) return -1;
            PyTuple_SET_ITEM(container.get(), index, lit);
            ++index;
            kind = positional;
            i += 1;
        }
    }

    if (kind == positional) {
        // Unused arguments only count; no slot is left empty.
        const Py_ssize_t len = PyTuple_GET_SIZE(container.get());
        for (Py_ssize_t k = index; k < len; ++k)
            PyTuple_SET_ITEM(container.get(), k, Py_NewRef(Py_None));
    }
    if (percent && !container && !(container = ref::steal(PyTuple_New(0)))) return -1;
    *cvt = container.release();
    return 0;
}

PyObject* format_query_with_args(cursorObject* curs, PyObject* query, PyObject* cvt)
{
    const char* count_error = nullptr;
    PyObject* res = percent_format(query, cvt, &count_error);
    if (count_error) raise_with_cursor(ProgrammingError, curs, count_error);
    return res;
}

PyObject* bytes_percent_format(PyObject* format, PyObject* args)
{
    const char* count_error = nullptr;
    PyObject* res = percent_format(format, args, &count_error);
    if (count_error) PyErr_SetString(PyExc_TypeError, count_error);
    return res;
}

PyObject* curs_bind_vars(cursorObject* curs, PyObject* q, PyObject* vars)
{
    if (!vars || vars == Py_None) return Py_NewRef(q);
    PyObject* cvt = nullptr;
    if (_mogrify(vars, q, curs, &cvt) < 0) return nullptr;
    if (!cvt) return Py_NewRef(q);
    ref owned = ref::steal(cvt);
    return format_query_with_args(curs, q, cvt);
}

PyObject* curs_mogrify(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"query", "vars", nullptr};
    PyObject* query = nullptr;
    PyObject* vars = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &query,
                                     &vars))
        return nullptr;
    auto* curs = reinterpret_cast<cursorObject*>(self);
    ref q = ref::steal(query_to_bytes(curs, query));
    if (!q) return nullptr;
    return curs_bind_vars(curs, q.get(), vars);
}
