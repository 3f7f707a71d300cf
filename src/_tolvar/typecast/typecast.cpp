// The typecaster type, the registries that map OIDs to typecasters, their
// initialisation and the module functions that create and register them.
#include "typecast/typecast.hpp"

#include <iterator>

using tv::ref;

PyObject* tolvar_string_types = nullptr;
PyObject* tolvar_binary_types = nullptr;
PyObject* default_typecaster = nullptr;
PyObject* bytea_typecaster = nullptr;

namespace {

typecastObject* as_typecast(PyObject* o) noexcept { return reinterpret_cast<typecastObject*>(o); }

// An OID as a signed 64-bit number: 1 when it is one, 0 when the integer is
// out of that range (it then equals no OID), -1 with an exception.
int oid_value(PyObject* o, long long* out)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return 0;
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 1;
}

// 1 when some OID of `values` equals `n`, 0 when none does, -1 on error.
int values_contain(PyObject* values, long long n)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
        long long v = 0;
        const int rc = oid_value(PyTuple_GET_ITEM(values, i), &v);
        if (rc < 0) return -1;
        if (rc > 0 && v == n) return 1;
    }
    return 0;
}

// Equality of a typecaster with another one (a shared OID) or with a number.
int typecast_equal(typecastObject* a, PyObject* b)
{
    if (!a->values || !PyTuple_Check(a->values)) return 0;
    if (PyObject_TypeCheck(b, &typecastType)) {
        PyObject* other = as_typecast(b)->values;
        if (!other || !PyTuple_Check(other)) return 0;
        const Py_ssize_t count = PyTuple_GET_SIZE(other);
        for (Py_ssize_t i = 0; i < count; ++i) {
            long long v = 0;
            const int rc = oid_value(PyTuple_GET_ITEM(other, i), &v);
            if (rc < 0) return -1;
            if (rc == 0) continue;
            const int found = values_contain(a->values, v);
            if (found != 0) return found;
        }
        return 0;
    }
    ref n = ref::steal(PyNumber_Long(b));
    if (!n) return -1;
    long long v = 0;
    const int rc = oid_value(n.get(), &v);
    if (rc <= 0) return rc;
    return values_contain(a->values, v);
}

// Every operator but == means "not equal", as for the DB-API type objects.
PyObject* typecast_richcompare(PyObject* self, PyObject* other, int op)
{
    const int eq = typecast_equal(as_typecast(self), other);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

PyObject* typecast_call(PyObject* self, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"", "", nullptr};
    const char* s = nullptr;
    Py_ssize_t len = 0;
    PyObject* curs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "z#O", const_cast<char**>(kwlist), &s, &len,
                                     &curs))
        return nullptr;
    if (!s) Py_RETURN_NONE;
    // "z#" lends str and buffers needing no release (bytes, in practice):
    // zero-terminated, as texts from a result are.
    return typecast_apply(self, s, len, curs);
}

PyObject* typecast_repr(PyObject* self)
{
    PyObject* name = as_typecast(self)->name;
    ref bytes = ref::steal(as_utf8_bytes(Py_NewRef(name ? name : Py_None)));
    if (!bytes) return nullptr;
    return PyUnicode_FromFormat("<%s '%s' at %p>", Py_TYPE(self)->tp_name,
                                PyBytes_AS_STRING(bytes.get()), self);
}

int typecast_traverse(PyObject* self, visitproc visit, void* arg)
{
    auto* t = as_typecast(self);
    Py_VISIT(t->values);
    Py_VISIT(t->name);
    Py_VISIT(t->castobj);
    Py_VISIT(t->baseobj);
    return 0;
}

int typecast_clear(PyObject* self)
{
    auto* t = as_typecast(self);
    tv::clear_slot(t->values);
    tv::clear_slot(t->name);
    tv::clear_slot(t->castobj);
    tv::clear_slot(t->baseobj);
    return 0;
}

void typecast_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    typecast_clear(self);
    Py_TYPE(self)->tp_free(self);
}

typecastObject* typecast_alloc(PyObject* name, PyObject* values)
{
    auto* t = PyObject_GC_New(typecastObject, &typecastType);
    if (!t) return nullptr;
    t->name = Py_NewRef(name ? name : Py_None);
    t->values = Py_NewRef(values);
    t->native_cast = nullptr;
    t->castobj = nullptr;
    t->baseobj = nullptr;
    return t;
}

// Stores the typecaster in a cursor's own registry, creating it on first use.
PyObject* cursor_registry(cursorObject* curs)
{
    if (!curs->string_types || curs->string_types == Py_None) {
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        tv::set_slot(curs->string_types, dict);
    }
    if (!PyDict_Check(curs->string_types)) {
        PyErr_SetString(PyExc_TypeError, "cursor.string_types must be a dict");
        return nullptr;
    }
    return curs->string_types;
}

PyObject* connection_registry(connectionObject* conn)
{
    if (!conn->string_types) {
        // A connection object whose __init__ never ran.
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        conn->string_types = dict;
    }
    return conn->string_types;
}

PyMemberDef typecast_members[] = {
    {"name", T_OBJECT, offsetof(typecastObject, name), READONLY, nullptr},
    {"values", T_OBJECT, offsetof(typecastObject, values), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(typecast_members) == 2 + 1);

}  // namespace

PyObject* typecast_apply(PyObject* typecaster, const char* str, Py_ssize_t len, PyObject* curs)
{
    // The typecaster must outlive the call even if a callable drops the
    // last registry reference to it.
    ref keep = ref::borrow(typecaster);
    auto* t = as_typecast(typecaster);
    // Only a real cursor has the field; anything else converts untouched.
    cursorObject* c = curs && PyObject_TypeCheck(curs, &cursorType)
                          ? reinterpret_cast<cursorObject*>(curs) : nullptr;
    PyObject* previous = nullptr;
    if (c) {
        previous = c->typecaster;
        c->typecaster = typecaster;  // borrowed: `keep` holds it
    }

    PyObject* res = nullptr;
    if (t->native_cast) {
        res = t->native_cast(str, len, curs);
    }
    else if (t->castobj) {
        ref value = str ? ref::steal(conn_decode_text(c ? c->connection : nullptr, str, len))
                        : ref::borrow(Py_None);
        if (value) {
            PyObject* argv[] = {value.get(), curs ? curs : Py_None};
            res = PyObject_Vectorcall(t->castobj, argv, 2, nullptr);
        }
    }
    else {
        PyErr_SetString(Error ? Error : reinterpret_cast<PyObject*>(&errorType),
                        "internal error: no casting function found");
    }

    if (c) c->typecaster = previous;
    return res;
}

PyObject* typecast_create(PyObject* name, PyObject* values, PyObject* castobj, PyObject* baseobj)
{
    typecastObject* t = typecast_alloc(name, values);
    if (!t) return nullptr;
    if (castobj && castobj != Py_None) t->castobj = Py_NewRef(castobj);
    if (baseobj) t->baseobj = Py_NewRef(baseobj);
    PyObject_GC_Track(t);
    return reinterpret_cast<PyObject*>(t);
}

PyObject* typecast_from_row(const typecast_row& row, PyObject* dict)
{
    ref base;
    if (row.base) {
        base = ref::steal(PyMapping_GetItemString(dict, row.base));
        if (!base) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
            PyErr_Clear();
            // Runs before the exception classes are published: use the type.
            PyErr_Format(reinterpret_cast<PyObject*>(&errorType), "typecast base not found: %s",
                         row.base);
            return nullptr;
        }
    }
    ref name = ref::steal(PyUnicode_FromString(row.name));
    if (!name) return nullptr;
    Py_ssize_t count = 0;
    while (count < static_cast<Py_ssize_t>(typecast_row::max_oids) && row.values[count]) ++count;
    ref values = ref::steal(PyTuple_New(count));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* oid = PyLong_FromLongLong(row.values[i]);
        if (!oid) return nullptr;
        PyTuple_SET_ITEM(values.get(), i, oid);
    }
    typecastObject* t = typecast_alloc(name.get(), values.get());
    if (!t) return nullptr;
    t->native_cast = row.cast;
    t->baseobj = base.release();
    PyObject_GC_Track(t);
    return reinterpret_cast<PyObject*>(t);
}

int typecast_register_oids(PyObject* typecaster, PyObject* dict)
{
    if (!dict) dict = tolvar_string_types;
    PyObject* values = as_typecast(typecaster)->values;
    if (!values || !PyTuple_Check(values)) return 0;
    const Py_ssize_t count = PyTuple_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyDict_SetItem(dict, PyTuple_GET_ITEM(values, i), typecaster) < 0) return -1;
    }
    return 0;
}

int typecast_type_setup()
{
    if (typecastType.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_TYPE(&typecastType, &PyType_Type);
    return PyType_Ready(&typecastType);
}

int typecasters_init(PyObject* module)
{
    if (typecast_type_setup() < 0) return -1;
    PyObject* dict = PyModule_GetDict(module);  // borrowed: the module holds it
    if (!dict) return -1;

    ref string_types = ref::steal(PyDict_New());
    if (!string_types) return -1;
    if (PyDict_SetItemString(dict, "string_types", string_types.get()) < 0) return -1;
    ref binary_types = ref::steal(PyDict_New());
    if (!binary_types) return -1;
    if (PyDict_SetItemString(dict, "binary_types", binary_types.get()) < 0) return -1;
    tolvar_string_types = string_types.release();
    tolvar_binary_types = binary_types.release();

    for (const typecast_row& row : builtin_typecasters) {
        debug_trace("typecasters_init: initializing %s\n", row.name);
        ref t = ref::steal(typecast_from_row(row, dict));
        if (!t) return -1;
        if (typecast_register_oids(t.get(), tolvar_string_types) < 0) return -1;
        if (PyDict_SetItemString(dict, row.name, t.get()) < 0) return -1;
        if (std::strcmp(row.name, "BINARY") == 0) bytea_typecaster = t.new_ref();
    }

    default_typecaster = typecast_from_row(default_typecaster_row, dict);
    if (!default_typecaster) return -1;

    // The date/time casts build their objects through the datetime capsule.
    if (typecast_datetime_setup() < 0) return -1;

    for (const typecast_row& row : pydatetime_typecasters) {
        debug_trace("typecasters_init: initializing %s\n", row.name);
        ref t = ref::steal(typecast_from_row(row, dict));
        if (!t) return -1;
        if (PyDict_SetItemString(dict, row.name, t.get()) < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Module functions.

const char tolvar_register_type_doc[] =
    "register_type(obj, conn_or_curs) -> None -- register obj with tolvar type system\n\n"
    ":Parameters:\n"
    "  * `obj`: A type adapter created by `new_type()`\n"
    "  * `conn_or_curs`: A connection, cursor or None";

const char tolvar_new_type_doc[] =
    "new_type(oids, name, castobj) -> new type object\n\n"
    "Create a new binding object. The object can be used with the\n"
    "`register_type()` function to bind PostgreSQL objects to python objects.\n\n"
    ":Parameters:\n"
    "  * `oids`: Tuple of ``oid`` of the PostgreSQL types to convert.\n"
    "  * `name`: Name for the new type\n"
    "  * `adapter`: Callable to perform type conversion.\n"
    "    It must have the signature ``fun(value, cur)`` where ``value`` is\n"
    "    the string representation returned by PostgreSQL (`!None` if ``NULL``)\n"
    "    and ``cur`` is the cursor from which data are read.";

PyObject* tolvar_register_type(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    PyObject* target = nullptr;
    if (!PyArg_ParseTuple(args, "O!|O", &typecastType, &obj, &target)) return nullptr;

    PyObject* dict = nullptr;
    if (!target || target == Py_None) {
        dict = tolvar_string_types;
    }
    else if (PyObject_TypeCheck(target, &cursorType)) {
        dict = cursor_registry(reinterpret_cast<cursorObject*>(target));
    }
    else if (PyObject_TypeCheck(target, &connectionType)) {
        dict = connection_registry(reinterpret_cast<connectionObject*>(target));
    }
    else {
        PyErr_SetString(PyExc_TypeError, "argument 2 must be a connection, cursor or None");
        return nullptr;
    }
    if (!dict) return nullptr;
    if (typecast_register_oids(obj, dict) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tolvar_new_type(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"values", "name", "castobj", "baseobj", nullptr};
    PyObject* values = nullptr;
    PyObject* name = nullptr;
    PyObject* castobj = nullptr;
    PyObject* baseobj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O!OO", const_cast<char**>(kwlist),
                                     &PyTuple_Type, &values, &PyUnicode_Type, &name, &castobj,
                                     &baseobj))
        return nullptr;
    return typecast_create(name, values, castobj, baseobj);
}

// ---------------------------------------------------------------------------

PyTypeObject typecastType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2._tolvar.type",
    .tp_basicsize = sizeof(typecastObject),
    .tp_dealloc = typecast_dealloc,
    .tp_repr = typecast_repr,
    // Equality with numbers makes a hash meaningless: unhashable.
    .tp_hash = PyObject_HashNotImplemented,
    .tp_call = typecast_call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "tolvar type-casting object",
    .tp_traverse = typecast_traverse,
    .tp_clear = typecast_clear,
    .tp_richcompare = typecast_richcompare,
    .tp_members = typecast_members,
    .tp_free = PyObject_GC_Del,
};
