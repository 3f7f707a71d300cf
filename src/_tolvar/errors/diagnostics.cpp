// Diagnostics: the fields of a server error report, read from the failed
// result that an Error object holds.
#include "errors/error.hpp"

#include <iterator>

namespace {

struct diagnosticsObject {
    PyObject_HEAD
    errorObject* err;
};

PyObject* diagnostics_new(PyTypeObject* type, PyObject*, PyObject*)
{
    return type->tp_alloc(type, 0);
}

int diagnostics_init(PyObject* o, PyObject* args, PyObject*)
{
    PyObject* err = nullptr;
    if (!PyArg_ParseTuple(args, "O", &err)) return -1;
    if (!PyObject_TypeCheck(err, &errorType)) {
        PyErr_SetString(PyExc_TypeError, "The argument must be a tolvar2.Error");
        return -1;
    }
    auto* self = reinterpret_cast<diagnosticsObject*>(o);
    tv::set_slot(self->err, Py_NewRef(err));
    return 0;
}

void diagnostics_dealloc(PyObject* o)
{
    auto* self = reinterpret_cast<diagnosticsObject*>(o);
    Py_CLEAR(self->err);
    Py_TYPE(o)->tp_free(o);
}

// One getter for every field; the closure carries the PG_DIAG_* code.
PyObject* diagnostics_field(PyObject* o, void* closure)
{
    auto* self = reinterpret_cast<diagnosticsObject*>(o);
    if (!self->err || !self->err->pgres) Py_RETURN_NONE;
    const int code = static_cast<int>(reinterpret_cast<intptr_t>(closure));
    const char* text = PQresultErrorField(self->err->pgres, code);
    return chars_to_text(text, -1, self->err->codec_decoder);
}

#define DIAG_FIELD(name, code)                                                 \
    {name, diagnostics_field, nullptr, nullptr,                               \
     reinterpret_cast<void*>(static_cast<intptr_t>(code))}

PyGetSetDef diagnostics_getsets[] = {
    DIAG_FIELD("severity", 'S'),
    DIAG_FIELD("severity_nonlocalized", 'V'),
    DIAG_FIELD("sqlstate", 'C'),
    DIAG_FIELD("message_primary", 'M'),
    DIAG_FIELD("message_detail", 'D'),
    DIAG_FIELD("message_hint", 'H'),
    DIAG_FIELD("statement_position", 'P'),
    DIAG_FIELD("internal_position", 'p'),
    DIAG_FIELD("internal_query", 'q'),
    DIAG_FIELD("context", 'W'),
    DIAG_FIELD("schema_name", 's'),
    DIAG_FIELD("table_name", 't'),
    DIAG_FIELD("column_name", 'c'),
    DIAG_FIELD("datatype_name", 'd'),
    DIAG_FIELD("constraint_name", 'n'),
    DIAG_FIELD("source_file", 'F'),
    DIAG_FIELD("source_line", 'L'),
    DIAG_FIELD("source_function", 'R'),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
static_assert(std::size(diagnostics_getsets) == 18 + 1);

}  // namespace

PyTypeObject diagnosticsType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Diagnostics",
    .tp_basicsize = sizeof(diagnosticsObject),
    .tp_dealloc = diagnostics_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Details from a database error report.\n\n"
              "The object is returned by the ``diag`` attribute of the ``Error`` object.\n"
              "All the information available from the ``PQresultErrorField()`` function\n"
              "are exposed as attributes by the object.\n\n"
              "See https://www.postgresql.org/docs/current/libpq-exec.html",
    .tp_getset = diagnostics_getsets,
    .tp_init = diagnostics_init,
    .tp_new = diagnostics_new,
};
