// Column: one item of a cursor's description, the DB-API 7-item sequence
// with named attributes and two more fields.
#include "cursor/cursor.hpp"

#include <algorithm>
#include <iterator>

using tv::ref;

namespace {

inline columnObject* as_column(PyObject* o) { return reinterpret_cast<columnObject*>(o); }

// The nine fields in record order; the first seven make up the sequence.
constexpr PyObject* columnObject::* column_fields[] = {
    &columnObject::name,          &columnObject::type_code, &columnObject::display_size,
    &columnObject::internal_size, &columnObject::precision, &columnObject::scale,
    &columnObject::null_ok,       &columnObject::table_oid, &columnObject::table_column,
};
constexpr Py_ssize_t column_nfields = std::size(column_fields);
constexpr Py_ssize_t column_seqlen = 7;

inline PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

// The 7-tuple the object stands for, as tuple(col) would build it.
PyObject* column_as_tuple(columnObject* self)
{
    ref tuple = ref::steal(PyTuple_New(column_seqlen));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < column_seqlen; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(or_none(self->*column_fields[i])));
    return tuple.release();
}

int column_init(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"name",      "type_code", "display_size",
                                   "internal_size", "precision", "scale",
                                   "null_ok",   "table_oid", "table_column",
                                   nullptr};
    PyObject* values[column_nfields] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOOO", const_cast<char**>(kwlist),
                                     &values[0], &values[1], &values[2], &values[3],
                                     &values[4], &values[5], &values[6], &values[7],
                                     &values[8]))
        return -1;
    columnObject* self = as_column(o);
    for (Py_ssize_t i = 0; i < column_nfields; ++i)
        if (values[i]) tv::set_slot(self->*column_fields[i], Py_NewRef(values[i]));
    return 0;
}

void column_dealloc(PyObject* o)
{
    columnObject* self = as_column(o);
    for (auto field : column_fields) tv::clear_slot(self->*field);
    Py_TYPE(o)->tp_free(o);
}

PyObject* column_repr(PyObject* o)
{
    columnObject* self = as_column(o);
    return PyUnicode_FromFormat("Column(name=%R, type_code=%R)", or_none(self->name),
                                or_none(self->type_code));
}

PyObject* column_richcompare(PyObject* o, PyObject* other, int op)
{
    ref tuple = ref::steal(column_as_tuple(as_column(o)));
    if (!tuple) return nullptr;
    return PyObject_RichCompare(tuple.get(), other, op);
}

Py_ssize_t column_len(PyObject*)
{
    return column_seqlen;
}

PyObject* column_item(PyObject* o, Py_ssize_t i)
{
    if (i < 0) i += column_seqlen;
    if (i < 0 || i >= column_seqlen) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        return nullptr;
    }
    return Py_NewRef(or_none(as_column(o)->*column_fields[i]));
}

PyObject* column_subscript(PyObject* o, PyObject* key)
{
    // Through the tuple, so slices and negative indices behave as on a tuple.
    ref tuple = ref::steal(column_as_tuple(as_column(o)));
    if (!tuple) return nullptr;
    return PyObject_GetItem(tuple.get(), key);
}

PyObject* column_getstate(PyObject* o, PyObject*)
{
    return column_as_tuple(as_column(o));
}

PySequenceMethods column_sequence = {
    .sq_length = column_len,
    .sq_item = column_item,
};

PyMappingMethods column_mapping = {
    .mp_length = column_len,
    .mp_subscript = column_subscript,
};

PyMethodDef column_methods[] = {
    {"__getstate__", column_getstate, METH_NOARGS, nullptr},
    {"__setstate__", column_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef column_members[] = {
    {"name", T_OBJECT, offsetof(columnObject, name), READONLY,
     "The name of the column returned."},
    {"type_code", T_OBJECT, offsetof(columnObject, type_code), READONLY,
     "The PostgreSQL OID of the column.\n\n"
     "You can use the pg_type system table to get more informations about the\n"
     "type. This is the value used by tolvar2 to decide what Python type use\n"
     "to represent the value"},
    {"display_size", T_OBJECT, offsetof(columnObject, display_size), READONLY,
     "The actual length of the column in bytes.\n\n"
     "Obtaining this value is computationally intensive, so it is always None"},
    {"internal_size", T_OBJECT, offsetof(columnObject, internal_size), READONLY,
     "The size in bytes of the column associated to this column on the server.\n\n"
     "Set to a negative value for variable-size types."},
    {"precision", T_OBJECT, offsetof(columnObject, precision), READONLY,
     "Total number of significant digits in columns of type NUMERIC.\n\n"
     "None for other types."},
    {"scale", T_OBJECT, offsetof(columnObject, scale), READONLY,
     "Count of decimal digits in the fractional part in columns of type NUMERIC.\n\n"
     "None for other types."},
    {"null_ok", T_OBJECT, offsetof(columnObject, null_ok), READONLY, "Always none."},
    {"table_oid", T_OBJECT, offsetof(columnObject, table_oid), READONLY,
     "The OID of the table from which the column was fetched.\n\n"
     "None if not available"},
    {"table_column", T_OBJECT, offsetof(columnObject, table_column), READONLY,
     "The number (within its table) of the column making up the result\n\n"
     "None if not available"},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

TV_EXPORT PyObject* column_setstate(PyObject* o, PyObject* state)
{
    if (state == Py_None) Py_RETURN_NONE;
    if (!PyTuple_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state is not a tuple");
        return nullptr;
    }
    columnObject* self = as_column(o);
    const Py_ssize_t n = std::min(PyTuple_GET_SIZE(state), column_nfields);
    for (Py_ssize_t i = 0; i < n; ++i)
        tv::set_slot(self->*column_fields[i], Py_NewRef(PyTuple_GET_ITEM(state, i)));
    Py_RETURN_NONE;
}

PyTypeObject columnType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Column",
    .tp_basicsize = sizeof(columnObject),
    .tp_dealloc = column_dealloc,
    .tp_repr = column_repr,
    .tp_as_sequence = &column_sequence,
    .tp_as_mapping = &column_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Description of a column returned by a query.\n\n"
              "The DBAPI demands this object to be a 7-items sequence. This object\n"
              "respects this interface, but adds names for the exposed attributes\n"
              "and adds attribute not requested by the DBAPI.",
    .tp_richcompare = column_richcompare,
    .tp_methods = column_methods,
    .tp_members = column_members,
    .tp_init = column_init,
    .tp_new = PyType_GenericNew,
};
