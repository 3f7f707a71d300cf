// Boolean: the SQL keywords true and false.
#include "adapt/adapt.hpp"

#include <iterator>

namespace {

PyObject* pboolean_getquoted(PyObject* self, PyObject*)
{
    PyObject* adapted = reinterpret_cast<adapterObject*>(self)->adapted;
    // A failing truth test is reported rather than taken for true.
    const int truth = adapted ? PyObject_IsTrue(adapted) : 0;
    if (truth < 0) return nullptr;
    return truth ? PyBytes_FromStringAndSize("true", 4) : PyBytes_FromStringAndSize("false", 5);
}

PyMethodDef pboolean_methods[] = {
    {"getquoted", pboolean_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(pboolean_methods) == 2 + 1);

PyMemberDef pboolean_members[] = {
    {"adapted", T_OBJECT, offsetof(adapterObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(pboolean_members) == 1 + 1);

}  // namespace

PyTypeObject pbooleanType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.Boolean",
    .tp_basicsize = sizeof(adapterObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Boolean(str) -> new Boolean adapter object",
    .tp_methods = pboolean_methods,
    .tp_members = pboolean_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
