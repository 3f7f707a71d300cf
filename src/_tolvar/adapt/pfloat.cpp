// Float: floating-point numbers by their repr, with the special values
// spelled as float literals the server understands.
#include "adapt/adapt.hpp"

#include <cmath>
#include <iterator>

using tv::ref;

namespace {

PyObject* pfloat_getquoted(PyObject* self, PyObject*)
{
    PyObject* adapted = reinterpret_cast<adapterObject*>(self)->adapted;
    if (!adapted) adapted = Py_None;  // an instance whose __init__ never ran
    const double d = PyFloat_AsDouble(adapted);
    if (d == -1.0 && PyErr_Occurred()) return nullptr;
    if (std::isnan(d)) return PyBytes_FromString("'NaN'::float");
    if (std::isinf(d))
        return PyBytes_FromString(d > 0 ? "'Infinity'::float" : "'-Infinity'::float");
    // The repr of the value itself: the shortest text that reads back exactly.
    ref text = ref::steal(PyObject_Repr(adapted));
    if (!text) return nullptr;
    return number_literal(text.get());
}

PyMethodDef pfloat_methods[] = {
    {"getquoted", pfloat_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(pfloat_methods) == 2 + 1);

PyMemberDef pfloat_members[] = {
    {"adapted", T_OBJECT, offsetof(adapterObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(pfloat_members) == 1 + 1);

}  // namespace

PyTypeObject pfloatType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Float",
    .tp_basicsize = sizeof(adapterObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Float(str) -> new Float adapter object",
    .tp_methods = pfloat_methods,
    .tp_members = pfloat_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
