// AsIs: the value's own text, neither quoted nor escaped.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

PyObject* asis_getquoted(PyObject* self, PyObject*)
{
    PyObject* adapted = reinterpret_cast<adapterObject*>(self)->adapted;
    if (!adapted || adapted == Py_None) return Py_NewRef(null_literal);
    ref text = ref::steal(PyObject_Str(adapted));
    if (!text) return nullptr;
    return PyUnicode_AsUTF8String(text.get());
}

PyMethodDef asis_methods[] = {
    {"getquoted", asis_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(asis_methods) == 2 + 1);

PyMemberDef asis_members[] = {
    {"adapted", T_OBJECT, offsetof(adapterObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(asis_members) == 1 + 1);

}  // namespace

PyTypeObject asisType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.AsIs",
    .tp_basicsize = sizeof(adapterObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "AsIs(str) -> new AsIs adapter object",
    .tp_methods = asis_methods,
    .tp_members = asis_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
