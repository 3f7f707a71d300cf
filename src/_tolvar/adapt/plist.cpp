// List: Python lists as PostgreSQL arrays, ARRAY[...] or '{...}'.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

listObject* as_list(PyObject* o) noexcept { return reinterpret_cast<listObject*>(o); }

constexpr char empty_array_literal[] = "'{}'";
constexpr char empty_array_constructor[] = "ARRAY[]";
constexpr char array_open[] = "ARRAY[";

template <std::size_t N>
bool bytes_equal(PyObject* b, const char (&text)[N]) noexcept
{
    return PyBytes_GET_SIZE(b) == static_cast<Py_ssize_t>(N - 1) &&
           std::memcmp(PyBytes_AS_STRING(b), text, N - 1) == 0;
}

// A quoted array literal '{...}', as a nested list of nulls quotes. Only
// this form may be unwrapped into an enclosing '{...}'; anything else a
// list's adapter returns is used as an element of ARRAY[...].
bool is_array_literal(PyObject* b) noexcept
{
    const Py_ssize_t n = PyBytes_GET_SIZE(b);
    const char* s = PyBytes_AS_STRING(b);
    return n >= 4 && s[0] == '\'' && s[1] == '{' && s[n - 2] == '}' && s[n - 1] == '\'';
}

// Nested lists recurse through the element adaptation: a list holding
// itself must end in RecursionError, not in a blown stack.
struct recursion_guard {
    bool entered = Py_EnterRecursiveCall(" while quoting a list") == 0;
    ~recursion_guard() { if (entered) Py_LeaveRecursiveCall(); }
};

// Replaces each item of `slots` (a private list) by its literal. Returns
// the summed literal lengths plus one per element (its separator), or -1
// with an exception set.
Py_ssize_t quote_elements(listObject* self, PyObject* slots, bool& all_nulls)
{
    const Py_ssize_t n = PyList_GET_SIZE(slots);
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Take the item over and leave the slot empty until its literal is
        // there: a failure then leaves a list that is still safe to free.
        ref item = ref::steal(PyList_GET_ITEM(slots, i));
        PyList_SET_ITEM(slots, i, nullptr);
        ref literal;
        if (item.get() == Py_None) {
            literal = ref::borrow(null_literal);
        } else {
            literal = ref::steal(microprotocol_getquoted(item.get(), self->conn));
            if (!literal) return -1;
            if (!PyBytes_Check(literal.get())) {
                PyErr_Format(PyExc_TypeError,
                             "the adapter of a list element returned %s instead of bytes",
                             Py_TYPE(literal.get())->tp_name);
                return -1;
            }
            if (!PyList_Check(item.get())) {
                all_nulls = false;
            } else if (bytes_equal(literal.get(), empty_array_literal)) {
                // '{}' has no type the server could give an inner dimension.
                literal = ref::steal(PyBytes_FromStringAndSize(
                    empty_array_constructor, sizeof(empty_array_constructor) - 1));
                if (!literal) return -1;
                all_nulls = false;
            } else if (!is_array_literal(literal.get())) {
                all_nulls = false;
            }
        }
        // Room is kept for the brackets around the joined literals.
        const Py_ssize_t len = PyBytes_GET_SIZE(literal.get());
        if (len > PY_SSIZE_T_MAX - 16 - total) {
            PyErr_NoMemory();
            return -1;
        }
        total += len + 1;
        PyList_SET_ITEM(slots, i, literal.release());
    }
    return total;
}

PyObject* list_join_quoted(PyObject* slots, Py_ssize_t total)
{
    const Py_ssize_t n = PyList_GET_SIZE(slots);
    // Every slot is NULL or a quoted '{...}' whose own quotes are dropped.
    Py_ssize_t size = total + 3;  // "'{", the separators (the last becomes "}"), "'"
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyBytes_AS_STRING(PyList_GET_ITEM(slots, i))[0] == '\'') size -= 2;
    PyObject* out = PyBytes_FromStringAndSize(nullptr, size);
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    *p++ = '\'';
    *p++ = '{';
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* b = PyList_GET_ITEM(slots, i);
        const char* s = PyBytes_AS_STRING(b);
        Py_ssize_t len = PyBytes_GET_SIZE(b);
        if (s[0] == '\'') {
            ++s;
            len -= 2;
        }
        std::memcpy(p, s, static_cast<size_t>(len));
        p += len;
        *p++ = ',';
    }
    p[-1] = '}';
    *p = '\'';
    return out;
}

PyObject* list_join_constructor(PyObject* slots, Py_ssize_t total)
{
    const Py_ssize_t n = PyList_GET_SIZE(slots);
    constexpr Py_ssize_t open_len = sizeof(array_open) - 1;
    // The last separator becomes "]".
    PyObject* out = PyBytes_FromStringAndSize(nullptr, open_len + total);
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    std::memcpy(p, array_open, open_len);
    p += open_len;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* b = PyList_GET_ITEM(slots, i);
        std::memcpy(p, PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
        p += PyBytes_GET_SIZE(b);
        *p++ = ',';
    }
    p[-1] = ']';
    return out;
}

PyObject* list_getquoted(PyObject* o, PyObject*)
{
    listObject* self = as_list(o);
    if (!self->adapted || !PyList_Check(self->adapted)) {
        PyErr_SetString(PyExc_TypeError, "List adapter without a list to quote");
        return nullptr;
    }
    // Element adapters may run any code, changing the list meanwhile: work
    // on a private snapshot, which then holds the element literals in place
    // of the items. Untracked, so that nothing can reach it through the GC.
    ref slots = ref::steal(PyList_GetSlice(self->adapted, 0, PY_SSIZE_T_MAX));
    if (!slots) return nullptr;
    PyObject_GC_UnTrack(slots.get());
    if (PyList_GET_SIZE(slots.get()) == 0)
        return PyBytes_FromStringAndSize(empty_array_literal, sizeof(empty_array_literal) - 1);

    recursion_guard guard;
    if (!guard.entered) return nullptr;
    bool all_nulls = true;
    const Py_ssize_t total = quote_elements(self, slots.get(), all_nulls);
    if (total < 0) return nullptr;
    return all_nulls ? list_join_quoted(slots.get(), total)
                     : list_join_constructor(slots.get(), total);
}

PyObject* list_prepare(PyObject* o, PyObject* args)
{
    PyObject* conn = nullptr;
    if (!PyArg_ParseTuple(args, "O!", &connectionType, &conn)) return nullptr;
    tv::set_slot(as_list(o)->conn, Py_NewRef(conn));
    Py_RETURN_NONE;
}

int list_init(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &value))
        return -1;
    if (!PyList_Check(value)) {
        PyErr_Format(PyExc_TypeError, "List() argument must be a list, not %s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    tv::set_slot(as_list(o)->adapted, Py_NewRef(value));
    return 0;
}

int list_traverse(PyObject* o, visitproc visit, void* arg)
{
    listObject* self = as_list(o);
    Py_VISIT(self->adapted);
    Py_VISIT(reinterpret_cast<PyObject*>(self->conn));
    return 0;
}

int list_clear(PyObject* o)
{
    listObject* self = as_list(o);
    Py_CLEAR(self->adapted);
    tv::clear_slot(self->conn);
    return 0;
}

void list_dealloc(PyObject* o)
{
    PyObject_GC_UnTrack(o);
    list_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyMethodDef list_methods[] = {
    {"getquoted", list_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"prepare", list_prepare, METH_VARARGS, "prepare(conn) -> set encoding to conn->encoding"},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(list_methods) == 3 + 1);

PyMemberDef list_members[] = {
    {"adapted", T_OBJECT, offsetof(listObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(list_members) == 1 + 1);

}  // namespace

// `adapted` leads the record as in the single-value adapters, so their
// __conform__ and str() serve this type too.
static_assert(offsetof(listObject, adapted) == offsetof(adapterObject, adapted));

PyTypeObject listType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2._tolvar.List",
    .tp_basicsize = sizeof(listObject),
    .tp_dealloc = list_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "List(list) -> new list wrapper object",
    .tp_traverse = list_traverse,
    .tp_clear = list_clear,
    .tp_methods = list_methods,
    .tp_members = list_members,
    .tp_init = list_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
    .tp_free = PyObject_GC_Del,
};
