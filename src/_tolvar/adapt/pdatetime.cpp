// The date/time wrapper: dates, times, datetimes and timedeltas as SQL
// literals with an explicit cast; the DB-API constructors and the FromPy
// factories that build wrappers.
#include "module/pydatetime.hpp"
#include "adapt/adapt.hpp"

#include <cmath>
#include <ctime>
#include <iterator>
#include <limits>

using tv::ref;

namespace {

pydatetimeObject* as_pydatetime(PyObject* o) noexcept
{
    return reinterpret_cast<pydatetimeObject*>(o);
}

PyObject* s_tzinfo = nullptr;
PyObject* s_isoformat = nullptr;
PyObject* s_astimezone = nullptr;

// The casts by kind code, naive and aware.
struct kind_casts {
    const char* naive;
    const char* aware;
};
constexpr kind_casts casts_by_kind[] = {
    {"'::time", "'::timetz"},             // PYDATETIME_TIME
    {"'::date", "'::date"},               // PYDATETIME_DATE (no tzinfo read)
    {"'::timestamp", "'::timestamptz"},   // PYDATETIME_TIMESTAMP
};
static_assert(std::size(casts_by_kind) == PYDATETIME_INTERVAL);

// A new wrapper around `obj` (stolen) with kind `code`.
PyObject* pydatetime_wrap(PyObject* obj, int code)
{
    ref adapted = ref::steal(obj);
    if (!adapted) return nullptr;
    PyObject* w = pydatetimeType.tp_alloc(&pydatetimeType, 0);
    if (!w) return nullptr;
    as_pydatetime(w)->adapted = adapted.release();
    as_pydatetime(w)->type = code;
    return w;
}

// '<days> days <seconds>.<micro> seconds'::interval from the normalised
// fields, which need no quoting.
PyObject* interval_literal(PyObject* adapted)
{
    if (!PyDelta_Check(adapted)) {
        PyErr_Format(PyExc_TypeError, "an interval wrapper needs a datetime.timedelta, not %s",
                     Py_TYPE(adapted)->tp_name);
        return nullptr;
    }
    char buf[80];
    const int n = std::snprintf(buf, sizeof(buf), "'%d days %d.%06d seconds'::interval",
                                PyDateTime_DELTA_GET_DAYS(adapted),
                                PyDateTime_DELTA_GET_SECONDS(adapted),
                                PyDateTime_DELTA_GET_MICROSECONDS(adapted));
    return PyBytes_FromStringAndSize(buf, n);
}

// 'isoformat()'<cast>. The text goes inside quotes unescaped, which is
// sound for what the datetime types produce; an isoformat() override
// producing quotes or backslashes is refused rather than spliced in.
PyObject* iso_literal(PyObject* adapted, const char* cast)
{
    PyObject* name = adapt_interned(s_isoformat, "isoformat");
    if (!name) return nullptr;
    ref iso = ref::steal(PyObject_CallMethodNoArgs(adapted, name));
    if (!iso) return nullptr;
    const char* text = nullptr;
    Py_ssize_t len = 0;
    if (PyUnicode_Check(iso.get())) {
        // The UTF-8 form of an ASCII str is its own data: nothing allocated.
        if (!(text = PyUnicode_AsUTF8AndSize(iso.get(), &len))) return nullptr;
    } else {
        iso = ref::steal(as_utf8_bytes(iso.release()));
        if (!iso) return nullptr;
        text = PyBytes_AS_STRING(iso.get());
        len = PyBytes_GET_SIZE(iso.get());
    }
    for (Py_ssize_t i = 0; i < len; ++i) {
        if (text[i] == '\'' || text[i] == '\\' || text[i] == '\0') {
            PyErr_Format(PyExc_ValueError,
                         "isoformat() of %s returned text that cannot be quoted as a literal",
                         Py_TYPE(adapted)->tp_name);
            return nullptr;
        }
    }
    const Py_ssize_t cast_len = static_cast<Py_ssize_t>(std::strlen(cast));
    if (len > PY_SSIZE_T_MAX - 1 - cast_len) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, 1 + len + cast_len);
    if (!out) return nullptr;
    char* p = PyBytes_AS_STRING(out);
    *p++ = '\'';
    std::memcpy(p, text, static_cast<size_t>(len));
    std::memcpy(p + len, cast, static_cast<size_t>(cast_len));
    return out;
}

PyObject* pydatetime_getquoted(PyObject* o, PyObject*)
{
    pydatetimeObject* self = as_pydatetime(o);
    PyObject* adapted = self->adapted ? self->adapted : Py_None;
    const int code = self->type;
    if (code < 0) {
        PyErr_Format(PyExc_ValueError,
                     "a datetime wrapper of kind %d cannot be quoted: the kind must be "
                     "0 (time), 1 (date), 2 (timestamp) or 3 (interval)", code);
        return nullptr;
    }
    if (code >= PYDATETIME_INTERVAL) return interval_literal(adapted);

    const kind_casts& casts = casts_by_kind[code];
    const char* cast = casts.naive;
    if (code != PYDATETIME_DATE) {
        PyObject* name = adapt_interned(s_tzinfo, "tzinfo");
        if (!name) return nullptr;
        ref tz = ref::steal(PyObject_GetAttr(adapted, name));
        if (!tz) return nullptr;
        if (tz.get() != Py_None) cast = casts.aware;
    }
    return iso_literal(adapted, cast);
}

int pydatetime_init(PyObject* o, PyObject* args, PyObject* kwargs)
{
    static const char* kwlist[] = {"", "", nullptr};
    PyObject* obj = nullptr;
    int code = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|i", const_cast<char**>(kwlist), &obj,
                                     &code))
        return -1;
    pydatetimeObject* self = as_pydatetime(o);
    tv::set_slot(self->adapted, Py_NewRef(obj));
    self->type = code;
    return 0;
}

// Splits seconds into whole seconds and microseconds rounded to nearest,
// halves away from zero; false with ValueError for what no int holds.
bool split_seconds(double seconds, int* whole, int* micro)
{
    const double w = std::floor(seconds);
    if (!(w >= std::numeric_limits<int>::min() && w <= std::numeric_limits<int>::max())) {
        PyErr_SetString(PyExc_ValueError, "seconds value out of range");
        return false;
    }
    *whole = static_cast<int>(w);
    *micro = static_cast<int>(std::round((seconds - w) * 1000000.0));
    return true;
}

// The constructors' common parts; `tz` null when the caller gave none.
PyObject* make_time(int hour, int minute, double seconds, PyObject* tz)
{
    int whole = 0, micro = 0;
    if (!split_seconds(seconds, &whole, &micro)) return nullptr;
    return pydatetime_wrap(
        PyDateTimeAPI->Time_FromTime(hour, minute, whole, micro, tz ? tz : Py_None,
                                     PyDateTimeAPI->TimeType),
        PYDATETIME_TIME);
}

PyObject* make_timestamp(int year, int month, int day, int hour, int minute, double seconds,
                         PyObject* tz)
{
    int whole = 0, micro = 0;
    if (!split_seconds(seconds, &whole, &micro)) return nullptr;
    return pydatetime_wrap(
        PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, whole, micro,
                                                tz ? tz : Py_None, PyDateTimeAPI->DateTimeType),
        PYDATETIME_TIMESTAMP);
}

// The local-time breakdown of floor(ticks); `fraction` gets the rest.
bool ticks_localtime(double ticks, std::tm* tm, double* fraction)
{
    const double whole = std::floor(ticks);
    // Outside time_t (or NaN) there is nothing localtime could break down.
    constexpr double lo = static_cast<double>(std::numeric_limits<std::time_t>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<std::time_t>::max());
    if (whole >= lo && whole < hi) {
        const std::time_t t = static_cast<std::time_t>(whole);
        if (localtime_r(&t, tm)) {
            *fraction = ticks - whole;
            return true;
        }
    }
    PyErr_SetString(InterfaceError, "failed localtime call");
    return false;
}

PyMethodDef pydatetime_methods[] = {
    {"getquoted", pydatetime_getquoted, METH_NOARGS,
     "getquoted() -> wrapped object value as SQL date/time"},
    {"__conform__", adapter_conform, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
static_assert(std::size(pydatetime_methods) == 2 + 1);

PyMemberDef pydatetime_members[] = {
    {"adapted", T_OBJECT, offsetof(pydatetimeObject, adapted), READONLY, nullptr},
    {"type", T_INT, offsetof(pydatetimeObject, type), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
static_assert(std::size(pydatetime_members) == 2 + 1);

}  // namespace

// ---------------------------------------------------------------------------
// Module functions

PyObject* tolvar_Date(PyObject*, PyObject* args)
{
    int year = 0, month = 0, day = 0;
    if (!PyArg_ParseTuple(args, "iii", &year, &month, &day)) return nullptr;
    return pydatetime_wrap(PyDate_FromDate(year, month, day), PYDATETIME_DATE);
}

PyObject* tolvar_Time(PyObject*, PyObject* args)
{
    int hour = 0, minute = 0;
    double seconds = 0.0;
    PyObject* tz = nullptr;
    if (!PyArg_ParseTuple(args, "iid|O", &hour, &minute, &seconds, &tz)) return nullptr;
    return make_time(hour, minute, seconds, tz);
}

PyObject* tolvar_Timestamp(PyObject*, PyObject* args)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double seconds = 0.0;
    PyObject* tz = nullptr;
    if (!PyArg_ParseTuple(args, "iii|iidO", &year, &month, &day, &hour, &minute, &seconds, &tz))
        return nullptr;
    return make_timestamp(year, month, day, hour, minute, seconds, tz);
}

PyObject* tolvar_DateFromTicks(PyObject*, PyObject* args)
{
    double ticks = 0.0;
    if (!PyArg_ParseTuple(args, "d", &ticks)) return nullptr;
    std::tm tm{};
    double fraction = 0.0;
    if (!ticks_localtime(ticks, &tm, &fraction)) return nullptr;
    return pydatetime_wrap(PyDate_FromDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                           PYDATETIME_DATE);
}

PyObject* tolvar_TimeFromTicks(PyObject*, PyObject* args)
{
    double ticks = 0.0;
    if (!PyArg_ParseTuple(args, "d", &ticks)) return nullptr;
    std::tm tm{};
    double fraction = 0.0;
    if (!ticks_localtime(ticks, &tm, &fraction)) return nullptr;
    return make_time(tm.tm_hour, tm.tm_min, tm.tm_sec + fraction, nullptr);
}

PyObject* tolvar_TimestampFromTicks(PyObject*, PyObject* args)
{
    double ticks = 0.0;
    if (!PyArg_ParseTuple(args, "d", &ticks)) return nullptr;
    std::tm tm{};
    double fraction = 0.0;
    if (!ticks_localtime(ticks, &tm, &fraction)) return nullptr;
    ref w = ref::steal(make_timestamp(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                      tm.tm_min, tm.tm_sec + fraction, nullptr));
    if (!w) return nullptr;
    // astimezone() attaches the local zone: the value quotes as timestamptz.
    PyObject* name = adapt_interned(s_astimezone, "astimezone");
    if (!name) return nullptr;
    pydatetimeObject* self = as_pydatetime(w.get());
    PyObject* aware = PyObject_CallMethodNoArgs(self->adapted, name);
    if (!aware) return nullptr;
    tv::set_slot(self->adapted, aware);
    return w.release();
}

PyObject* tolvar_DateFromPy(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!", PyDateTimeAPI->DateType, &obj)) return nullptr;
    return pydatetime_wrap(Py_NewRef(obj), PYDATETIME_DATE);
}

PyObject* tolvar_TimeFromPy(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!", PyDateTimeAPI->TimeType, &obj)) return nullptr;
    return pydatetime_wrap(Py_NewRef(obj), PYDATETIME_TIME);
}

PyObject* tolvar_TimestampFromPy(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!", PyDateTimeAPI->DateTimeType, &obj)) return nullptr;
    return pydatetime_wrap(Py_NewRef(obj), PYDATETIME_TIMESTAMP);
}

PyObject* tolvar_IntervalFromPy(PyObject*, PyObject* args)
{
    PyObject* obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!", PyDateTimeAPI->DeltaType, &obj)) return nullptr;
    return pydatetime_wrap(Py_NewRef(obj), PYDATETIME_INTERVAL);
}

PyTypeObject* pydatetime_date_type() { return PyDateTimeAPI ? PyDateTimeAPI->DateType : nullptr; }
PyTypeObject* pydatetime_time_type() { return PyDateTimeAPI ? PyDateTimeAPI->TimeType : nullptr; }
PyTypeObject* pydatetime_datetime_type()
{
    return PyDateTimeAPI ? PyDateTimeAPI->DateTimeType : nullptr;
}
PyTypeObject* pydatetime_delta_type() { return PyDateTimeAPI ? PyDateTimeAPI->DeltaType : nullptr; }

// ---------------------------------------------------------------------------
// The wrapper type and its set-up

// `adapted` leads the record as in the single-value adapters, so their
// destructor, __conform__ and str() serve this type too.
static_assert(offsetof(pydatetimeObject, adapted) == offsetof(adapterObject, adapted));

PyTypeObject pydatetimeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tolvar2._tolvar.datetime",
    .tp_basicsize = sizeof(pydatetimeObject),
    .tp_dealloc = adapter_dealloc,
    .tp_str = adapter_str,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "datetime(datetime, type) -> new datetime wrapper object",
    .tp_methods = pydatetime_methods,
    .tp_members = pydatetime_members,
    .tp_init = pydatetime_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = adapter_new,
};

int pydatetime_capsule_setup()
{
    return tolvar_import_datetime(PyDateTimeAPI);
}

int pydatetime_type_setup()
{
    Py_SET_TYPE(&pydatetimeType, &PyType_Type);
    return PyType_Ready(&pydatetimeType);
}
