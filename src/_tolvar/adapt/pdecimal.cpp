// Decimal: decimal.Decimal values as numeric literals.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

namespace {

PyObject* nan_literal()
{
    return PyBytes_FromString("'NaN'::numeric");
}

PyObject* infinity_literal(bool negative)
{
    return PyBytes_FromString(negative ? "'-Infinity'::numeric" : "'Infinity'::numeric");
}

PyObject* s_is_finite = nullptr;
PyObject* s_is_infinite = nullptr;
PyObject* s_is_signed = nullptr;
PyObject* s_isnan = nullptr;
PyObject* s_isinfinity = nullptr;

PyObject* call_noargs(PyObject* obj, PyObject*& slot, const char* name)
{
    PyObject* method = adapt_interned(slot, name);
    return method ? PyObject_CallMethodNoArgs(obj, method) : nullptr;
}

// A value that is not finite: an infinity keeps its sign (the server has
// numeric infinities), anything else is NaN.
PyObject* nonfinite_literal(PyObject* adapted)
{
    ref inf = ref::steal(call_noargs(adapted, s_is_infinite, "is_infinite"));
    if (!inf) return nullptr;
    const int is_inf = PyObject_IsTrue(inf.get());
    if (is_inf < 0) return nullptr;
    if (!is_inf) return nan_literal();
    ref sign = ref::steal(call_noargs(adapted, s_is_signed, "is_signed"));
    if (!sign) return nullptr;
    const int negative = PyObject_IsTrue(sign.get());
    if (negative < 0) return nullptr;
    return infinity_literal(negative);
}

// Objects without is_finite() (older decimal implementations) answer
// _isnan() and _isinfinity(), the latter with the infinity's sign.
// Returns null with no exception set when the value is finite.
PyObject* legacy_nonfinite_literal(PyObject* adapted, bool& failed)
{
    failed = true;
    ref nan = ref::steal(call_noargs(adapted, s_isnan, "_isnan"));
    if (!nan) return nullptr;
    const int is_nan = PyObject_IsTrue(nan.get());
    if (is_nan < 0) return nullptr;
    if (is_nan) return nan_literal();
    ref inf = ref::steal(call_noargs(adapted, s_isinfinity, "_isinfinity"));
    if (!inf) return nullptr;
    const int is_inf = PyObject_IsTrue(inf.get());
    if (is_inf < 0) return nullptr;
    if (is_inf) {
        const long sign = PyLong_Check(inf.get()) ? PyLong_AsLong(inf.get()) : 1;
        if (sign == -1 && PyErr_Occurred()) return nullptr;
        return infinity_literal(sign < 0);
    }
    failed = false;
    return nullptr;
}

PyObject* pdecimal_getquoted(PyObject* self, PyObject*)
{
    PyObject* adapted = reinterpret_cast<adapterObject*>(self)->adapted;
    if (!adapted) adapted = Py_None;  // an instance whose __init__ never ran
    ref finite = ref::steal(call_noargs(adapted, s_is_finite, "is_finite"));
    if (finite) {
        if (finite.get() != Py_True) return nonfinite_literal(adapted);
    } else {
        // Only a missing method sends us to the older protocol.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        bool failed = false;
        PyObject* special = legacy_nonfinite_literal(adapted, failed);
        if (special || failed) return special;
    }
    ref text = ref::steal(PyObject_Str(adapted));
    if (!text) return nullptr;
    return number_literal(text.get());
}

PyMethodDef pdecimal_methods[] = {
    {"getquoted", pdecimal_getquoted, METH_NOARGS, adapter_getquoted_doc},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(pdecimal_methods) == 2 + 1);

PyMemberDef pdecimal_members[] = {
    {"adapted", T_OBJECT, offsetof(adapterObject, adapted), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(pdecimal_members) == 1 + 1);

}  // namespace

PyTypeObject pdecimalType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2._tolvar.Decimal",
    .tp_basicsize = sizeof(adapterObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Decimal(str) -> new Decimal adapter object",
    .tp_methods = pdecimal_methods,
    .tp_members = pdecimal_members,
    .tp_init = adapter_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};
