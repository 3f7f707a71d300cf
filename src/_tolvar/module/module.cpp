// Module initialisation, the method table and the trace facility.
#include "adapt/adapt.hpp"
#include "cursor/cursor.hpp"
#include "typecast/typecast.hpp"

#include <cstdarg>

using tv::ref;

int tolvar_debug_enabled = 0;
PyObject* null_literal = nullptr;
void* datetime_capi_ptr = nullptr;

void debug_write(const char* fmt, ...)
{
    // One formatted write per line, so lines from threads do not interleave.
    char line[4096];
    int n = std::snprintf(line, sizeof(line), "[%d] ", static_cast<int>(getpid()));
    va_list ap;
    va_start(ap, fmt);
    if (n > 0 && static_cast<size_t>(n) < sizeof(line))
        std::vsnprintf(line + n, sizeof(line) - static_cast<size_t>(n), fmt, ap);
    va_end(ap);
    std::fputs(line, stderr);
}

namespace {

PyMethodDef module_methods[] = {
    {"_connect", TV_METH(tolvar_connect), METH_VARARGS | METH_KEYWORDS,
     "_connect(dsn, [connection_factory], [async]) -- New database connection."},
    {"parse_dsn", TV_METH(tolvar_parse_dsn), METH_VARARGS | METH_KEYWORDS,
     "parse_dsn(dsn) -> dict -- parse a connection string into parameters"},
    {"quote_ident", TV_METH(tolvar_quote_ident), METH_VARARGS | METH_KEYWORDS,
     "quote_ident(str, conn_or_curs) -> str -- wrapper around PQescapeIdentifier"},
    {"adapt", tolvar_adapt, METH_VARARGS, tolvar_adapt_doc},
    {"register_type", tolvar_register_type, METH_VARARGS, tolvar_register_type_doc},
    {"new_type", TV_METH(tolvar_new_type), METH_VARARGS | METH_KEYWORDS, tolvar_new_type_doc},
    {"new_array_type", TV_METH(tolvar_new_array_type), METH_VARARGS | METH_KEYWORDS,
     tolvar_new_array_type_doc},
    {"libpq_version", tolvar_libpq_version, METH_NOARGS, "Query actual libpq version loaded."},
    {"Date", tolvar_Date, METH_VARARGS, "Date(year, month, day) -> new date"},
    {"Time", tolvar_Time, METH_VARARGS, "Time(hour, minutes, seconds, tzinfo=None) -> new time"},
    {"Timestamp", tolvar_Timestamp, METH_VARARGS,
     "Timestamp(year, month, day, hour, minutes, seconds, tzinfo=None) -> new timestamp"},
    {"DateFromTicks", tolvar_DateFromTicks, METH_VARARGS, "DateFromTicks(ticks) -> new date"},
    {"TimeFromTicks", tolvar_TimeFromTicks, METH_VARARGS, "TimeFromTicks(ticks) -> new time"},
    {"TimestampFromTicks", tolvar_TimestampFromTicks, METH_VARARGS,
     "TimestampFromTicks(ticks) -> new timestamp"},
    {"DateFromPy", tolvar_DateFromPy, METH_VARARGS, "DateFromPy(datetime.date) -> new wrapper"},
    {"TimeFromPy", tolvar_TimeFromPy, METH_VARARGS, "TimeFromPy(datetime.time) -> new wrapper"},
    {"TimestampFromPy", tolvar_TimestampFromPy, METH_VARARGS,
     "TimestampFromPy(datetime.datetime) -> new wrapper"},
    {"IntervalFromPy", tolvar_IntervalFromPy, METH_VARARGS,
     "IntervalFromPy(datetime.timedelta) -> new wrapper"},
    {"encrypt_password", TV_METH(tolvar_encrypt_password), METH_VARARGS | METH_KEYWORDS,
     "encrypt_password(password, user, [scope], [algorithm]) -- Prepares the encrypted form "
     "of a PostgreSQL password."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tolvar",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = module_methods,
};

struct exported_type {
    const char* name;
    PyTypeObject* type;
};

// Types published on the module, in this order.
const exported_type exported_types[] = {
    {"connection", &connectionType},
    {"cursor", &cursorType},
    {"ISQLQuote", &isqlquoteType},
    {"Column", &columnType},
    {"Notify", &notifyType},
    {"ConnectionInfo", &connectionInfoType},
    {"Diagnostics", &diagnosticsType},
    {"AsIs", &asisType},
    {"Binary", &binaryType},
    {"Boolean", &pbooleanType},
    {"Decimal", &pdecimalType},
    {"Int", &pintType},
    {"Float", &pfloatType},
    {"List", &listType},
    {"QuotedString", &qstringType},
};

int add_constants(PyObject* m)
{
    if (PyModule_AddStringConstant(m, "__version__", TOLVAR_VERSION) < 0) return -1;
    if (PyModule_AddStringConstant(m, "__doc__", "tolvar2 PostgreSQL driver") < 0) return -1;
    if (PyModule_AddIntConstant(m, "__libpq_version__", TOLVAR_LIBPQ_BUILD_VERSION) < 0)
        return -1;
    if (PyModule_AddStringConstant(m, "apilevel", "2.0") < 0) return -1;
    if (PyModule_AddIntConstant(m, "threadsafety", 2) < 0) return -1;
    if (PyModule_AddStringConstant(m, "paramstyle", "pyformat") < 0) return -1;
    if (PyModule_AddIntConstant(m, "REPLICATION_PHYSICAL", 12345678) < 0) return -1;
    if (PyModule_AddIntConstant(m, "REPLICATION_LOGICAL", 87654321) < 0) return -1;
    return 0;
}

int add_types(PyObject* m)
{
    for (const auto& t : exported_types) {
        Py_SET_TYPE(t.type, &PyType_Type);
        if (PyType_Ready(t.type) < 0) return -1;
        if (PyModule_AddObjectRef(m, t.name, reinterpret_cast<PyObject*>(t.type)) < 0)
            return -1;
    }
    return 0;
}

int datetime_init()
{
    ref dt = ref::steal(PyImport_ImportModule("datetime"));
    if (!dt) return -1;
    datetime_capi_ptr = PyCapsule_Import("datetime.datetime_CAPI", 0);
    if (!datetime_capi_ptr) PyErr_Clear();
    // Each user of the capsule keeps its own pointer to it.
    if (pydatetime_capsule_setup() < 0) return -1;
    return pydatetime_type_setup();
}

PyObject* module_init()
{
    if (std::getenv("TOLVAR_DEBUG")) tolvar_debug_enabled = 1;
    debug_trace("tolvarmodule: initializing tolvar %s\n", TOLVAR_VERSION);
    debug_trace("tolvarmodule: configuring libpq libcrypto callbacks\n");

    // With the interpreter's ssl module around, OpenSSL is already set up:
    // let libpq initialise SSL but leave libcrypto alone.
    if (ref ssl = ref::steal(PyImport_ImportModule("ssl"))) PQinitOpenSSL(1, 0);
    else PyErr_Clear();

    Py_SET_TYPE(&typecastType, &PyType_Type);
    if (PyType_Ready(&typecastType) < 0) return nullptr;
    if (chunk_type_setup() < 0) return nullptr;
    if (error_type_setup() < 0) return nullptr;

    if (!(null_literal = PyBytes_FromString("NULL"))) return nullptr;

    ref m = ref::steal(PyModule_Create2(&module_def, 1013));
    if (!m) return nullptr;
    if (add_constants(m.get()) < 0) return nullptr;
    if (add_types(m.get()) < 0) return nullptr;
    if (datetime_init() < 0) return nullptr;
    if (encodings_init(m.get()) < 0) return nullptr;
    if (typecasters_init(m.get()) < 0) return nullptr;
    if (register_builtin_adapters(m.get()) < 0) return nullptr;
    if (basic_exceptions_init(m.get()) < 0) return nullptr;
    if (sqlstate_errors_init(m.get()) < 0) return nullptr;

    debug_trace("tolvarmodule: module initialization complete\n");
    return m.release();
}

}  // namespace

TV_EXPORT PyObject* PyInit__tolvar(void)
{
    return module_init();
}
