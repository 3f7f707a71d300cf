// QuotedString: text as a quoted and escaped SQL string literal.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

qstringObject* as_qstring(PyObject* o) noexcept { return reinterpret_cast<qstringObject*>(o); }

// The bytes to quote: a str encoded for the connection (or with the
// adapter's own encoding when there is none), or bytes as they are.
PyObject* qstring_data(qstringObject* self)
{
    PyObject* adapted = self->adapted;
    if (adapted && PyUnicode_Check(adapted)) {
        ref data = ref::steal(self->conn
            ? conn_encode_text(self->conn, adapted)
            : PyUnicode_AsEncodedString(adapted, self->encoding ? self->encoding : "latin1",
                                        nullptr));
        if (data && !PyBytes_Check(data.get())) {
            PyErr_Format(PyExc_TypeError, "encoder returned %s instead of bytes",
                         Py_TYPE(data.get())->tp_name);
            return nullptr;
        }
        return data.release();
    }
    if (adapted && PyBytes_Check(adapted)) return Py_NewRef(adapted);
    PyErr_SetString(PyExc_TypeError, "can't quote non-string object");
    return nullptr;
}

PyObject* qstring_quote(qstringObject* self)
{
    ref data = ref::steal(qstring_data(self));
    if (!data) return nullptr;
    const Py_ssize_t n = PyBytes_GET_SIZE(data.get());
    // Escaping at most doubles the text; E, two quotes and the terminator
    // of the bytes object make the rest, so the literal is written in place.
    if (n > (PY_SSIZE_T_MAX - 4) / 2) return PyErr_NoMemory();
    ref out = ref::steal(PyBytes_FromStringAndSize(nullptr, 2 * n + 3));
    if (!out) return nullptr;
    Py_ssize_t len = 0;
    if (!escape_string_literal(self->conn, PyBytes_AS_STRING(data.get()), n,
                               PyBytes_AS_STRING(out.get()), &len))
        return nullptr;
    PyObject* literal = out.release();
    if (_PyBytes_Resize(&literal, len) < 0) return nullptr;  // frees it on failure
    return literal;
}

PyObject* qstring_getquoted(PyObject* o, PyObject*)
{
    qstringObject* self = as_qstring(o);
    // The first literal is kept: later calls return it unchanged.
    if (!self->buffer) {
        PyObject* literal = qstring_quote(self);
        if (!literal) return nullptr;
        self->buffer = literal;
    }
    return Py_NewRef(self->buffer);
}

PyObject* qstring_prepare(PyObject* o, PyObject* args)
{
    PyObject* conn = nullptr;
    if (!PyArg_ParseTuple(args, "O!", &connectionType, &conn)) return nullptr;
    tv::set_slot(as_qstring(o)->conn, Py_NewRef(conn));
    Py_RETURN_NONE;
}

PyObject* qstring_get_encoding(PyObject* o, void*)
{
    qstringObject* self = as_qstring(o);
    if (self->conn) {
        // Without a client encoding the connection encodes as UTF-8.
        if (!self->conn->encoding) return PyUnicode_FromString("utf_8");
        return codec_for_pg_encoding(self->conn->encoding, nullptr);
    }
    return PyUnicode_FromString(self->encoding ? self->encoding : "latin1");
}

int qstring_set_encoding(PyObject* o, PyObject* value, void*)
{
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete the encoding attribute");
        return -1;
    }
    ref name = ref::steal(as_utf8_bytes(Py_NewRef(value)));
    if (!name) return -1;
    char* copy = nullptr;
    if (copy_string(&copy, PyBytes_AS_STRING(name.get()), -1) < 0) return -1;
    qstringObject* self = as_qstring(o);
    PyMem_Free(self->encoding);
    self->encoding = copy;
    return 0;
}

void qstring_dealloc(PyObject* o)
{
    qstringObject* self = as_qstring(o);
    Py_CLEAR(self->adapted);
    Py_CLEAR(self->buffer);
    tv::clear_slot(self->conn);
    PyMem_Free(self->encoding);
    self->encoding = nullptr;
    Py_TYPE(o)->tp_free(o);
}

PyMethodDef qstring_methods[] = {
    {"getquoted", qstring_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"prepare", qstring_prepare, METH_VARARGS,
     "prepare(conn) -> set encoding to conn->encoding and store conn"},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(qstring_methods) == 3 + 1);

PyMemberDef qstring_members[] = {
    {"adapted", T_OBJECT, offsetof(qstringObject, adapted), READONLY, nullptr},
    {"buffer", T_OBJECT, offsetof(qstringObject, buffer), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(qstring_members) == 2 + 1);

PyGetSetDef qstring_getsets[] = {
    {"encoding", qstring_get_encoding, qstring_set_encoding, "current encoding of the adapter",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
static_assert(std::size(qstring_getsets) == 1 + 1);

}  // namespace

// `adapted` leads the record as in the single-value adapters, so their
// constructor, __conform__ and str() serve this type too.
static_assert(offsetof(qstringObject, adapted) == offsetof(adapterObject, adapted));

PyTypeObject qstringType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.QuotedString",
    .tp_basicsize = sizeof(qstringObject),
    .tp_dealloc = qstring_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "QuotedString(str) -> new quoted object",
    .tp_methods = qstring_methods,
    .tp_members = qstring_members,
    .tp_getset = qstring_getsets,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
