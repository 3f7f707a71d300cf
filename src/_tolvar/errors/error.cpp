// The Error type: base of every exception the driver raises.
#include "errors/error.hpp"

using tv::ref;

namespace {

int error_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, args, kwargs);
}

int error_traverse(PyObject* o, visitproc visit, void* arg)
{
    auto* self = reinterpret_cast<errorObject*>(o);
    Py_VISIT(self->pgerror);
    Py_VISIT(self->pgcode);
    Py_VISIT(self->cursor);
    Py_VISIT(self->codec_decoder);
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_traverse(o, visit, arg);
}

int error_clear(PyObject* o)
{
    auto* self = reinterpret_cast<errorObject*>(o);
    Py_CLEAR(self->pgerror);
    Py_CLEAR(self->pgcode);
    Py_CLEAR(self->cursor);
    Py_CLEAR(self->codec_decoder);
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_clear(o);
}

void error_dealloc(PyObject* o)
{
    auto* self = reinterpret_cast<errorObject*>(o);
    PyObject_GC_UnTrack(o);
    error_clear(o);
    PQclear(self->pgres);
    self->pgres = nullptr;
    Py_TYPE(o)->tp_free(o);
}

PyObject* error_get_diag(PyObject* self, void*)
{
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&diagnosticsType), self);
}

PyObject* error_reduce(PyObject* o, PyObject*)
{
    auto* self = reinterpret_cast<errorObject*>(o);
    ref meth = ref::steal(PyObject_GetAttrString(PyExc_Exception, "__reduce__"));
    if (!meth) return nullptr;
    ref rv = ref::steal(PyObject_CallOneArg(meth.get(), o));
    if (!rv) return nullptr;
    if (!PyTuple_Check(rv.get()) || PyTuple_GET_SIZE(rv.get()) != 2) return rv.release();

    ref state = ref::steal(PyDict_New());
    if (!state) return nullptr;
    if (self->pgerror && PyDict_SetItemString(state.get(), "pgerror", self->pgerror) < 0)
        return nullptr;
    if (self->pgcode && PyDict_SetItemString(state.get(), "pgcode", self->pgcode) < 0)
        return nullptr;
    return PyTuple_Pack(3, PyTuple_GET_ITEM(rv.get(), 0), PyTuple_GET_ITEM(rv.get(), 1),
                        state.get());
}

PyMemberDef error_members[] = {
    {"pgerror", T_OBJECT, offsetof(errorObject, pgerror), READONLY,
     "The error message returned by the backend, if available, else None"},
    {"pgcode", T_OBJECT, offsetof(errorObject, pgcode), READONLY,
     "The error code returned by the backend, if available, else None"},
    {"cursor", T_OBJECT, offsetof(errorObject, cursor), READONLY,
     "The cursor that raised the exception, if available, else None"},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef error_methods[] = {
    // Pickling: the state carries pgerror and pgcode only.
    {"__reduce__", error_reduce, METH_NOARGS, nullptr},
    {"__setstate__", error_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef error_getsets[] = {
    {"diag", error_get_diag, nullptr,
     "A Diagnostics object to get further information about the error", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

TV_EXPORT PyObject* error_setstate(PyObject* o, PyObject* state)
{
    auto* self = reinterpret_cast<errorObject*>(o);
    if (state == Py_None) Py_RETURN_NONE;
    if (!PyDict_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state is not a dictionary");
        return nullptr;
    }
    tv::set_slot(self->pgerror, Py_XNewRef(PyDict_GetItemString(state, "pgerror")));
    tv::set_slot(self->pgcode, Py_XNewRef(PyDict_GetItemString(state, "pgcode")));
    Py_CLEAR(self->cursor);
    Py_RETURN_NONE;
}

PyTypeObject errorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2.Error",
    .tp_basicsize = sizeof(errorObject),
    .tp_dealloc = error_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Base class for error exceptions.",
    .tp_traverse = error_traverse,
    .tp_clear = error_clear,
    .tp_methods = error_methods,
    .tp_members = error_members,
    .tp_getset = error_getsets,
    .tp_init = error_init,
};

int error_type_setup()
{
    errorType.tp_base = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    return PyType_Ready(&errorType);
}
