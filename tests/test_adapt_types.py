"""Adaptation of bytes-like values, dates and times, and lists: the Binary,
datetime wrapper and List adapters, the DB-API constructors."""

import datetime as dt
import gc
import json
import weakref
from decimal import Decimal

import pytest

import tolvar2
from tolvar2 import _tolvar
from tolvar2.extensions import (
    AsIs,
    Binary,
    DateFromPy,
    IntervalFromPy,
    ISQLQuote,
    List,
    TimeFromPy,
    TimestampFromPy,
    adapt,
    register_adapter,
)

Wrapper = type(_tolvar.Date(2000, 1, 1))  # the wrapper type, not a module attribute
UTC = dt.timezone.utc


def tz(**kw):
    return dt.timezone(dt.timedelta(**kw))


@pytest.fixture
def cur(conn):
    c = conn.cursor()
    c.execute("SET TimeZone TO 'UTC'")
    return c


def roundtrip(cur, value, cast=""):
    """`value` sent as a parameter and read back through its typecaster."""
    cur.execute(f"SELECT %s{cast}", (value,))
    got = cur.fetchone()[0]
    if isinstance(got, str):
        pytest.skip("the result typecaster of this type is not available")
    return got


# ---------------------------------------------------------------------------
# Registry and package


def test_registered_adapters():
    expected = {
        bytes: Binary, bytearray: Binary, memoryview: Binary, list: List,
        dt.date: DateFromPy, dt.time: TimeFromPy, dt.datetime: TimestampFromPy,
        dt.timedelta: IntervalFromPy,
    }
    for typ, factory in expected.items():
        assert _tolvar.adapters[(typ, ISQLQuote)] is factory


def test_package_names():
    assert tolvar2.Binary is _tolvar.Binary is Binary
    assert tolvar2.Date is _tolvar.Date
    for name in ("Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks"):
        assert getattr(tolvar2, name) is getattr(_tolvar, name)
    names = list(vars(_tolvar))
    assert names.index("AsIs") + 1 == names.index("Binary")
    assert names.index("Float") + 1 == names.index("List")
    dbapi = ["Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks",
             "TimestampFromTicks", "DateFromPy", "TimeFromPy", "TimestampFromPy",
             "IntervalFromPy"]
    start = names.index("libpq_version") + 1
    assert names[start:start + len(dbapi)] == dbapi
    assert Wrapper.__name__ == "datetime" and "datetime" not in names


# ---------------------------------------------------------------------------
# Binary


def quoted(value, conn=None):
    a = Binary(value)
    if conn is not None:
        a.prepare(conn)
    return a.getquoted()


@pytest.mark.parametrize("value, expected", [
    (None, b"NULL"),
    (b"", b"''::bytea"),
    (b"abc", b"'abc'::bytea"),
    (bytearray(b"x"), b"'x'::bytea"),
    (memoryview(b"xyz")[1:], b"'yz'::bytea"),
])
def test_binary_literals_without_connection(value, expected):
    assert quoted(value) == expected


@pytest.mark.parametrize("value, plain, equoted", [
    (b"abc", b"'\\x616263'::bytea", b"E'\\\\x616263'::bytea"),
    (b"", b"'\\x'::bytea", b"E'\\\\x'::bytea"),
    (b"'\\\x00", b"'\\x275c00'::bytea", b"E'\\\\x275c00'::bytea"),
    (bytearray(b"\xff"), b"'\\xff'::bytea", b"E'\\\\xff'::bytea"),
])
def test_binary_literals_with_connection(conn, econn, value, plain, equoted):
    assert quoted(value, conn) == plain
    assert quoted(value, econn) == equoted
    assert str(Binary(value)) == Binary(value).getquoted().decode()


def test_binary_cache(conn, econn):
    a = Binary(b"\x01")
    a.prepare(conn)
    first = a.getquoted()
    a.prepare(econn)
    assert a.getquoted() is first and a.buffer is first and a.adapted == b"\x01"


@pytest.mark.parametrize("value, name", [("abc", "str"), (42, "int"), ([1], "list")])
def test_binary_refuses_non_buffers(value, name):
    with pytest.raises(TypeError, match=f"^can't escape {name} to binary$"):
        Binary(value).getquoted()


def test_binary_errors(conn):
    with pytest.raises(BufferError):
        Binary(memoryview(b"abcd")[::2]).getquoted()
    with pytest.raises(TypeError):
        Binary(b"").prepare(42)
    assert Binary(b"x").__conform__(ISQLQuote).adapted == b"x"
    assert Binary(b"x").__conform__(int) is None
    with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'object'"):
        conn.cursor().execute("SELECT %s", (object(),))


ALL_BYTES = bytes(range(256))


@pytest.mark.parametrize("output", ["hex", "escape"])
@pytest.mark.parametrize("scs", ["on", "off"])
@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_binary_roundtrip(dsn, output, scs, kind):
    c = tolvar2.connect(dsn, options=f"-c standard_conforming_strings={scs} -c bytea_output={output}")
    try:
        cur = c.cursor()
        value = kind(ALL_BYTES * 2)
        cur.execute("SELECT encode(%s, 'hex'), octet_length(%s)", (value, value))
        assert cur.fetchone() == (ALL_BYTES.hex() * 2, 512)
        assert cur.mogrify("%s", (value,)).startswith(b"E'" if scs == "off" else b"'")
        got = roundtrip(cur, value)
        assert bytes(got) == ALL_BYTES * 2
    finally:
        c.close()


@pytest.mark.parametrize("start, switch", [("on", "off"), ("off", "on")])
def test_binary_follows_scs_change(dsn, start, switch):
    c = tolvar2.connect(dsn, options=f"-c standard_conforming_strings={start}")
    try:
        cur = c.cursor()
        cur.execute(f"SET standard_conforming_strings TO {switch}")
        cur.execute("SELECT encode(%s, 'hex')", (b"\\'\x00",))
        assert cur.fetchone()[0] == "5c2700"
    finally:
        c.close()


@pytest.mark.parametrize("scs", ["on", "off"])
def test_binary_without_connection_follows_libpq_default(dsn, scs):
    # Escaping without a connection uses libpq's default, which follows the
    # last connection made; the literal must be read back as the same bytes.
    c = tolvar2.connect(dsn, options=f"-c standard_conforming_strings={scs}")
    try:
        literal = Binary(ALL_BYTES).getquoted()
        assert literal.startswith(b"E'") == (scs == "off")
        cur = c.cursor()
        cur.execute("SELECT encode(%s, 'hex')", (AsIs(literal.decode("ascii")),))
        assert cur.fetchone()[0] == ALL_BYTES.hex()
    finally:
        c.close()


# ---------------------------------------------------------------------------
# Dates and times: literals


@pytest.mark.parametrize("wrapper, literal, code", [
    (_tolvar.Date(2024, 1, 5), b"'2024-01-05'::date", 1),
    (_tolvar.Time(10, 11, 12), b"'10:11:12'::time", 0),
    (_tolvar.Time(1, 2, 3.5), b"'01:02:03.500000'::time", 0),
    (_tolvar.Time(1, 2, 3, UTC), b"'01:02:03+00:00'::timetz", 0),
    (_tolvar.Time(1, 2, 3, None), b"'01:02:03'::time", 0),
    (_tolvar.Timestamp(2024, 1, 5), b"'2024-01-05T00:00:00'::timestamp", 2),
    (_tolvar.Timestamp(2024, 1, 5, 1, 2, 3.25, UTC),
     b"'2024-01-05T01:02:03.250000+00:00'::timestamptz", 2),
    (TimeFromPy(dt.time(10, 11, 12)), b"'10:11:12'::time", 0),
    (TimeFromPy(dt.time(10, 11, 12, 7, tz(hours=-3))), b"'10:11:12.000007-03:00'::timetz", 0),
    (DateFromPy(dt.date(1, 1, 1)), b"'0001-01-01'::date", 1),
    (DateFromPy(dt.datetime(2024, 1, 5, 10, 11)), b"'2024-01-05T10:11:00'::date", 1),
    (TimestampFromPy(dt.datetime(2024, 1, 5, 12, tzinfo=tz(hours=5, minutes=30, seconds=15))),
     b"'2024-01-05T12:00:00+05:30:15'::timestamptz", 2),
    (TimestampFromPy(dt.datetime.max), b"'9999-12-31T23:59:59.999999'::timestamp", 2),
    (IntervalFromPy(dt.timedelta(0)), b"'0 days 0.000000 seconds'::interval", 3),
    (IntervalFromPy(dt.timedelta(days=1, microseconds=7)),
     b"'1 days 0.000007 seconds'::interval", 3),
    (IntervalFromPy(dt.timedelta(-1, 86399, 500)),
     b"'-1 days 86399.000500 seconds'::interval", 3),
    (IntervalFromPy(dt.timedelta.min), b"'-999999999 days 0.000000 seconds'::interval", 3),
    (Wrapper(dt.timedelta(seconds=5), 7), b"'0 days 5.000000 seconds'::interval", 7),
    (Wrapper(dt.date(2024, 1, 5), 1), b"'2024-01-05'::date", 1),
])
def test_datetime_literals(wrapper, literal, code):
    assert wrapper.getquoted() == literal
    assert wrapper.type == code
    assert str(wrapper) == literal.decode()
    assert wrapper.__conform__(ISQLQuote) is wrapper and wrapper.__conform__(int) is None


def test_constructor_values():
    assert _tolvar.Time(1, 2, 3.5).adapted == dt.time(1, 2, 3, 500000)
    # microseconds are rounded to nearest, not truncated
    assert _tolvar.Time(1, 2, 3.0000016).adapted == dt.time(1, 2, 3, 2)
    assert _tolvar.Time(1, 2, 3.0000004).adapted == dt.time(1, 2, 3, 0)
    aware = _tolvar.Timestamp(2024, 1, 5, 1, 2, 3.25, UTC).adapted
    assert aware == dt.datetime(2024, 1, 5, 1, 2, 3, 250000, tzinfo=UTC)
    assert _tolvar.Date(2024, 2, 29).adapted == dt.date(2024, 2, 29)
    assert type(_tolvar.Timestamp(2024, 1, 5).adapted) is dt.datetime


def test_ticks_constructors():
    t = 1700000000.25
    local = dt.datetime.fromtimestamp(t)
    assert _tolvar.DateFromTicks(t).adapted == local.date()
    assert _tolvar.TimeFromTicks(t).adapted == local.time()
    assert _tolvar.TimeFromTicks(0.25).adapted.microsecond == 250000
    w = _tolvar.TimestampFromTicks(t)
    assert w.type == 2 and w.adapted.tzinfo is not None
    assert w.adapted == dt.datetime.fromtimestamp(t, UTC)
    assert w.getquoted().endswith(b"'::timestamptz")
    zero = _tolvar.TimestampFromTicks(0).adapted
    assert zero == dt.datetime.fromtimestamp(0).astimezone()
    assert zero.utcoffset() == dt.datetime.fromtimestamp(0).astimezone().utcoffset()


@pytest.mark.parametrize("call, exc, match", [
    (lambda: _tolvar.Time(1, 2, 3.9999999), ValueError, "microsecond"),
    (lambda: _tolvar.Date(2024, 13, 1), ValueError, "month"),
    (lambda: _tolvar.Time(25, 0, 0), ValueError, "hour"),
    (lambda: _tolvar.Time(1, 2, 3, 5), TypeError, "tzinfo"),
    (lambda: _tolvar.Time(1, 2, float("nan")), ValueError, "out of range"),
    (lambda: _tolvar.Timestamp(2024, 1, 5, 0, 0, 1e300), ValueError, "out of range"),
    (lambda: _tolvar.DateFromTicks(float("nan")), tolvar2.InterfaceError, "failed localtime call"),
    (lambda: _tolvar.TimestampFromTicks(1e300), tolvar2.InterfaceError, "failed localtime call"),
    (lambda: DateFromPy("2024-01-05"), TypeError, "date"),
    (lambda: TimeFromPy(dt.datetime(2024, 1, 5)), TypeError, "time"),
    (lambda: TimestampFromPy(dt.date(2024, 1, 5)), TypeError, "datetime"),
    (lambda: IntervalFromPy(5), TypeError, "timedelta"),
    (lambda: Wrapper(dt.date(2024, 1, 5)).getquoted(), ValueError, "kind -1"),
    (lambda: Wrapper(dt.date(2024, 1, 5), -5).getquoted(), ValueError, "kind -5"),
    (lambda: Wrapper("1 day", 3).getquoted(), TypeError, "timedelta, not str"),
    (lambda: Wrapper(dt.date(2024, 1, 5), 3).getquoted(), TypeError, "timedelta, not datetime.date"),
    (lambda: Wrapper(42, 1).getquoted(), AttributeError, "isoformat"),
    (lambda: Wrapper(42, 0).getquoted(), AttributeError, "tzinfo"),
    (lambda: Wrapper(dt.date(2024, 1, 5), 1, 2), TypeError, "at most 2 arguments"),
    (lambda: Wrapper(obj=dt.date(2024, 1, 5)), TypeError, "positional argument"),
])
def test_datetime_errors(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


class OddDate(dt.date):
    def __new__(cls, text):
        self = super().__new__(cls, 2024, 1, 5)
        self.text = text
        return self

    def isoformat(self):
        return self.text


def test_isoformat_overrides():
    assert DateFromPy(OddDate(b"2024-01-06")).getquoted() == b"'2024-01-06'::date"
    with pytest.raises(TypeError, match="Expected bytes or unicode string, got int instead"):
        DateFromPy(OddDate(7)).getquoted()
    for bad in ["2024-01-05'; DROP TABLE x; --", "2024\\", "a\x00b"]:
        with pytest.raises(ValueError, match="cannot be quoted"):
            DateFromPy(OddDate(bad)).getquoted()


# ---------------------------------------------------------------------------
# Dates and times: through the server

TEMPORAL = [
    (dt.date(1, 1, 1), "0001-01-01"),
    (dt.date(9999, 12, 31), "9999-12-31"),
    (dt.date(2024, 2, 29), "2024-02-29"),
    (dt.datetime.min, "0001-01-01 00:00:00"),
    (dt.datetime.max, "9999-12-31 23:59:59.999999"),
    (dt.datetime(2024, 7, 1, 10, 11, 12, 5), "2024-07-01 10:11:12.000005"),
    (dt.datetime.min.replace(tzinfo=UTC), "0001-01-01 00:00:00+00"),
    (dt.datetime(9999, 12, 31, 23, 59, 59, 999999, UTC), "9999-12-31 23:59:59.999999+00"),
    (dt.datetime(2024, 1, 5, 12, tzinfo=tz(hours=5, minutes=30, seconds=15)),
     "2024-01-05 06:29:45+00"),
    (dt.datetime(2024, 1, 5, 12, tzinfo=tz(hours=-9, minutes=-30)), "2024-01-05 21:30:00+00"),
    (dt.time(0, 0), "00:00:00"),
    (dt.time(23, 59, 59, 999999), "23:59:59.999999"),
    (dt.time(12, 30, tzinfo=tz(hours=-3)), "12:30:00-03"),
    (dt.time(12, 30, 0, 250, tzinfo=tz(hours=1, minutes=2, seconds=3)),
     "12:30:00.00025+01:02:03"),
    (dt.timedelta(0), "00:00:00"),
    (dt.timedelta(-1, 86399, 500), "-1 days +23:59:59.0005"),
    (dt.timedelta(microseconds=-1), "-1 days +23:59:59.999999"),
    (dt.timedelta(days=45, hours=3), "45 days 03:00:00"),
    (dt.timedelta(days=-400, seconds=7), "-400 days +00:00:07"),
    (dt.timedelta(days=3650000, microseconds=1), "3650000 days 00:00:00.000001"),
]


@pytest.mark.parametrize("value, text", TEMPORAL)
def test_temporal_server_text(cur, value, text):
    cur.execute("SELECT %s::text", (value,))
    assert cur.fetchone()[0] == text


@pytest.mark.parametrize("value", [v for v, _ in TEMPORAL])
def test_temporal_roundtrip(cur, value):
    got = roundtrip(cur, value)
    assert type(got) is type(value) and got == value
    if isinstance(value, (dt.datetime, dt.time)):
        assert (got.tzinfo is None) == (value.tzinfo is None)
    if isinstance(value, dt.time):
        assert got.utcoffset() == value.utcoffset()  # timetz keeps its own offset


def test_dbapi_constructors_as_parameters(cur):
    cur.execute(
        "SELECT %s = '2024-01-05'::date, %s = '01:02:03.5'::time, "
        "%s = '2024-01-05 01:02:03.25+00'::timestamptz, %s::text",
        (tolvar2.Date(2024, 1, 5), tolvar2.Time(1, 2, 3.5),
         tolvar2.Timestamp(2024, 1, 5, 1, 2, 3.25, UTC), tolvar2.Binary(b"\x00\xff")))
    assert cur.fetchone() == (True, True, True, "\\x00ff")
    t = 1700000000.5
    cur.execute("SELECT %s = to_timestamp(%s)", (tolvar2.TimestampFromTicks(t), t))
    assert cur.fetchone()[0] is True


# ---------------------------------------------------------------------------
# List: literals


def lq(value, conn=None):
    a = List(value)
    if conn is not None:
        a.prepare(conn)
    return a.getquoted()


class SubList(list):
    pass


@pytest.mark.parametrize("value, literal", [
    ([1, 2, 3], b"ARRAY[1,2,3]"),
    ([], b"'{}'"),
    ([None, None], b"'{NULL,NULL}'"),
    ([[None], [None]], b"'{{NULL},{NULL}}'"),
    ([[[None, None]], [[None, None]]], b"'{{{NULL,NULL}},{{NULL,NULL}}}'"),
    ([[]], b"ARRAY[ARRAY[]]"),
    ([[1, 2], [3, 4]], b"ARRAY[ARRAY[1,2],ARRAY[3,4]]"),
    ([None, 1], b"ARRAY[NULL,1]"),
    ([-1], b"ARRAY[ -1]"),
    ([[None], [1]], b"ARRAY['{NULL}',ARRAY[1]]"),
    (["a'b", ""], b"ARRAY['a''b','']"),
    ([True, 1.5, Decimal("-2")], b"ARRAY[true,1.5, -2]"),
    ([dt.date(2024, 1, 5), None], b"ARRAY['2024-01-05'::date,NULL]"),
    ([b"ab"], b"ARRAY['ab'::bytea]"),
    (SubList([1, SubList([None])]), b"ARRAY[1,'{NULL}']"),
])
def test_list_literals(value, literal):
    assert lq(value) == literal
    assert str(List(value)) == literal.decode()


def test_list_with_e_quotes(conn, econn):
    assert lq(["x", "a\\b"], econn) == b"ARRAY[E'x',E'a\\\\b']"
    assert lq(["x", "a\\b"], conn) == b"ARRAY['x','a\\b']"
    assert lq([[b"\x01"]], econn) == b"ARRAY[ARRAY[E'\\\\x01'::bytea]]"


def test_list_object():
    value = [1]
    a = List(value)
    assert a.adapted is value
    assert a.__conform__(ISQLQuote) is a and a.__conform__(list) is None
    assert gc.is_tracked(a)


def test_list_cycle_is_collected():
    class Marker:
        pass

    marker = Marker()
    probe = weakref.ref(marker)
    items = [marker]
    adapter = List(items)
    items.append(adapter)
    del items, adapter, marker
    gc.collect()
    assert probe() is None


@pytest.mark.parametrize("value", [(1, 2), "abc", 5, None, {1: 2}])
def test_list_refuses_non_lists(value):
    with pytest.raises(TypeError, match="must be a list"):
        List(value)


def test_list_element_errors(registry, conn):
    with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'object'"):
        lq([1, object()])

    class Number:
        def __init__(self, result):
            self.result = result

    class NumberAdapter:
        def __init__(self, obj):
            self.obj = obj

        def getquoted(self):
            return self.obj.result

    register_adapter(Number, NumberAdapter)
    assert lq([Number("42"), Number(b"7")]) == b"ARRAY[42,7]"  # str is encoded
    for bad in (42, None, bytearray(b"1")):
        with pytest.raises(TypeError, match="instead of bytes"):
            lq([1, Number(bad)])
    with pytest.raises(TypeError):
        List([]).prepare("conn")


def test_list_recursion():
    value = [1]
    value.append(value)
    with pytest.raises(RecursionError):
        lq(value)


def test_list_changed_during_adaptation(registry):
    # The literal is built from the items as they were when quoting began.
    class Shrink:
        pass

    value = []

    class ShrinkAdapter:
        def __init__(self, obj):
            pass

        def getquoted(self):
            value.clear()
            return b"0"

    register_adapter(Shrink, ShrinkAdapter)
    value.extend([1, Shrink(), 3, 4])
    assert lq(value) == b"ARRAY[1,0,3,4]"
    assert value == []


# ---------------------------------------------------------------------------
# List: through the server

TEXTS = ["a", None, "it's", 'with "quotes"', "comma,here", "back\\slash", "", "{brace}",
         "NULL", " spaced ", "\u00e9t\u00e9"]

ARRAYS = [
    ([1, None, -3, 2**40], "", [1, None, -3, 2**40]),
    ([1.5, None, -0.25], "", [1.5, None, -0.25]),
    (TEXTS, "", TEXTS),
    ([True, False, None], "", [True, False, None]),
    ([Decimal("1.5"), None, Decimal("-0.001")], "", [Decimal("1.5"), None, Decimal("-0.001")]),
    ([[1, 2], [3, 4]], "", [[1, 2], [3, 4]]),
    ([[[1, 2], [3, 4]], [[5, 6], [7, 8]]], "", [[[1, 2], [3, 4]], [[5, 6], [7, 8]]]),
    ([[1, None], [None, 4]], "", [[1, None], [None, 4]]),
    ([["a,b", None], ["'", "\\"]], "", [["a,b", None], ["'", "\\"]]),
    ([], "::int[]", []),
    ([None, None], "::int[]", [None, None]),
    ([[None], [None]], "::text[]", [[None], [None]]),
    ([dt.date(1, 1, 1), None, dt.date(9999, 12, 31)], "", ["0001-01-01", None, "9999-12-31"]),
    ([dt.datetime(2024, 1, 5, 1, 2, 3, 4), None], "", ["2024-01-05T01:02:03.000004", None]),
    ([dt.datetime(2024, 1, 5, 12, tzinfo=tz(hours=2))], "", ["2024-01-05T10:00:00+00:00"]),
    ([dt.time(1, 2, 3), dt.time(4, 5)], "", ["01:02:03", "04:05:00"]),
    ([dt.timedelta(-1, 5), None], "", ["-1 days +00:00:05", None]),
    ([b"\x00\xff", None, b""], "", ["\\x00ff", None, "\\x"]),
]


@pytest.mark.parametrize("value, cast, as_json", ARRAYS)
def test_list_server_json(cur, value, cast, as_json):
    cur.execute(f"SELECT to_json(%s{cast})::text", (value,))
    assert json.loads(cur.fetchone()[0], parse_float=Decimal) == as_json


@pytest.mark.parametrize("value, cast", [(v, c) for v, c, _ in ARRAYS])
def test_list_roundtrip(cur, value, cast):
    got = roundtrip(cur, value, cast)
    if value and isinstance(value[0], bytes):
        got = [None if g is None else bytes(g) for g in got]
    assert got == value


def test_list_roundtrip_e_quotes(econn):
    cur = econn.cursor()
    cur.execute("SELECT to_json(%s)::text", (TEXTS,))
    assert json.loads(cur.fetchone()[0]) == TEXTS
    cur.execute("SELECT encode(x, 'hex') FROM unnest(%s) AS x", ([ALL_BYTES, b"\\"],))
    assert cur.fetchall() == [(ALL_BYTES.hex(),), ("5c",)]


def test_list_in_any(cur):
    cur.execute("SELECT 3 = ANY(%s), 'x' = ANY(%s)", ([1, 2, 3], ["a", "b"]))
    assert cur.fetchone() == (True, False)


def test_adapt_builtin_types():
    assert isinstance(adapt(b""), Binary) and isinstance(adapt(bytearray()), Binary)
    assert isinstance(adapt(memoryview(b"")), Binary)
    assert isinstance(adapt([]), List) and isinstance(adapt(SubList()), List)
    assert adapt(dt.datetime(2024, 1, 5)).type == 2
    assert adapt(dt.date(2024, 1, 5)).type == 1
    assert adapt(dt.time()).type == 0 and adapt(dt.timedelta()).type == 3
