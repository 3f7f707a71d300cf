// Dates, times, timestamps and intervals: the server's ISO and "postgres"
// output parsed digit by digit into objects of the datetime module.
#include "module/pydatetime.hpp"
#include "typecast/typecast.hpp"

#include <cmath>
#include <iterator>
#include <string_view>

using tv::ref;

namespace {

// Accumulators stop here: no field of a server value has ten digits, and
// staying below it keeps every sum in range.
constexpr int digit_limit = 100000000;
constexpr long long usecs_per_sec = 1000000;
constexpr long long secs_per_day = 86400;
constexpr long long max_delta_days = 999999999;  // timedelta's own limit
// Interval components from 2^31 on are refused (the bare microsecond count
// aside), as the parser keeps them as 32-bit counts.
constexpr long long interval_component_limit = 2147483648LL;
constexpr int interval_scale_limit = 214748365;

PyObject* data_error() { return DataError ? DataError : PyExc_ValueError; }

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Adds a digit to an accumulator (-1: none yet); false once it would pass
// any meaningful value.
inline bool add_digit(int& acc, char c) noexcept
{
    if (acc < 0) {
        acc = c - '0';
        return true;
    }
    if (acc >= digit_limit) return false;
    acc = acc * 10 + (c - '0');
    return true;
}

// The special values compare within the value's own bytes: array elements
// are not zero-terminated.
inline bool is_word(const char* s, Py_ssize_t len, std::string_view word) noexcept
{
    return static_cast<std::size_t>(len) == word.size() &&
           std::memcmp(s, word.data(), word.size()) == 0;
}

inline int infinity_sign(const char* s, Py_ssize_t len) noexcept
{
    if (is_word(s, len, "infinity")) return 1;
    if (is_word(s, len, "-infinity")) return -1;
    return 0;
}

// The cursor's tzinfo_factory (borrowed), or null when times stay naive.
PyObject* tzinfo_factory_of(PyObject* curs) noexcept
{
    if (!curs || !PyObject_TypeCheck(curs, &cursorType)) return nullptr;
    PyObject* f = reinterpret_cast<cursorObject*>(curs)->tzinfo_factory;
    return f && f != Py_None ? f : nullptr;
}

// factory(timedelta(seconds=offset)): a new tzinfo or null.
PyObject* make_tzinfo(PyObject* factory, int offset)
{
    // datetime.timezone objects are immutable: for the default factory one
    // object per offset serves every value, sparing two objects per value.
    static int cached_offset = 0;
    static PyObject* cached_tz = nullptr;
    const bool stock = factory == reinterpret_cast<PyObject*>(Py_TYPE(PyDateTime_TimeZone_UTC));
    if (stock && cached_tz && cached_offset == offset) return Py_NewRef(cached_tz);

    // Our own reference: the factory may replace the cursor's attribute.
    ref f = ref::borrow(factory);
    ref delta = ref::steal(PyDelta_FromDSU(0, offset, 0));
    if (!delta) return nullptr;
    PyObject* tz = PyObject_CallOneArg(f.get(), delta.get());
    if (stock && tz) {
        Py_XSETREF(cached_tz, Py_NewRef(tz));
        cached_offset = offset;
    }
    return tz;
}

// A leap second as the server may write it in a time of day (12:00:60)
// belongs to the next minute; anything past 60 is left to be refused.
inline void fold_leap_second(int& minute, int& second) noexcept
{
    if (second == 60) {
        ++minute;
        second = 0;
    }
}

// Days, seconds and microseconds made canonical in 64 bits before they are
// handed to timedelta (whose fields are 32-bit): floor division keeps the
// seconds and microseconds non-negative, as timedelta itself does.
PyObject* make_delta(long long days, long long secs, long long usecs)
{
    auto floor_div = [](long long a, long long b) {
        return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
    };
    long long carry = floor_div(usecs, usecs_per_sec);
    usecs -= carry * usecs_per_sec;
    secs += carry;
    carry = floor_div(secs, secs_per_day);
    secs -= carry * secs_per_day;
    days += carry;
    if (days > max_delta_days || days < -max_delta_days) {
        PyErr_Format(PyExc_OverflowError, "days=%lld; must have magnitude <= %lld", days,
                     max_delta_days);
        return nullptr;
    }
    return PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(secs), static_cast<int>(usecs));
}

// timedelta(microseconds=int(text, 0)) for an interval written as a bare
// number.
PyObject* interval_from_usecs(const char* s, Py_ssize_t len)
{
    // int() needs a terminated text; the value may be an array element.
    char small[64];
    ref big;
    char* text = small;
    if (len >= static_cast<Py_ssize_t>(sizeof(small))) {
        big = ref::steal(PyBytes_FromStringAndSize(s, len));
        if (!big) return nullptr;
        text = PyBytes_AS_STRING(big.get());
    }
    else {
        std::memcpy(text, s, static_cast<size_t>(len));
        text[len] = '\0';
    }
    char* end = nullptr;
    ref n = ref::steal(PyLong_FromString(text, &end, 0));
    if (!n) return nullptr;
    if (end != text + len) {
        PyErr_Format(PyExc_ValueError, "expected number of microseconds, got %s", text);
        return nullptr;
    }
    const long long usecs = PyLong_AsLongLong(n.get());
    if (usecs == -1 && PyErr_Occurred()) return nullptr;
    return make_delta(0, 0, usecs);
}

PyObject* unparsable_interval(const char* s, Py_ssize_t len)
{
    ref text = ref::steal(PyUnicode_DecodeUTF8(s, len < 100 ? len : 100, "replace"));
    if (!text) return nullptr;
    PyErr_Format(data_error(), "unable to parse interval: '%U'", text.get());
    return nullptr;
}

// ---------------------------------------------------------------------------
// Native casts, on the shared parsers.

PyObject* new_date(int y, int m, int d) { return PyDate_FromDate(y, m, d); }

PyObject* new_datetime(int y, int mo, int d, int h, int mi, int s, int us, PyObject* tz)
{
    return PyDateTimeAPI->DateTime_FromDateAndTime(y, mo, d, h, mi, s, us, tz ? tz : Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

PyObject* parse_timestamp(const char* s, Py_ssize_t len, PyObject* curs)
{
    int y = 0, mo = 0, d = 0;
    const char* rest = nullptr;
    Py_ssize_t left = len;
    if (typecast_parse_date(s, &rest, &left, &y, &mo, &d) != 3) {
        PyErr_SetString(data_error(), "unable to parse date");
        return nullptr;
    }
    int h = 0, mi = 0, sec = 0, us = 0, offset = 0;
    ref tz;
    if (left > 0 && *rest != '\0') {
        const int n = typecast_parse_time(rest, &left, &h, &mi, &sec, &us, &offset);
        if (n < 3 || n > 6) {
            PyErr_SetString(data_error(), "unable to parse time");
            return nullptr;
        }
        fold_leap_second(mi, sec);
        PyObject* factory = tzinfo_factory_of(curs);
        if (n >= 5 && factory) {
            tz = ref::steal(make_tzinfo(factory, offset));
            if (!tz) return nullptr;
        }
    }
    return new_datetime(y, mo, d, h, mi, sec, us, tz.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// Parsers.

int typecast_parse_date(const char* s, const char** rest, Py_ssize_t* len, int* year, int* month,
                        int* day)
{
    int* parts[] = {year, month, day};
    static_assert(std::size(parts) == 3);
    int index = 0;
    int acc = -1;
    const char* p = s;
    Py_ssize_t left = *len;
    while (left > 0) {
        const char c = *p;
        if (c == ' ' || c == '-' || c == 'T') {
            if (acc < 0) return -1;  // a separator with no digits before it
            *parts[index++] = acc;
            acc = -1;
            ++p;
            --left;
            if (index == 3) break;
        }
        else if (c == '\0') {
            break;
        }
        else {
            if (!is_digit(c) || !add_digit(acc, c)) return -1;
            ++p;
            --left;
        }
    }
    if (acc >= 0) *parts[index++] = acc;
    // "2024-02-29 BC" and "0044-03-15 10:00:00 BC": the era ends the text.
    if (index == 3 && left >= 2 && s[*len - 2] == 'B' && s[*len - 1] == 'C') *year = -*year;
    *len = left;
    if (rest) *rest = p;
    return index;
}

int typecast_parse_time(const char* s, Py_ssize_t* len, int* hour, int* minute, int* second,
                        int* usec, int* offset)
{
    int tz_hours = 0, tz_minutes = 0, tz_seconds = 0;
    *hour = *minute = *second = 0;
    *usec = 0;
    *offset = 0;
    int* parts[] = {hour, minute, second, usec, &tz_hours, &tz_minutes, &tz_seconds};
    static_assert(std::size(parts) == 7);
    int index = 0;
    int acc = -1;
    int sign = 1;
    int frac_digits = 0;
    const char* p = s;
    Py_ssize_t left = *len;
    for (; left > 0 && index < 7; ++p, --left) {
        const char c = *p;
        if (c == '\0') break;
        switch (c) {
        case ' ':
        case 'B':
        case 'C':
            break;  // the era, handled with the date
        case '+':
        case '-':
            if ((index != 2 && index != 3) || acc < 0) return -1;
            if (c == '-') sign = -1;
            *parts[index] = acc;
            index = 4;
            acc = -1;
            break;
        case '.':
            if (index != 2 || acc < 0) return -1;
            *parts[index] = acc;
            index = 3;
            acc = -1;
            break;
        case ':':
            // Colons join hours to minutes to seconds, and the same in the
            // offset; the second is followed by a point or a sign only.
            if (acc < 0 || index == 2 || index == 3 || index == 6) return -1;
            *parts[index] = acc;
            ++index;
            acc = -1;
            break;
        default:
            if (!is_digit(c)) return -1;
            if (index == 3) {
                // Microseconds: digits past the sixth are below resolution.
                if (frac_digits < 6) {
                    add_digit(acc, c);
                    ++frac_digits;
                }
            }
            else if (!add_digit(acc, c)) {
                return -1;
            }
            break;
        }
    }
    if (acc >= 0 && index <= 6) {
        *parts[index] = acc;
        if (index != 6) ++index;
    }
    // Real offsets stay within a day; bigger numbers are not an offset.
    if (tz_hours > 99 || tz_minutes > 99 || tz_seconds > 99) return -1;
    *offset = sign * (tz_hours * 3600 + tz_minutes * 60 + tz_seconds);
    if (*usec != 0)
        for (int k = frac_digits; k < 6; ++k) *usec *= 10;
    // The server's end of day, 24:00:00, has no Python equivalent but
    // midnight; any other time past 24 is left for the constructor to refuse.
    if (*hour == 24 && *minute == 0 && *second == 0 && *usec == 0) *hour = 0;
    *len = left;
    return index;
}

int typecast_datetime_setup()
{
    return tolvar_import_datetime(PyDateTimeAPI);
}

PyObject* typecast_PYDATE_cast(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    if (const int inf = infinity_sign(s, len))
        return inf > 0 ? new_date(9999, 12, 31) : new_date(1, 1, 1);
    int y = 0, m = 0, d = 0;
    Py_ssize_t left = len;
    // What follows the day (the era, or a time) is not the date's concern.
    if (typecast_parse_date(s, nullptr, &left, &y, &m, &d) != 3) {
        PyErr_SetString(data_error(), "unable to parse date");
        return nullptr;
    }
    return new_date(y, m, d);
}

PyObject* typecast_PYTIME_cast(const char* s, Py_ssize_t len, PyObject* curs)
{
    if (!s) Py_RETURN_NONE;
    int h = 0, m = 0, sec = 0, us = 0, offset = 0;
    Py_ssize_t left = len;
    const int n = typecast_parse_time(s, &left, &h, &m, &sec, &us, &offset);
    if (n < 3 || n > 6) {
        PyErr_SetString(data_error(), "unable to parse time");
        return nullptr;
    }
    fold_leap_second(m, sec);
    ref tz;
    PyObject* factory = tzinfo_factory_of(curs);
    if (n >= 5 && factory) {
        tz = ref::steal(make_tzinfo(factory, offset));
        if (!tz) return nullptr;
    }
    return PyDateTimeAPI->Time_FromTime(h, m, sec, us, tz ? tz.get() : Py_None,
                                        PyDateTimeAPI->TimeType);
}

PyObject* cast_timestamp(const char* s, Py_ssize_t len, PyObject* curs)
{
    if (!s) Py_RETURN_NONE;
    if (const int inf = infinity_sign(s, len)) {
        return inf > 0 ? new_datetime(9999, 12, 31, 23, 59, 59, 999999, nullptr)
                       : new_datetime(1, 1, 1, 0, 0, 0, 0, nullptr);
    }
    return parse_timestamp(s, len, curs);
}

PyObject* cast_timestamptz(const char* s, Py_ssize_t len, PyObject* curs)
{
    if (!s) Py_RETURN_NONE;
    if (const int inf = infinity_sign(s, len)) {
        // Aware in UTC when the cursor makes aware values; the factory is
        // not asked, an infinite instant has no offset of its own.
        PyObject* tz = tzinfo_factory_of(curs) ? PyDateTime_TimeZone_UTC : nullptr;
        return inf > 0 ? new_datetime(9999, 12, 31, 23, 59, 59, 999999, tz)
                       : new_datetime(1, 1, 1, 0, 0, 0, 0, tz);
    }
    return parse_timestamp(s, len, curs);
}

// The "postgres" interval style: "1 year 2 mons -3 days +04:05:06.5".
PyObject* typecast_PYINTERVAL_cast(const char* s, Py_ssize_t len, PyObject*)
{
    if (!s) Py_RETURN_NONE;
    if (len < 1) return interval_from_usecs(s, len);
    // timedelta has no infinity: its extremes stand for it, as the date
    // and timestamp casts do.
    if (const int inf = infinity_sign(s, len)) {
        return inf > 0 ? make_delta(max_delta_days, secs_per_day - 1, usecs_per_sec - 1)
                       : make_delta(-max_delta_days, 0, 0);
    }

    long long years = 0, months = 0, days = 0, hours = 0, minutes = 0, seconds = 0;
    long long acc = 0;
    long long sign = 1;
    int stage = 0;
    int scale = 1;
    bool digits = false;  // acc holds digits not yet given to a unit
    bool gap = false;     // a space came after those digits
    bool signed_ = false; // a sign waits for its number
    // A text that is no "postgres" interval: before any unit or colon it may
    // still be a bare microsecond count, after that it is refused.
    auto not_postgres = [&] {
        return stage == 0 ? interval_from_usecs(s, len) : unparsable_interval(s, len);
    };

    for (Py_ssize_t i = 0; i < len && s[i] != '\0'; ++i) {
        const char c = s[i];
        if (is_digit(c)) {
            // Two numbers with no unit between them: another interval style.
            if (digits && gap) return not_postgres();
            acc = acc * 10 + (c - '0');
            if (acc >= interval_component_limit) {
                PyObject* res = interval_from_usecs(s, len);
                if (res) return res;
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError, "interval component too big");
                return nullptr;
            }
            if (stage == 6 && scale < interval_scale_limit) scale *= 10;
            digits = true;
            signed_ = false;
            continue;
        }
        switch (c) {
        case ' ':
            gap = digits;
            break;
        case '-':
        case '+':
            // Signs open a number; "1-2" (sql_standard) is no postgres text.
            if (digits || signed_ || stage >= 4) return not_postgres();
            if (c == '-') sign = -1;
            signed_ = true;
            break;
        case ':':
            if (gap || stage > 4) return unparsable_interval(s, len);
            if (stage < 4) hours = acc;
            else minutes = acc;
            stage = stage < 4 ? 4 : 5;
            acc = 0;
            digits = false;
            break;
        case '.':
            if (stage != 5 || gap) return not_postgres();
            seconds = acc;
            acc = 0;
            digits = false;
            stage = 6;
            break;
        case 'P':
            PyErr_SetString(NotSupportedError ? NotSupportedError : PyExc_ValueError,
                            "iso_8601 intervalstyle currently not supported");
            return nullptr;
        case 'y':
        case 'm':
        case 'd': {
            const int unit_stage = c == 'y' ? 1 : c == 'm' ? 2 : 3;
            // Units come once each, in this order, each after its number.
            if (!digits || stage >= unit_stage) return not_postgres();
            (c == 'y' ? years : c == 'm' ? months : days) = acc * sign;
            stage = unit_stage;
            acc = 0;
            sign = 1;
            digits = gap = signed_ = false;
            // The rest of the unit word, up to and including its space.
            while (i + 1 < len && s[i + 1] != '\0' && s[i + 1] != ' ') ++i;
            if (i + 1 < len && s[i + 1] == ' ') ++i;
            break;
        }
        default:
            return not_postgres();
        }
    }

    long long total = 0;
    long long usecs = 0;
    switch (stage) {
    case 0:
        return interval_from_usecs(s, len);
    case 4:
        total = hours * 3600 + acc * 60;
        break;
    case 5:
        total = hours * 3600 + minutes * 60 + acc;
        break;
    case 6:
        total = hours * 3600 + minutes * 60 + seconds;
        if (scale < usecs_per_sec) {
            usecs = acc;
            for (long long sc = scale; sc < usecs_per_sec; sc *= 10) usecs *= 10;
        }
        else if (scale == usecs_per_sec) {
            usecs = acc;
        }
        else {
            usecs = static_cast<long long>(
                std::round(static_cast<double>(acc) / scale * static_cast<double>(usecs_per_sec)));
        }
        break;
    default:
        // After the last unit word only a time part may follow.
        if (digits || signed_) return unparsable_interval(s, len);
        total = 0;
        break;
    }
    if (sign < 0) {
        total = -total;
        usecs = -usecs;
    }
    return make_delta(years * 365 + months * 30 + days, total, usecs);
}
