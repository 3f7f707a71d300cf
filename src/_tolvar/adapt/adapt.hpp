// Adaptation: the adapter registry, the ISQLQuote protocol and the
// built-in adapters that turn Python values into SQL literals.
#pragma once

#include "connection/connection.hpp"

// The process-wide "adapters" dict: (type, protocol) -> adapter factory.
extern PyObject* tolvar_adapters;

// The protocol type and the scalar adapter types.
extern PyTypeObject isqlquoteType;
extern PyTypeObject asisType;
extern PyTypeObject pbooleanType;
extern PyTypeObject pintType;
extern PyTypeObject pfloatType;
extern PyTypeObject pdecimalType;
extern PyTypeObject qstringType;
extern PyTypeObject binaryType;
extern PyTypeObject listType;
extern PyTypeObject pydatetimeType;  // the date/time wrapper, not exported

struct isqlquoteObject {
    PyObject_HEAD
    PyObject* wrapped;
};

// AsIs, Boolean, Int, Float and Decimal: one wrapped value.
struct adapterObject {
    PyObject_HEAD
    PyObject* adapted;
};

struct qstringObject {
    PyObject_HEAD
    PyObject* adapted;
    PyObject* buffer;          // the literal, once computed
    connectionObject* conn;    // given by prepare(), or null
    char* encoding;            // PyMem copy of a codec name, or null: "latin1"
};

// Binary: bytes-like values as bytea literals.
struct binaryObject {
    PyObject_HEAD
    PyObject* adapted;
    PyObject* buffer;          // the literal, once computed
    connectionObject* conn;    // given by prepare(), or null
};

// List: a list as an array literal.
struct listObject {
    PyObject_HEAD
    PyObject* adapted;         // a list (or subclass)
    connectionObject* conn;    // given by prepare(), or null
};

// The date/time wrapper: a date, time, datetime or timedelta and its kind.
enum : int {
    PYDATETIME_TIME = 0,
    PYDATETIME_DATE = 1,
    PYDATETIME_TIMESTAMP = 2,
    PYDATETIME_INTERVAL = 3,
};

struct pydatetimeObject {
    PyObject_HEAD
    PyObject* adapted;
    int type;                  // kind code; negative: none
};

// A new adapter for `obj` under protocol `proto`, or null with an exception.
PyObject* microprotocols_adapt(PyObject* obj, PyObject* proto);
// The SQL literal of `obj` (normally bytes) for a query on `conn` (may be
// null), or null with an exception.
PyObject* microprotocol_getquoted(PyObject* obj, connectionObject* conn);
// adapters[(type, proto or ISQLQuote)] = factory: 0, or -1 with an exception.
int adapter_register(PyTypeObject* type, PyObject* proto, PyObject* factory);
int adapter_registry_init(PyObject* module);
int register_builtin_adapters(PyObject* module);

// Module function adapt(obj, protocol=ISQLQuote, alternate=None).
PyObject* tolvar_adapt(PyObject* self, PyObject* args);
extern const char tolvar_adapt_doc[];

// ---------------------------------------------------------------------------
// Date/time adapters (pdatetime.cpp).

// Loads the datetime capsule for the date/time adapters: 0, or -1 with
// ImportError "datetime initialization failed".
int pydatetime_capsule_setup();
// Readies the wrapper type (after the capsule set-up): 0 or -1.
int pydatetime_type_setup();
// The datetime types, valid after pydatetime_capsule_setup() (borrowed).
PyTypeObject* pydatetime_date_type();
PyTypeObject* pydatetime_time_type();
PyTypeObject* pydatetime_datetime_type();
PyTypeObject* pydatetime_delta_type();

// The DB-API constructors and the FromPy factories (module functions).
PyObject* tolvar_Date(PyObject* self, PyObject* args);
PyObject* tolvar_Time(PyObject* self, PyObject* args);
PyObject* tolvar_Timestamp(PyObject* self, PyObject* args);
PyObject* tolvar_DateFromTicks(PyObject* self, PyObject* args);
PyObject* tolvar_TimeFromTicks(PyObject* self, PyObject* args);
PyObject* tolvar_TimestampFromTicks(PyObject* self, PyObject* args);
PyObject* tolvar_DateFromPy(PyObject* self, PyObject* args);
PyObject* tolvar_TimeFromPy(PyObject* self, PyObject* args);
PyObject* tolvar_TimestampFromPy(PyObject* self, PyObject* args);
PyObject* tolvar_IntervalFromPy(PyObject* self, PyObject* args);

// ---------------------------------------------------------------------------
// Pieces shared by the adapter types (microprotocols.cpp).

PyObject* adapter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// Constructor T(value) of the single-value adapters.
int adapter_init(PyObject* self, PyObject* args, PyObject* kwargs);
void adapter_dealloc(PyObject* self);
// __conform__(proto): self for ISQLQuote, else None.
PyObject* adapter_conform(PyObject* self, PyObject* proto);
// str(): getquoted() decoded from UTF-8 with replacement.
PyObject* adapter_str(PyObject* self);
// The text of a number as bytes, with a space before a leading minus so
// that "1-%s" never turns into the comment "1--1". Takes a str (borrowed).
PyObject* number_literal(PyObject* text);

// An interned attribute name kept in `slot`, made on first use, so that
// hot paths look attributes up without building a str each time. Borrowed;
// null with an exception when it cannot be made.
PyObject* adapt_interned(PyObject*& slot, const char* text);

extern const char adapter_getquoted_doc[];
