// The adapter registry, the adaptation lookup, the module function adapt(),
// the registration of the built-in adapters, and the pieces shared by the
// adapter types.
#include "adapt/adapt.hpp"

#include <iterator>

using tv::ref;

PyObject* tolvar_adapters = nullptr;

const char adapter_getquoted_doc[] = "getquoted() -> wrapped object value as SQL-quoted string";
const char tolvar_adapt_doc[] = "adapt(obj, protocol, alternate) -> object -- adapt obj to given protocol";

PyObject* adapt_interned(PyObject*& slot, const char* text)
{
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

namespace {

PyObject* s_adapt = nullptr;
PyObject* s_conform = nullptr;
PyObject* s_prepare = nullptr;
PyObject* s_getquoted = nullptr;

// 1 with a new reference in `out`, 0 when the key is absent, -1 on error.
// A new reference, because calling the factory may run code that rebinds
// the registry entry.
int dict_lookup(PyObject* dict, PyObject* key, ref& out)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    const int rc = PyDict_GetItemRef(dict, key, &v);
    out = ref::steal(v);
    return rc;
#else
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v) return PyErr_Occurred() ? -1 : 0;
    out = ref::borrow(v);
    return 1;
#endif
}

// 1 with the attribute in `out`, 0 when there is none, -1 on another error.
int optional_attr(PyObject* obj, PyObject* name, ref& out)
{
    PyObject* v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int rc = PyObject_GetOptionalAttr(obj, name, &v);
#else
    const int rc = _PyObject_LookupAttr(obj, name, &v);
#endif
    out = ref::steal(v);
    return rc;
}

// The registry entry for (type, proto): 1 found, 0 none, -1 error.
int registry_lookup(PyObject* type, PyObject* proto, ref& out)
{
    ref key = ref::steal(PyTuple_Pack(2, type, proto));
    if (!key) return -1;
    return dict_lookup(tolvar_adapters, key.get(), out);
}

// One of the two hooks: `target.name(arg)`. 1 with an adapter in `out`,
// 0 when the hook is missing, declines (None) or raises TypeError, -1 when
// it raises anything else.
int try_hook(PyObject* target, PyObject*& name_slot, const char* name, PyObject* arg, ref& out)
{
    PyObject* name_obj = adapt_interned(name_slot, name);
    if (!name_obj) return -1;
    ref hook;
    const int rc = optional_attr(target, name_obj, hook);
    if (rc <= 0) return rc;
    ref res = ref::steal(PyObject_CallOneArg(hook.get(), arg));
    if (!res) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (res.get() == Py_None) return 0;
    out = std::move(res);
    return 1;
}

PyObject* cant_adapt(PyObject* obj)
{
    // The message is cut to a fixed size, as the type name can be any length.
    char msg[255];
    std::snprintf(msg, sizeof(msg), "can't adapt type '%s'", Py_TYPE(obj)->tp_name);
    raise_with_cursor(ProgrammingError, nullptr, msg);
    return nullptr;
}

// The built-in registrations. The adapted type is either a static type or,
// for the datetime types, found at initialisation through `lookup_type`
// (they live behind the datetime capsule); the factory is either an
// adapter type or a module function found by name (such as "DateFromPy").
struct builtin_adapter {
    PyTypeObject* type;
    PyTypeObject* (*lookup_type)();
    PyTypeObject* factory;
    const char* factory_name;
};

// In registration order.
constexpr builtin_adapter builtin_adapters[] = {
    {&PyFloat_Type, nullptr, &pfloatType, nullptr},
    {&PyLong_Type, nullptr, &pintType, nullptr},
    {&PyBool_Type, nullptr, &pbooleanType, nullptr},
    {&PyUnicode_Type, nullptr, &qstringType, nullptr},
    {&PyBytes_Type, nullptr, &binaryType, nullptr},
    {&PyByteArray_Type, nullptr, &binaryType, nullptr},
    {&PyMemoryView_Type, nullptr, &binaryType, nullptr},
    {&PyList_Type, nullptr, &listType, nullptr},
    {nullptr, pydatetime_date_type, nullptr, "DateFromPy"},
    {nullptr, pydatetime_time_type, nullptr, "TimeFromPy"},
    {nullptr, pydatetime_datetime_type, nullptr, "TimestampFromPy"},
    {nullptr, pydatetime_delta_type, nullptr, "IntervalFromPy"},
};
static_assert(std::size(builtin_adapters) == 12);

}  // namespace

// ---------------------------------------------------------------------------
// Registry and lookup

PyObject* microprotocols_adapt(PyObject* obj, PyObject* proto)
{
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    debug_trace("microprotocols_adapt: trying to adapt %s\n", Py_TYPE(obj)->tp_name);

    ref factory;
    int rc = registry_lookup(type, proto, factory);
    if (rc < 0) return nullptr;
    if (rc > 0) return PyObject_CallOneArg(factory.get(), obj);

    ref adapted;
    if ((rc = try_hook(proto, s_adapt, "__adapt__", obj, adapted)) != 0)
        return rc > 0 ? adapted.release() : nullptr;
    if ((rc = try_hook(obj, s_conform, "__conform__", proto, adapted)) != 0)
        return rc > 0 ? adapted.release() : nullptr;

    // The nearest registered base class; a None entry stops the walk.
    ref mro = ref::borrow(Py_TYPE(obj)->tp_mro);
    if (mro && PyTuple_Check(mro.get())) {
        const Py_ssize_t n = PyTuple_GET_SIZE(mro.get());
        for (Py_ssize_t i = 1; i < n; ++i) {
            rc = registry_lookup(PyTuple_GET_ITEM(mro.get(), i), proto, factory);
            if (rc < 0) return nullptr;
            if (rc == 0) continue;
            if (factory.get() == Py_None) break;
            return PyObject_CallOneArg(factory.get(), obj);
        }
    }
    return cant_adapt(obj);
}

PyObject* microprotocol_getquoted(PyObject* obj, connectionObject* conn)
{
    PyObject* proto = reinterpret_cast<PyObject*>(&isqlquoteType);
    ref adapted = ref::steal(microprotocols_adapt(obj, proto));
    if (!adapted) return nullptr;

    if (conn) {
        PyObject* name = adapt_interned(s_prepare, "prepare");
        if (!name) return nullptr;
        ref prepare;
        const int rc = optional_attr(adapted.get(), name, prepare);
        if (rc < 0) return nullptr;
        if (rc > 0) {
            ref res = ref::steal(
                PyObject_CallOneArg(prepare.get(), reinterpret_cast<PyObject*>(conn)));
            if (!res) return nullptr;
        }
    }

    PyObject* name = adapt_interned(s_getquoted, "getquoted");
    if (!name) return nullptr;
    ref res = ref::steal(PyObject_CallMethodNoArgs(adapted.get(), name));
    if (res && PyUnicode_CheckExact(res.get()))
        return conn_encode_text(conn, res.get());
    return res.release();
}

int adapter_register(PyTypeObject* type, PyObject* proto, PyObject* factory)
{
    if (!proto) proto = reinterpret_cast<PyObject*>(&isqlquoteType);
    debug_trace("adapter_register: registering %s\n", type->tp_name);
    ref key = ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(type), proto));
    if (!key) return -1;
    return PyDict_SetItem(tolvar_adapters, key.get(), factory);
}

int adapter_registry_init(PyObject* module)
{
    ref dict = ref::steal(PyDict_New());
    if (!dict) return -1;
    if (PyModule_AddObjectRef(module, "adapters", dict.get()) < 0) return -1;
    tolvar_adapters = dict.release();
    return 0;
}

int register_builtin_adapters(PyObject* module)
{
    if (adapter_registry_init(module) < 0) return -1;
    PyObject* mdict = PyModule_GetDict(module);  // borrowed, never null for a module
    for (const auto& row : builtin_adapters) {
        PyTypeObject* type = row.type ? row.type : row.lookup_type ? row.lookup_type() : nullptr;
        if (!type) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ImportError, "adapted type not available");
            return -1;
        }
        PyObject* factory = reinterpret_cast<PyObject*>(row.factory);
        if (!factory) {
            factory = PyDict_GetItemString(mdict, row.factory_name);
            if (!factory) {
                PyErr_Format(PyExc_AttributeError, "module has no attribute '%s'",
                             row.factory_name);
                return -1;
            }
        }
        if (adapter_register(type, nullptr, factory) < 0) return -1;
    }
    return 0;
}

PyObject* tolvar_adapt(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    PyObject* proto = reinterpret_cast<PyObject*>(&isqlquoteType);
    PyObject* alternate = nullptr;  // accepted for compatibility, not used
    if (!PyArg_ParseTuple(args, "O|OO", &obj, &proto, &alternate)) return nullptr;
    return microprotocols_adapt(obj, proto);
}

// ---------------------------------------------------------------------------
// Shared by the adapter types

PyObject* adapter_new(PyTypeObject* type, PyObject*, PyObject*)
{
    return type->tp_alloc(type, 0);
}

int adapter_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &value))
        return -1;
    tv::set_slot(reinterpret_cast<adapterObject*>(self)->adapted, Py_NewRef(value));
    return 0;
}

void adapter_dealloc(PyObject* self)
{
    Py_CLEAR(reinterpret_cast<adapterObject*>(self)->adapted);
    Py_TYPE(self)->tp_free(self);
}

PyObject* adapter_conform(PyObject* self, PyObject* proto)
{
    if (proto == reinterpret_cast<PyObject*>(&isqlquoteType)) return Py_NewRef(self);
    Py_RETURN_NONE;
}

PyObject* adapter_str(PyObject* self)
{
    PyObject* name = adapt_interned(s_getquoted, "getquoted");
    if (!name) return nullptr;
    return decode_utf8_replace(PyObject_CallMethodNoArgs(self, name));
}

PyObject* number_literal(PyObject* text)
{
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return nullptr;
    if (n == 0 || s[0] != '-') return PyBytes_FromStringAndSize(s, n);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n + 1);
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    p[0] = ' ';
    std::memcpy(p + 1, s, static_cast<size_t>(n));
    return out;
}
