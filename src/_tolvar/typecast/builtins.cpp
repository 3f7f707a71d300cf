// The built-in typecaster tables and the scalar native casts (numbers,
// text, bytes, booleans).
#include "typecast/typecast.hpp"

#include <charconv>
#include <climits>
#include <iterator>
#include <string_view>

namespace {

// Room for the longest int8 text plus sign and whitespace; longer texts are
// refused outright rather than handed to the big-integer parser.
constexpr Py_ssize_t int_text_max = 24;
// Floats from the server are at most ~25 characters; longer texts (numeric
// values cast through NUMBER) take the slow path.
constexpr Py_ssize_t float_text_max = 64;

PyObject* cast_text(const char* s, Py_ssize_t len, PyObject* curs)
{
    if (!s) Py_RETURN_NONE;
    return conn_decode_text(typecast_connection(curs), s, len);
}

PyObject* cast_bytes(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(s, len);
}

// float(s) semantics. The common case is parsed from a stack copy; anything
// the strict parser refuses (underscores, non-ASCII digits, garbage) goes
// through float() itself so that acceptance and messages are exactly its.
PyObject* cast_number(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    Py_ssize_t b = 0, e = len;
    while (b < e && Py_ISSPACE(s[b])) ++b;
    while (e > b && Py_ISSPACE(s[e - 1])) --e;
    if (e > b) {
        // Correctly rounded like float(), and much cheaper than the
        // interpreter's parser; a leading '+' or anything odd falls through.
        double d;
        const auto [ptr, ec] = std::from_chars(s + b, s + e, d);
        if (ec == std::errc() && ptr == s + e) return PyFloat_FromDouble(d);
    }
    if (e > b && e - b < float_text_max) {
        char buf[float_text_max];
        std::memcpy(buf, s + b, static_cast<size_t>(e - b));
        buf[e - b] = '\0';
        char* end = nullptr;
        // No overflow exception: like float(), "1e999" gives infinity.
        const double d = PyOS_string_to_double(buf, &end, nullptr);
        if (d == -1.0 && PyErr_Occurred()) PyErr_Clear();  // ours; retried below
        else if (end == buf + (e - b)) return PyFloat_FromDouble(d);
    }
    tv::ref str = tv::ref::steal(PyUnicode_DecodeUTF8(s, len, nullptr));
    if (!str) return nullptr;
    return PyFloat_FromString(str.get());
}

// int(s, 0) semantics. Plain decimal texts that fit in 64 bits are parsed
// here; prefixes, underscores, leading zeros and errors go to the
// interpreter's parser.
PyObject* cast_integer(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    if (len >= int_text_max) {
        PyErr_SetString(DataError ? DataError : PyExc_ValueError, "int64 representation too long");
        return nullptr;
    }
    Py_ssize_t i = 0;
    while (i < len && Py_ISSPACE(s[i])) ++i;
    bool neg = false;
    if (i < len && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    const Py_ssize_t first = i;
    unsigned long long mag = 0;
    const unsigned long long limit =
        neg ? static_cast<unsigned long long>(LLONG_MAX) + 1 : static_cast<unsigned long long>(LLONG_MAX);
    bool fast = true;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(s[i] - '0');
        if (mag > (limit - digit) / 10) { fast = false; break; }
        mag = mag * 10 + digit;
    }
    const Py_ssize_t ndigits = i - first;
    while (fast && i < len && Py_ISSPACE(s[i])) ++i;
    // int(s, 0) rejects "010": a leading zero is only fine for zero itself.
    if (fast && i == len && ndigits > 0 && (s[first] != '0' || ndigits == 1)) {
        if (neg) return PyLong_FromLongLong(static_cast<long long>(0ULL - mag));
        return PyLong_FromUnsignedLongLong(mag);
    }

    char buf[int_text_max];
    std::memcpy(buf, s, static_cast<size_t>(len));
    buf[len] = '\0';
    char* end = nullptr;
    tv::ref res = tv::ref::steal(PyLong_FromString(buf, &end, 0));
    if (res && end != buf + len) {
        // An embedded zero byte ended the parse early.
        PyErr_SetString(PyExc_ValueError, "invalid literal for int() with base 0: embedded null byte");
        return nullptr;
    }
    return res.release();
}

PyObject* cast_decimal(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    tv::ref type = tv::ref::steal(get_decimal_type());
    if (!type) {
        // Without the decimal module numeric values still come back, as float.
        PyErr_Clear();
        type = tv::ref::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type));
    }
    tv::ref str = tv::ref::steal(PyUnicode_DecodeUTF8(s, len, nullptr));
    if (!str) return nullptr;
    return PyObject_CallOneArg(type.get(), str.get());
}

PyObject* cast_boolean(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    if (len > 0) {
        switch (s[0]) {
        case 't': case 'T': Py_RETURN_TRUE;
        case 'f': case 'F': Py_RETURN_FALSE;
        default: break;
        }
    }
    // Only the value's own bytes: an array element is not terminated.
    tv::ref text = tv::ref::steal(PyUnicode_DecodeUTF8(s, len, "replace"));
    if (!text) return nullptr;
    PyErr_Format(InterfaceError ? InterfaceError : PyExc_ValueError,
                 "can't parse boolean: '%U'", text.get());
    return nullptr;
}

PyObject* cast_unknown(const char* s, Py_ssize_t len, PyObject* curs);

constexpr typecast_function array_cast = typecast_GENERIC_ARRAY_cast;

// Built-in typecasters in registration order: a later row takes over an OID
// from an earlier one, and a base must name an earlier row.
constexpr typecast_row builtin_rows[] = {
    {"NUMBER", {20, 23, 21, 701, 700, 1700}, cast_number, nullptr},
    {"LONGINTEGER", {20}, cast_integer, nullptr},
    {"INTEGER", {23, 21}, cast_integer, nullptr},
    {"FLOAT", {701, 700}, cast_number, nullptr},
    {"DECIMAL", {1700}, cast_decimal, nullptr},
    {"UNICODE", {19, 18, 25, 1042, 1043}, cast_text, nullptr},
    {"BYTES", {19, 18, 25, 1042, 1043}, cast_bytes, nullptr},
    {"STRING", {19, 18, 25, 1042, 1043}, cast_text, nullptr},
    {"BOOLEAN", {16}, cast_boolean, nullptr},
    {"DATETIME", {1114}, cast_timestamp, nullptr},
    {"DATETIMETZ", {1184}, cast_timestamptz, nullptr},
    {"TIME", {1083, 1266}, typecast_PYTIME_cast, nullptr},
    {"DATE", {1082}, typecast_PYDATE_cast, nullptr},
    {"INTERVAL", {704, 1186}, typecast_PYINTERVAL_cast, nullptr},
    {"BINARY", {17}, typecast_BINARY_cast, nullptr},
    {"ROWID", {26}, cast_integer, nullptr},
    {"LONGINTEGERARRAY", {1016}, array_cast, "LONGINTEGER"},
    {"INTEGERARRAY", {1005, 1006, 1007}, array_cast, "INTEGER"},
    {"FLOATARRAY", {1021, 1022}, array_cast, "FLOAT"},
    {"DECIMALARRAY", {1231}, array_cast, "DECIMAL"},
    {"UNICODEARRAY", {1002, 1003, 1009, 1014, 1015}, array_cast, "UNICODE"},
    {"BYTESARRAY", {1002, 1003, 1009, 1014, 1015}, array_cast, "BYTES"},
    {"STRINGARRAY", {1002, 1003, 1009, 1014, 1015}, array_cast, "STRING"},
    {"BOOLEANARRAY", {1000}, array_cast, "BOOLEAN"},
    {"DATETIMEARRAY", {1115}, array_cast, "DATETIME"},
    {"DATETIMETZARRAY", {1185}, array_cast, "DATETIMETZ"},
    {"TIMEARRAY", {1183, 1270}, array_cast, "TIME"},
    {"DATEARRAY", {1182}, array_cast, "DATE"},
    {"INTERVALARRAY", {1187}, array_cast, "INTERVAL"},
    {"BINARYARRAY", {1001}, array_cast, "BINARY"},
    {"ROWIDARRAY", {1028, 1013}, array_cast, "ROWID"},
    {"UNKNOWN", {705}, cast_unknown, nullptr},
    {"INETARRAY", {1041}, array_cast, "STRING"},
    {"CIDRARRAY", {651}, array_cast, "STRING"},
    {"MACADDRARRAY", {1040}, array_cast, "STRING"},
};
static_assert(std::size(builtin_rows) == 35);

// Date/time twins: module attributes only, never entered by OID.
constexpr typecast_row pydatetime_rows[] = {
    {"PYDATETIME", {1114}, cast_timestamp, nullptr},
    {"PYDATETIMETZ", {1184}, cast_timestamptz, nullptr},
    {"PYTIME", {1083, 1266}, typecast_PYTIME_cast, nullptr},
    {"PYDATE", {1082}, typecast_PYDATE_cast, nullptr},
    {"PYINTERVAL", {704, 1186}, typecast_PYINTERVAL_cast, nullptr},
    {"PYDATETIMEARRAY", {1115}, array_cast, "PYDATETIME"},
    {"PYDATETIMETZARRAY", {1185}, array_cast, "PYDATETIMETZ"},
    {"PYTIMEARRAY", {1183, 1270}, array_cast, "PYTIME"},
    {"PYDATEARRAY", {1182}, array_cast, "PYDATE"},
    {"PYINTERVALARRAY", {1187}, array_cast, "PYINTERVAL"},
};
static_assert(std::size(pydatetime_rows) == 10);

// Every OID list keeps its zero terminator, and every base names an earlier
// row, so that initialisation finds it already created. (Casts defined in
// other files cannot be tested for null here: with sanitizers on, their
// addresses are no constant expressions.)
constexpr bool rows_well_formed(std::span<const typecast_row> rows)
{
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].values[typecast_row::max_oids - 1] != 0) return false;
        if (!rows[i].base) continue;
        bool found = false;
        for (std::size_t j = 0; j < i; ++j)
            found = found || std::string_view(rows[j].name) == rows[i].base;
        if (!found) return false;
    }
    return true;
}
static_assert(rows_well_formed(builtin_rows));
static_assert(rows_well_formed(pydatetime_rows));

}  // namespace

constinit const typecast_row default_typecaster_row = {"DEFAULT", {}, cast_text, nullptr};

namespace {

// Values of unknown type are text, exactly as the default typecaster gives.
PyObject* cast_unknown(const char* s, Py_ssize_t len, PyObject* curs)
{
    return default_typecaster_row.cast(s, len, curs);
}

}  // namespace

constinit const std::span<const typecast_row> builtin_typecasters{builtin_rows};
constinit const std::span<const typecast_row> pydatetime_typecasters{pydatetime_rows};
