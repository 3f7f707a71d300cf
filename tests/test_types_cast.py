"""Result-side conversions of dates and times, arrays and bytea."""

import datetime as dt
import random
from decimal import Decimal

import pytest

import tolvar2
from tolvar2 import _tolvar

UTC = dt.timezone.utc
tz = dt.timezone
td = dt.timedelta

# Exceptions a malformed text may raise; anything else (or a crash) is a bug.
PARSE_ERRORS = (tolvar2.Error, ValueError, OverflowError)


@pytest.fixture
def cur(conn):
    conn.autocommit = True
    c = conn.cursor()
    yield c
    c.close()


def one(cur, sql):
    cur.execute(sql)
    return cur.fetchone()


def scalar(cur, sql):
    return one(cur, sql)[0]


# -- the typecasters and the registry ----------------------------------------

ROWS = [
    ("DATETIME", (1114,)), ("DATETIMETZ", (1184,)), ("TIME", (1083, 1266)),
    ("DATE", (1082,)), ("INTERVAL", (704, 1186)), ("BINARY", (17,)),
    ("LONGINTEGERARRAY", (1016,)), ("INTEGERARRAY", (1005, 1006, 1007)),
    ("FLOATARRAY", (1021, 1022)), ("DECIMALARRAY", (1231,)),
    ("STRINGARRAY", (1002, 1003, 1009, 1014, 1015)), ("BOOLEANARRAY", (1000,)),
    ("DATETIMEARRAY", (1115,)), ("DATETIMETZARRAY", (1185,)),
    ("TIMEARRAY", (1183, 1270)), ("DATEARRAY", (1182,)), ("INTERVALARRAY", (1187,)),
    ("BINARYARRAY", (1001,)), ("ROWIDARRAY", (1028, 1013)),
    ("INETARRAY", (1041,)), ("CIDRARRAY", (651,)), ("MACADDRARRAY", (1040,)),
]


@pytest.mark.parametrize("name, values", ROWS)
def test_builtin_rows_registered(name, values):
    t = getattr(_tolvar, name)
    assert (t.name, t.values) == (name, values)
    for oid in values:
        assert _tolvar.string_types[oid] is t


@pytest.mark.parametrize("name, values, regular", [
    ("PYDATETIME", (1114,), "DATETIME"), ("PYDATETIMETZ", (1184,), "DATETIMETZ"),
    ("PYTIME", (1083, 1266), "TIME"), ("PYDATE", (1082,), "DATE"),
    ("PYINTERVAL", (704, 1186), "INTERVAL"), ("PYDATETIMEARRAY", (1115,), "DATETIMEARRAY"),
    ("PYDATETIMETZARRAY", (1185,), "DATETIMETZARRAY"), ("PYTIMEARRAY", (1183, 1270), "TIMEARRAY"),
    ("PYDATEARRAY", (1182,), "DATEARRAY"), ("PYINTERVALARRAY", (1187,), "INTERVALARRAY"),
])
def test_pydatetime_twins(cur, name, values, regular):
    t = getattr(_tolvar, name)
    assert (t.name, t.values) == (name, values)
    # Module attributes only: the registry keeps the regular typecasters.
    assert all(_tolvar.string_types[oid] is getattr(_tolvar, regular) for oid in values)
    text = {1114: "2024-01-05 10:11:12", 1184: "2024-01-05 10:11:12+02", 1083: "10:11:12",
            1082: "2024-01-05", 704: "1 day", 1115: "{2024-01-05 10:11:12}",
            1185: "{2024-01-05 10:11:12+02}", 1183: "{10:11:12}", 1182: "{2024-01-05}",
            1187: "{1 day}"}[values[0]]
    assert t(text, cur) == getattr(_tolvar, regular)(text, cur)


def test_bytea_typecaster_and_chunk_not_exported(cur):
    assert not hasattr(_tolvar, "chunk")
    mv = scalar(cur, r"select '\x41'::bytea")
    chunk_type = type(mv.obj)
    assert (chunk_type.__name__, chunk_type.__module__) == ("chunk", "tolvar2._tolvar")
    assert chunk_type.__doc__ == "memory chunk"
    with pytest.raises(TypeError):
        chunk_type()


# -- dates -------------------------------------------------------------------

@pytest.mark.parametrize("literal, expected", [
    ("2024-02-29", dt.date(2024, 2, 29)),
    ("0001-01-01", dt.date(1, 1, 1)),
    ("9999-12-31", dt.date(9999, 12, 31)),
    ("1900-03-01", dt.date(1900, 3, 1)),
    ("infinity", dt.date.max),
    ("-infinity", dt.date.min),
])
def test_date_values(cur, literal, expected):
    value, text = one(cur, f"select '{literal}'::date, '{literal}'::date::text")
    assert value == expected and type(value) is dt.date
    # And the same when the server's text comes through the cast directly.
    assert cur.cast(1082, text) == expected


@pytest.mark.parametrize("sql", [
    "select '0044-03-15 BC'::date",
    "select '0001-01-01 BC'::date",
    "select '10000-01-01'::date",
    "select '0044-03-15 10:00:00 BC'::timestamp",
    "select '0044-03-15 10:00:00+00 BC'::timestamptz",
    "select '20000-01-01 00:00:00'::timestamp",
    "select array['0001-12-31 BC'::date]",
])
def test_dates_python_cannot_hold(cur, sql):
    with pytest.raises(ValueError, match="year"):
        one(cur, sql)


# -- times -------------------------------------------------------------------

@pytest.mark.parametrize("literal, expected", [
    ("13:45:00", dt.time(13, 45)),
    ("13:45:00.5", dt.time(13, 45, 0, 500000)),
    ("00:00:00.000001", dt.time(0, 0, 0, 1)),
    ("23:59:59.999999", dt.time(23, 59, 59, 999999)),
    ("24:00:00", dt.time(0, 0)),  # end of day: Python has no 24:00
])
def test_time_values(cur, literal, expected):
    value = scalar(cur, f"select '{literal}'::time")
    assert value == expected and value.tzinfo is None


@pytest.mark.parametrize("literal, expected", [
    ("13:45:00+05:30", dt.time(13, 45, tzinfo=tz(td(hours=5, minutes=30)))),
    ("12:00:00-08", dt.time(12, tzinfo=tz(td(hours=-8)))),
    ("01:02:03.000004-03:30", dt.time(1, 2, 3, 4, tzinfo=tz(-td(hours=3, minutes=30)))),
    ("01:02:03+00", dt.time(1, 2, 3, tzinfo=UTC)),
])
def test_timetz_values(cur, literal, expected):
    value = scalar(cur, f"select '{literal}'::timetz")
    assert value == expected
    assert value.utcoffset() == expected.utcoffset()


def test_tzinfo_factory_receives_the_offset(cur):
    seen = []

    def factory(offset):
        seen.append(offset)
        return tz(offset, "mine")

    cur.tzinfo_factory = factory
    cur.execute("set time zone 'Asia/Kathmandu'")
    t, ts = one(cur, "select '12:00:00-08'::timetz, '2024-01-05 10:00:00+05:45'::timestamptz")
    assert seen == [td(-1, 57600), td(hours=5, minutes=45)]
    assert t.tzname() == "mine" and ts.tzname() == "mine"
    assert ts == dt.datetime(2024, 1, 5, 4, 15, tzinfo=UTC)


def test_no_tzinfo_factory_gives_naive_values(cur):
    cur.tzinfo_factory = None
    cur.execute("set time zone 'Asia/Kathmandu'")
    t, ts, inf = one(cur, "select '13:45:00+05:30'::timetz,"
                          " '2024-01-05 10:00:00+05:45'::timestamptz, 'infinity'::timestamptz")
    assert t == dt.time(13, 45) and t.tzinfo is None
    assert ts == dt.datetime(2024, 1, 5, 10, 0) and ts.tzinfo is None
    assert inf == dt.datetime.max and inf.tzinfo is None


def test_failing_tzinfo_factory_propagates(cur):
    def factory(offset):
        raise ZeroDivisionError("nope")

    cur.tzinfo_factory = factory
    with pytest.raises(ZeroDivisionError):
        one(cur, "select '12:00:00-08'::timetz")


# -- timestamps --------------------------------------------------------------

@pytest.mark.parametrize("literal, expected", [
    ("2024-07-01 10:11:12.123456", dt.datetime(2024, 7, 1, 10, 11, 12, 123456)),
    ("0001-01-01 00:00:00", dt.datetime(1, 1, 1)),
    ("9999-12-31 23:59:59.999999", dt.datetime(9999, 12, 31, 23, 59, 59, 999999)),
    ("2000-02-29 00:00:00.5", dt.datetime(2000, 2, 29, 0, 0, 0, 500000)),
    ("infinity", dt.datetime.max),
    ("-infinity", dt.datetime.min),
])
def test_timestamp_values(cur, literal, expected):
    value = scalar(cur, f"select '{literal}'::timestamp")
    assert value == expected and value.tzinfo is None


ZONES = [
    ("UTC", td(0), td(0)),
    ("America/New_York", td(hours=-4), td(hours=-5)),
    ("Asia/Kolkata", td(hours=5, minutes=30), td(hours=5, minutes=30)),
]


@pytest.mark.parametrize("zone, summer, winter", ZONES)
def test_timestamptz_in_session_zones(cur, zone, summer, winter):
    cur.execute(f"set time zone '{zone}'")
    rows = one(cur, "select '2024-07-01 12:00:00.25+00'::timestamptz,"
                    " '2024-01-15 12:00:00+00'::timestamptz,"
                    " extract(epoch from '2024-07-01 12:00:00.25+00'::timestamptz)")
    jul, jan, epoch = rows
    assert jul == dt.datetime(2024, 7, 1, 12, 0, 0, 250000, tzinfo=UTC)
    assert jan == dt.datetime(2024, 1, 15, 12, tzinfo=UTC)
    assert (jul.utcoffset(), jan.utcoffset()) == (summer, winter)
    assert jul.timestamp() == float(epoch)
    # Infinity is UTC whatever the session zone.
    inf, ninf = one(cur, "select 'infinity'::timestamptz, '-infinity'::timestamptz")
    assert inf == dt.datetime.max.replace(tzinfo=UTC) and inf.tzinfo is UTC
    assert ninf == dt.datetime.min.replace(tzinfo=UTC) and ninf.tzinfo is UTC


def test_timestamptz_offset_with_seconds(cur):
    # Local mean time: New York before 1883 was 4:56:02 behind UTC.
    cur.execute("set time zone 'America/New_York'")
    value, text, offset = one(cur, "select t, t::text, extract(timezone from t) from"
                                   " (select '1850-06-01 12:00:00'::timestamptz as t) s")
    assert text.endswith("-04:56:02")
    assert value.utcoffset() == -td(hours=4, minutes=56, seconds=2)
    assert value.utcoffset().total_seconds() == offset
    assert value.replace(tzinfo=None) == dt.datetime(1850, 6, 1, 12)


def test_timestamptz_round_trip_matches_server_epoch(cur):
    cur.execute("set time zone 'Asia/Kolkata'")
    cur.execute("select t, extract(epoch from t) from (values"
                " ('0001-01-01 00:00:00+00'::timestamptz), ('1899-12-31 23:59:59.999999+00'),"
                " ('1970-01-01 00:00:00+00'), ('2038-01-19 03:14:08.000001+00')) v(t)")
    for value, epoch in cur.fetchall():
        utc = value.astimezone(UTC).replace(tzinfo=None)
        assert (utc - dt.datetime(1970, 1, 1)) == td(microseconds=int(Decimal(epoch) * 10**6))


# -- intervals ---------------------------------------------------------------

@pytest.mark.parametrize("literal, expected", [
    ("1 year 2 mons 3 days 04:05:06.5", td(428, 14706, 500000)),
    ("-1 days +02:03:04", td(-1, 7384)),
    ("-1.5 seconds", -td(seconds=1.5)),
    ("1 day -2 hours", td(1, -7200)),
    ("3 days", td(3)),
    ("1 mon", td(30)),
    ("14 mons 45 days", td(365 + 60 + 45)),
    ("-1 years -2 mons", -td(365 + 60)),
    ("100 hours 0.000001 seconds", td(hours=100, microseconds=1)),
    ("0", td(0)),
    ("-100 years", -td(36500)),
])
def test_interval_values(cur, literal, expected):
    value = scalar(cur, f"select '{literal}'::interval")
    assert value == expected and type(value) is td


def test_interval_matches_server_epoch_without_years(cur):
    # extract(epoch) counts a month as 30 days, as the cast does.
    cur.execute("select i, extract(epoch from i) from (values ('5 mons -3 days 01:02:03.4'::interval),"
                " ('-45 days -00:00:00.000007'), ('10 days 123:00:00'), ('-7 mons +1 day')) v(i)")
    for value, epoch in cur.fetchall():
        assert value == td(microseconds=int(Decimal(epoch) * 10**6))


def test_interval_overflowing_timedelta_raises(cur):
    with pytest.raises(OverflowError):
        scalar(cur, "select '3000000 years'::interval")


@pytest.mark.parametrize("text, expected", [
    ("1234567", td(microseconds=1234567)),
    ("00:00:00.1234567", td(microseconds=123457)),
    ("infinity", td.max),
    ("-infinity", td.min),
])
def test_interval_special_texts(cur, text, expected):
    assert cur.cast(1186, text) == expected


@pytest.mark.parametrize("text, exc, match", [
    ("P1Y", tolvar2.NotSupportedError, "iso_8601"),
    ("2147483648:00:00", OverflowError, "interval component too big"),
    # Other interval styles are refused, not misread.
    ("1-2 3 4:05:06", ValueError, None),
    ("3 4:05:06", ValueError, None),
    ("@ 1 year 2 mons 3 days 4 hours ago", ValueError, None),
    ("1 day 4 hours 5 mins", tolvar2.DataError, "unable to parse interval"),
    ("1 day 2 mons", tolvar2.DataError, "unable to parse interval"),
    ("1 year 12", tolvar2.DataError, "unable to parse interval"),
    ("", ValueError, None),
])
def test_interval_bad_texts(cur, text, exc, match):
    with pytest.raises(exc, match=match):
        cur.cast(1186, text)


def test_interval_style_other_than_postgres_never_misread(cur):
    for style in ("sql_standard", "postgres_verbose", "iso_8601"):
        cur.execute(f"set intervalstyle = '{style}'")
        with pytest.raises(PARSE_ERRORS):
            scalar(cur, "select '1 year 2 mons 3 days 04:05:06'::interval")


# -- arrays ------------------------------------------------------------------

STRINGS = ["a,b", 'c"d', "", None, "NULL", "null", "x\\y", "{}", " sp ", "é", "\\\"", "}{,"]


def sql_str(s):
    return "NULL" if s is None else "'" + s.replace("'", "''") + "'"


@pytest.mark.parametrize("sqltype", ["text", "varchar", "bpchar", "name"])
def test_string_arrays(cur, sqltype):
    # Trailing blanks of bpchar are not significant: leave them out there.
    values = [s for s in STRINGS if sqltype != "bpchar" or s is None or not s.endswith(" ")]
    got = scalar(cur, f"select array[{', '.join(map(sql_str, values))}]::{sqltype}[]")
    assert got == values


ELEMENT_ARRAYS = [
    ("array[1, null, -32768, 32767]::int2[]", [1, None, -32768, 32767]),
    ("array[1, null, -2147483648]::int4[]", [1, None, -2147483648]),
    ("array[9223372036854775807, null, -9223372036854775808]::int8[]",
     [9223372036854775807, None, -9223372036854775808]),
    ("array[0, 4294967295, null]::oid[]", [0, 4294967295, None]),
    ("array[1.5, null, 'NaN', '-Infinity']::float8[]", [1.5, None, "nan", float("-inf")]),
    ("array[0.25, null]::float4[]", [0.25, None]),
    ("array[1.10, null, 'NaN']::numeric[]", [Decimal("1.10"), None, "nan"]),
    ("array[true, null, false]", [True, None, False]),
    ("array['a'::\"char\", null]", ["a", None]),
    ("array['2024-02-29', null, 'infinity', '-infinity', '0001-01-01']::date[]",
     [dt.date(2024, 2, 29), None, dt.date.max, dt.date.min, dt.date(1, 1, 1)]),
    ("array['13:45:00.5', null]::time[]", [dt.time(13, 45, 0, 500000), None]),
    ("array['13:45:00+05:30', null]::timetz[]",
     [dt.time(13, 45, tzinfo=tz(td(hours=5, minutes=30))), None]),
    ("array['2024-01-05 10:11:12.5', 'infinity', null, '-infinity']::timestamp[]",
     [dt.datetime(2024, 1, 5, 10, 11, 12, 500000), dt.datetime.max, None, dt.datetime.min]),
    ("array['2024-01-05 10:11:12+00', 'infinity', null]::timestamptz[]",
     [dt.datetime(2024, 1, 5, 10, 11, 12, tzinfo=UTC), dt.datetime.max.replace(tzinfo=UTC), None]),
    ("array['1 year 2 mons 3 days 04:05:06.5', null, '-1 days +02:03:04']::interval[]",
     [td(428, 14706, 500000), None, td(-1, 7384)]),
    ("array['192.168.0.1/24'::inet, null]", ["192.168.0.1/24", None]),
    ("array['10.0.0.0/8'::cidr, null]", ["10.0.0.0/8", None]),
    ("array['08:00:2b:01:02:03'::macaddr, null]", ["08:00:2b:01:02:03", None]),
    ("'{}'::int[]", []),
    ("array[array[1, 2], array[3, null]]", [[1, 2], [3, None]]),
    ("array[[[1, 2], [3, 4]], [[5, 6], [7, 8]]]", [[[1, 2], [3, 4]], [[5, 6], [7, 8]]]),
    ("array[array['a\"b', null], array['', '\\']]", [['a"b', None], ["", "\\"]]),
    ("'[0:2]={1,2,3}'::int[]", [1, 2, 3]),
    ("'[0:1][2:4]={{1,2,3},{4,5,6}}'::int[]", [[1, 2, 3], [4, 5, 6]]),
    ("'[-1:0][1:1][5:6]={{{\"a,b\",NULL}},{{\"\",c}}}'::text[]", [[["a,b", None]], [["", "c"]]]),
]


def same(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
    if b == "nan":
        return a != a
    return type(a) is type(b) and a == b and getattr(a, "tzinfo", None) == getattr(b, "tzinfo", None)


@pytest.mark.parametrize("sql, expected", ELEMENT_ARRAYS)
def test_arrays_of_builtin_types(cur, sql, expected):
    cur.execute("set time zone 'UTC'")
    value, text = one(cur, f"select v, v::text from (select {sql} as v) s")
    assert same(value, expected), (value, text)


def test_bounds_prefix_reaches_the_cast(cur):
    assert scalar(cur, "select '[0:1][2:4]={{1,2,3},{4,5,6}}'::int[]::text").startswith("[0:1][2:4]=")


def test_bytea_arrays(cur):
    for output in ("hex", "escape"):
        cur.execute(f"set bytea_output = '{output}'")
        got = scalar(cur, r"select array['\x00ff5c22'::bytea, null, ''::bytea, 'a,b}']")
        assert [None if v is None else bytes(v) for v in got] == [b"\x00\xff\\\"", None, b"", b"a,b}"]


def test_array_edge_texts(cur):
    ints, strs = 1007, 1009
    assert cur.cast(ints, "{1,2,3}") == [1, 2, 3]
    assert cur.cast(ints, "{NULL,1}") == cur.cast(ints, "{null,1}") == [None, 1]
    assert cur.cast(strs, '{"NULL",x}') == ["NULL", "x"]
    assert cur.cast(strs, '{"a,b","c\\"d","",""}') == ["a,b", 'c"d', "", ""]
    assert cur.cast(ints, "[0:2]={1,2,3}") == [1, 2, 3]
    # Outside quotes a backslash escapes exactly one byte.
    assert cur.cast(strs, "{a\\,,b,N\\ULL}") == ["a,", "b", "NULL"]
    nested = "{" * 17 + "}" * 17  # 16 levels inside the outermost: the limit
    value, depth = cur.cast(ints, nested), 0
    while value:
        value, depth = value[0], depth + 1
    assert depth == 16


@pytest.mark.parametrize("oid, text, match", [
    (1007, "{1,2,3", "unbalanced braces"),
    (1007, "{{1,2},{3,4}", "unbalanced braces"),
    (1007, "{1,2}}", "unbalanced braces"),
    (1007, "{1},{2}", "unbalanced braces"),
    (1009, '{"abc}', "unbalanced quotes"),
    (1009, '{"}', "unbalanced quotes"),
    (1009, "{a\\}", "unbalanced braces"),
    (1007, "{" * 18 + "}" * 18, "excessive array dimensions"),
    (1007, "1,2,3", "array does not start with '{'"),
    (1007, "", "array does not start with '{'"),
    (1007, "[1:2]{1,2}", "array does not start with '{'"),
    (1007, "[1:2", "array does not start with '{'"),
    (1007, "{", r"malformed array: '\{'"),
])
def test_array_malformed(cur, oid, text, match):
    with pytest.raises(tolvar2.DataError, match=match):
        cur.cast(oid, text)


def test_array_element_errors_propagate(cur):
    with pytest.raises(ValueError):
        cur.cast(1007, "{1,x}")
    with pytest.raises(tolvar2.DataError, match="unable to parse date"):
        cur.cast(1182, "{2024-01-01,tomorrow}")


def test_new_array_type_with_callable_base(cur):
    seen = []

    def cast_point(value, c):
        seen.append((value, c.typecaster is base))
        return None if value is None else tuple(map(float, value.strip("()").split(",")))

    base = _tolvar.new_type((600,), "POINT", cast_point)
    arr = _tolvar.new_array_type((1017,), "POINTARRAY", base)
    assert (arr.name, arr.values) == ("POINTARRAY", (1017,))
    _tolvar.register_type(arr, cur)
    got = scalar(cur, "select array['(1,2)'::point, null, '(3.5,-4)']")
    assert got == [(1.0, 2.0), None, (3.5, -4.0)]
    assert seen == [("(1,2)", True), (None, True), ("(3.5,-4)", True)]
    assert cur.typecaster is None


def test_new_array_type_arguments():
    with pytest.raises(TypeError):
        _tolvar.new_array_type((1,), "A", 5)
    with pytest.raises(TypeError):
        _tolvar.new_array_type((1,), "A")
    t = _tolvar.new_array_type(values=(1,), name="A", baseobj=_tolvar.INTEGER)
    assert t == 1
    assert _tolvar.new_array_type.__doc__.startswith(
        "new_array_type(oids, name, baseobj) -> new type object\n\nCreate a new binding object to parse an array.")


def test_array_cast_without_cursor_is_refused():
    with pytest.raises(TypeError, match="cursor"):
        _tolvar.INTEGERARRAY("{1}", None)


# -- bytea -------------------------------------------------------------------

ALL_BYTES = bytes(range(256))


@pytest.mark.parametrize("output", ["hex", "escape"])
def test_bytea_every_byte_value(cur, output):
    cur.execute(f"set bytea_output = '{output}'")
    value, text = one(cur, f"select b, b::text from (select decode('{ALL_BYTES.hex()}', 'hex') b) s")
    assert text.startswith("\\x") == (output == "hex")
    assert isinstance(value, memoryview)
    assert bytes(value) == ALL_BYTES
    assert bytes(cur.cast(17, text)) == ALL_BYTES
    assert bytes(scalar(cur, "select ''::bytea")) == b""


def test_bytea_memoryview_shape(cur):
    mv = scalar(cur, r"select '\x414243'::bytea")
    assert mv.readonly and mv.format == "c" and mv.itemsize == 1 and mv.nbytes == 3
    assert mv[0] == b"A" and mv.tobytes() == b"ABC"
    assert repr(mv.obj).startswith("<memory chunk at 0x") and repr(mv.obj).endswith("size 3>")
    with pytest.raises(TypeError):
        mv[0] = b"x"
    # The chunk outlives the cursor and its result.
    cur.close()
    assert bytes(mv) == b"ABC"


@pytest.mark.parametrize("text, expected", [
    ("\\x", b""),
    ("\\x41424a", b"ABJ"),
    ("\\x41 42", b"AB"),
    ("\\x414", b"A"),
    ("\\x4A6B", b"Jk"),
    ("\\x4\u00b01", b"A"),  # a non-ASCII byte is not a digit
    ("abc\\000\\\\", b"abc\x00\\"),
    ("\\8", b"8"),
    ("\\477", b"477"),
    ("\\101\\1", b"A1"),
    ("", b""),
    ("ab\\", b"ab\\"),  # a final lone backslash stays
    ("\\X41", b"X41"),
])
def test_bytea_texts(cur, text, expected):
    assert bytes(cur.cast(17, text)) == expected


def test_bytea_null(cur):
    assert scalar(cur, "select null::bytea") is None
    assert _tolvar.BINARY(None, cur) is None


# -- malformed texts for the date and time parsers ---------------------------

@pytest.mark.parametrize("oid, text, match", [
    (1082, "2024-02", "unable to parse date"),
    (1082, "2024-0x-01", "unable to parse date"),
    (1082, "", "unable to parse date"),
    (1082, "2024--01", "unable to parse date"),
    (1082, "99999999999-01-01", "unable to parse date"),
    (1082, "infinityx", "unable to parse date"),
    (1083, "13:45", "unable to parse time"),
    (1083, "13", "unable to parse time"),
    (1083, "13:45:00.5.5", "unable to parse time"),
    (1083, "13:+45:00", "unable to parse time"),
    (1083, "1a:45:00", "unable to parse time"),
    (1266, "13:45:00+999", "unable to parse time"),
    (1114, "2024-01-05 10", "unable to parse time"),
    (1114, "2024-01", "unable to parse date"),
    (1184, "2024-01-05 10:11:12:13:14:15:16", "unable to parse time"),
])
def test_date_time_malformed(cur, oid, text, match):
    with pytest.raises(tolvar2.DataError, match=match):
        cur.cast(oid, text)


@pytest.mark.parametrize("oid, text, expected", [
    (1083, "12:00:60", dt.time(12, 1)),
    (1114, "2024-01-05T10:11:12", dt.datetime(2024, 1, 5, 10, 11, 12)),
    (1184, "2024-01-05T10:11:12.123456+00", dt.datetime(2024, 1, 5, 10, 11, 12, 123456, tzinfo=UTC)),
    (1114, "2024-01-05", dt.datetime(2024, 1, 5)),
    (1266, "10:00:00-04:56:02", dt.time(10, tzinfo=tz(-td(hours=4, minutes=56, seconds=2)))),
])
def test_date_time_other_texts(cur, oid, text, expected):
    value = cur.cast(oid, text)
    assert value == expected and value.tzinfo == expected.tzinfo


def test_date_time_out_of_range_fields(cur):
    for oid, text in [(1083, "23:59:60"), (1083, "25:00:00"), (1083, "24:30:00"), (1082, "2024-13-01"),
                      (1082, "2023-02-29"), (1266, "10:00:00+24")]:
        with pytest.raises(ValueError):
            cur.cast(oid, text)


# -- fuzzing: random and mutated texts never crash ---------------------------

SAMPLES = {
    1007: (list, ["{1,2,3}", "{{1,NULL},{3,4}}", "[0:1]={5,6}", "{}"]),
    1009: (list, ['{"a,b","c\\"d","",NULL}', '{{x,"y z"},{"\\\\",w}}', "[1:1][0:1]={{a,b}}"]),
    1182: (list, ["{2024-02-29,infinity,NULL}", "{0044-03-15 BC}"]),
    1115: (list, ['{"2024-01-05 10:11:12.5",-infinity}']),
    1185: (list, ['{"2024-01-05 10:11:12.5+05:30"}']),
    1187: (list, ['{"1 year 2 mons 3 days 04:05:06.5","-1 days +02:03:04"}']),
    1001: (list, ['{"\\\\x4142",NULL,"ab\\\\000"}']),
    17: (memoryview, ["\\x00ff4142", "abc\\000\\\\\\101"]),
    1082: (dt.date, ["2024-02-29", "0044-03-15 BC", "infinity"]),
    1083: (dt.time, ["13:45:00.5", "24:00:00", "12:00:60"]),
    1266: (dt.time, ["13:45:00+05:30", "10:00:00-04:56:02"]),
    1114: (dt.datetime, ["2024-07-01 10:11:12.123456", "infinity", "0044-03-15 10:00:00 BC"]),
    1184: (dt.datetime, ["1850-06-01 12:00:00-04:56:02", "2024-01-05T10:11:12+00"]),
    1186: (td, ["1 year 2 mons 3 days 04:05:06.5", "-1 days +02:03:04", "-00:00:01.5", "1234567"]),
}
ALPHABET = "0123456789{}[]:,.-+ \"\\NULnulBCTPxXymd'=\x00\xff"


def mutate(rng, text):
    chars = list(text)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(4)
        pos = rng.randrange(len(chars) + 1)
        if op == 0:
            chars.insert(pos, rng.choice(ALPHABET))
        elif op == 1 and chars:
            del chars[min(pos, len(chars) - 1)]
        elif op == 2 and chars:
            chars[min(pos, len(chars) - 1)] = rng.choice(ALPHABET)
        else:
            chars = chars[:pos]  # truncation
    return "".join(chars)


def random_text(rng):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randrange(24)))


@pytest.mark.parametrize("oid", sorted(SAMPLES))
def test_fuzz_parsers(cur, oid):
    rng = random.Random(oid)
    kind, samples = SAMPLES[oid]
    for sample in samples:  # the samples themselves convert, but for the BC seeds
        if "BC" not in sample:
            assert isinstance(cur.cast(oid, sample), kind)
    converted = 0
    for i in range(3000):
        text = random_text(rng) if i % 3 == 0 else mutate(rng, rng.choice(samples))
        data = text.encode("latin-1")
        try:
            value = cur.cast(oid, data)
        except PARSE_ERRORS:
            continue
        assert isinstance(value, kind), (text, value)
        converted += 1
    assert converted > 0
