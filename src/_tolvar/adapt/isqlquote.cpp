// ISQLQuote: the protocol object under which the adapters are registered.
#include "adapt/adapt.hpp"

#include <iterator>

namespace {

int isqlquote_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"", nullptr};
    PyObject* wrapped = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &wrapped))
        return -1;
    tv::set_slot(reinterpret_cast<isqlquoteObject*>(self)->wrapped, Py_NewRef(wrapped));
    return 0;
}

PyObject* isqlquote_new(PyTypeObject* type, PyObject*, PyObject*)
{
    return type->tp_alloc(type, 0);
}

void isqlquote_dealloc(PyObject* self)
{
    Py_CLEAR(reinterpret_cast<isqlquoteObject*>(self)->wrapped);
    Py_TYPE(self)->tp_free(self);
}

// The protocol's methods only name what a conforming object provides.
PyObject* isqlquote_none(PyObject*, PyObject*)
{
    Py_RETURN_NONE;
}

PyMethodDef isqlquote_methods[] = {
    {"getquoted", isqlquote_none, METH_NOARGS,
     "getquoted() -- return SQL-quoted representation of this object"},
    {"getbinary", isqlquote_none, METH_NOARGS,
     "getbinary() -- return SQL-quoted binary representation of this object"},
    {"getbuffer", isqlquote_none, METH_NOARGS, "getbuffer() -- return this object"},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(isqlquote_methods) == 3 + 1);

PyMemberDef isqlquote_members[] = {
    {"_wrapped", T_OBJECT, offsetof(isqlquoteObject, wrapped), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(isqlquote_members) == 1 + 1);

}  // namespace

PyTypeObject isqlquoteType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.extensions.ISQLQuote",
    .tp_basicsize = sizeof(isqlquoteObject),
    .tp_dealloc = isqlquote_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Abstract ISQLQuote protocol\n\n"
              "An object conform to this protocol should expose a ``getquoted()`` method\n"
              "returning the SQL representation of the object.\n\n",
    .tp_methods = isqlquote_methods,
    .tp_members = isqlquote_members,
    .tp_init = isqlquote_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = isqlquote_new,
};
