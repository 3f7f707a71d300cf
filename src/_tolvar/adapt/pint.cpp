// Int: integers as their decimal text.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

PyObject* pint_getquoted(PyObject* self, PyObject*)
{
    PyObject* adapted = reinterpret_cast<adapterObject*>(self)->adapted;
    if (!adapted) adapted = Py_None;  // an instance whose __init__ never ran
    // Anything but an exact int (bool, int subclasses with their own
    // __str__, floats) goes through int() so that the text is a number.
    ref number;
    if (PyLong_CheckExact(adapted)) {
        number = ref::borrow(adapted);
    } else {
        number = ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), adapted));
        if (!number) return nullptr;
    }
    ref text = ref::steal(PyObject_Str(number.get()));
    if (!text) return nullptr;
    return number_literal(text.get());
}

PyMethodDef pint_methods[] = {
    {"getquoted", pint_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(pint_methods) == 2 + 1);

PyMemberDef pint_members[] = {
    {"adapted", T_OBJECT, offsetof(adapterObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(pint_members) == 1 + 1);

}  // namespace

PyTypeObject pintType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Int",
    .tp_basicsize = sizeof(adapterObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Int(str) -> new Int adapter object",
    .tp_methods = pint_methods,
    .tp_members = pint_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
