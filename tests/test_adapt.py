"""Adaptation: the adapter registry, adapt() and the scalar adapters."""

import math
from decimal import Decimal

import pytest

import tolvar2
from tolvar2 import _tolvar
from tolvar2.extensions import (
    AsIs,
    Boolean,
    Float,
    Int,
    ISQLQuote,
    QuotedString,
    adapt,
    register_adapter,
)

DecimalAdapter = _tolvar.Decimal
TRANSACTION_STATUS_IDLE = 0


# ---------------------------------------------------------------------------
# Literals


LITERALS = [
    (Int, 5, b"5"),
    (Int, -5, b" -5"),
    (Int, 0, b"0"),
    (Int, True, b"1"),
    (Int, 3.9, b"3"),
    (Int, 10**40, b"1" + b"0" * 40),
    (Int, -(2**100), b" -" + str(2**100).encode()),
    (Float, 1.5, b"1.5"),
    (Float, -2.25, b" -2.25"),
    (Float, -0.0, b" -0.0"),
    (Float, 1e100, b"1e+100"),
    (Float, 5e-324, b"5e-324"),
    (Float, math.nan, b"'NaN'::float"),
    (Float, math.inf, b"'Infinity'::float"),
    (Float, -math.inf, b"'-Infinity'::float"),
    (Float, 7, b"7"),
    (DecimalAdapter, Decimal("-1.50"), b" -1.50"),
    (DecimalAdapter, Decimal("123.456"), b"123.456"),
    (DecimalAdapter, Decimal("-0"), b" -0"),
    (DecimalAdapter, Decimal("1E+30"), b"1E+30"),
    (DecimalAdapter, Decimal("NaN"), b"'NaN'::numeric"),
    (DecimalAdapter, Decimal("-NaN"), b"'NaN'::numeric"),
    (DecimalAdapter, Decimal("sNaN"), b"'NaN'::numeric"),
    (DecimalAdapter, Decimal("Infinity"), b"'Infinity'::numeric"),
    (DecimalAdapter, Decimal("-Infinity"), b"'-Infinity'::numeric"),
    (Boolean, True, b"true"),
    (Boolean, False, b"false"),
    (Boolean, 0, b"false"),
    (Boolean, [0], b"true"),
    (Boolean, "", b"false"),
    (AsIs, None, b"NULL"),
    (AsIs, 42, b"42"),
    (AsIs, "it's", b"it's"),
    (AsIs, "\u00e9", b"\xc3\xa9"),
    (QuotedString, "it's", b"'it''s'"),
    (QuotedString, "", b"''"),
    (QuotedString, b"by'tes", b"'by''tes'"),
    (QuotedString, "\u00e9", b"'\xe9'"),
]


@pytest.mark.parametrize("adapter, value, literal", LITERALS)
def test_literal(adapter, value, literal):
    a = adapter(value)
    assert a.getquoted() == literal
    assert a.adapted is value
    assert str(a) == literal.decode("utf-8", "replace")


@pytest.mark.parametrize(
    "value, pytype",
    [
        (42, Int),
        (True, Boolean),
        (False, Boolean),
        (1.5, Float),
        ("x", QuotedString),
        (Decimal("1.5"), DecimalAdapter),  # registered by the package, not the core
    ],
)
def test_builtin_registrations(value, pytype):
    assert type(adapt(value)) is pytype
    assert _tolvar.adapters[(type(value), ISQLQuote)] is pytype


SERVER_VALUES = [
    (-1, "SELECT 1-%s", 2),
    (-1, "SELECT -%s", 1),
    (-1.5, "SELECT 1-%s", 2.5),
    (-(10**30), "SELECT 1-%s", 10**30 + 1),
    (10**60, "SELECT %s", 10**60),
    (-(2**200), "SELECT %s", -(2**200)),
    (True, "SELECT %s", True),
    (False, "SELECT NOT %s", True),
    (None, "SELECT %s IS NULL", True),
    (1e100, "SELECT %s::float8", 1e100),
    (math.inf, "SELECT %s", math.inf),
    (-math.inf, "SELECT %s", -math.inf),
    ("O'Reilly \\ \"x\"", "SELECT %s", "O'Reilly \\ \"x\""),
]


@pytest.mark.parametrize("value, query, expected", SERVER_VALUES)
def test_server_values(conn, value, query, expected):
    cur = conn.cursor()
    cur.execute(query, (value,))
    (got,) = cur.fetchone()
    assert got == expected


def test_server_nan(conn):
    cur = conn.cursor()
    cur.execute("SELECT %s, %s = 'NaN'::float8", (math.nan, math.nan))
    got, is_nan = cur.fetchone()
    assert math.isnan(got) and is_nan is True


@pytest.mark.parametrize(
    "value, expected, one_minus",
    [
        (Decimal("-1.50"), Decimal("-1.50"), Decimal("2.50")),
        (Decimal("-0"), Decimal("0"), Decimal("1")),
        (Decimal("1E+30"), Decimal("1E+30"), Decimal("-" + "9" * 30)),
        (Decimal("Infinity"), Decimal("Infinity"), Decimal("-Infinity")),
        (Decimal("-Infinity"), Decimal("-Infinity"), Decimal("Infinity")),
    ],
)
def test_server_decimals(conn, value, expected, one_minus):
    cur = conn.cursor()
    cur.execute("SELECT %s, 1-%s", (value, value))
    assert cur.fetchone() == (expected, one_minus)


@pytest.mark.parametrize("value", [Decimal("NaN"), Decimal("sNaN")])
def test_server_decimal_nan(conn, value):
    cur = conn.cursor()
    cur.execute("SELECT %s = 'NaN'::numeric, pg_typeof(%s)::text", (value, value))
    assert cur.fetchone() == (True, "numeric")


# ---------------------------------------------------------------------------
# Adapter errors and attributes


def test_int_conversion_error():
    with pytest.raises(ValueError):
        Int("abc").getquoted()


def test_float_conversion_error():
    with pytest.raises(TypeError):
        Float("1.5").getquoted()


def test_boolean_truth_error():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError):
        Boolean(Bad()).getquoted()


def test_decimal_without_protocol():
    with pytest.raises(AttributeError, match="_isnan"):
        DecimalAdapter(object()).getquoted()


def test_decimal_legacy_protocol():
    class Legacy:
        def __init__(self, nan, inf, text):
            self.nan, self.inf, self.text = nan, inf, text

        def _isnan(self):
            return self.nan

        def _isinfinity(self):
            return self.inf

        def __str__(self):
            return self.text

    assert DecimalAdapter(Legacy(1, 0, "x")).getquoted() == b"'NaN'::numeric"
    assert DecimalAdapter(Legacy(0, -1, "x")).getquoted() == b"'-Infinity'::numeric"
    assert DecimalAdapter(Legacy(0, 0, "-3.5")).getquoted() == b" -3.5"


def test_conform():
    a = Int(1)
    assert a.__conform__(ISQLQuote) is a
    assert a.__conform__(int) is None
    for cls in (AsIs, Boolean, Float, DecimalAdapter, QuotedString):
        b = cls(1)
        assert b.__conform__(ISQLQuote) is b
    # An adapter adapts to itself.
    assert adapt(a) is a


def test_adapter_types():
    assert AsIs.__name__ == "AsIs" and AsIs.__module__ == "tolvar2.extensions"
    assert DecimalAdapter.__module__ == "tolvar2._tolvar"
    assert QuotedString.__doc__ == "QuotedString(str) -> new quoted object"
    assert Int.getquoted.__doc__ == "getquoted() -> wrapped object value as SQL-quoted string"

    class MyInt(Int):
        pass

    assert MyInt(-3).getquoted() == b" -3"
    with pytest.raises(TypeError):
        Int()


def test_isqlquote():
    q = ISQLQuote("w")
    assert q._wrapped == "w"
    assert (q.getquoted(), q.getbinary(), q.getbuffer()) == (None, None, None)
    with pytest.raises(AttributeError):
        q._wrapped = 1

    class Sub(ISQLQuote):
        pass

    assert Sub(3)._wrapped == 3
    assert ISQLQuote.__doc__.startswith("Abstract ISQLQuote protocol\n\n")


# ---------------------------------------------------------------------------
# QuotedString


def test_qstring_non_string():
    with pytest.raises(TypeError, match="can't quote non-string object"):
        QuotedString(42).getquoted()


def test_qstring_nul():
    message = r"A string literal cannot contain NUL \(0x00\) characters\."
    with pytest.raises(ValueError, match=message):
        QuotedString("a\x00b").getquoted()


def test_qstring_encoding():
    q = QuotedString("\u00e9")
    assert q.encoding == "latin1"
    q.encoding = "utf8"
    assert q.encoding == "utf8"
    assert q.buffer is None
    assert q.getquoted() == b"'\xc3\xa9'"
    assert q.buffer == b"'\xc3\xa9'"
    q.encoding = b"latin1"
    assert q.getquoted() == b"'\xc3\xa9'"  # the first literal is kept

    with pytest.raises(TypeError, match="Expected bytes or unicode string, got int instead"):
        q.encoding = 42
    with pytest.raises(AttributeError):
        del q.encoding
    with pytest.raises(UnicodeEncodeError):
        QuotedString("\u20ac").getquoted()


def test_qstring_prepare(conn, econn):
    q = QuotedString("it's")
    with pytest.raises(TypeError):
        q.prepare(42)
    q.prepare(conn)
    assert q.encoding == "utf_8"
    assert q.getquoted() == b"'it''s'"

    s = QuotedString("a\\b")
    s.prepare(conn)
    assert s.getquoted() == b"'a\\b'"

    e = QuotedString("a\\b")
    e.prepare(econn)
    assert e.getquoted() == b"E'a\\\\b'"


def test_qstring_prepare_encoding(dsn):
    c = tolvar2.connect(dsn, client_encoding="LATIN1")
    try:
        q = QuotedString("\u00e9")
        q.encoding = "utf8"  # ignored once there is a connection
        q.prepare(c)
        assert q.encoding == "iso8859_1"
        assert q.getquoted() == b"'\xe9'"
        cur = c.cursor()
        with pytest.raises(UnicodeEncodeError):
            cur.execute("SELECT %s", ("\u20ac",))
        cur.execute("SELECT %s", ("\u00e9\u00fc",))
        assert cur.fetchone() == ("\u00e9\u00fc",)
    finally:
        c.close()


def test_nul_sends_nothing(conn):
    cur = conn.cursor()
    with pytest.raises(ValueError, match="cannot contain NUL"):
        cur.execute("SELECT %s", ("a\x00b",))
    assert cur.query is None
    # Not even the BEGIN of the transaction went to the server.
    assert conn.info.transaction_status == TRANSACTION_STATUS_IDLE


# ---------------------------------------------------------------------------
# The lookup


def test_subclass_walk(conn):
    class S(str):
        pass

    class I(int):
        def __str__(self):
            return "not a number"

    class B(int):
        pass

    assert type(adapt(S("x"))) is QuotedString
    assert type(adapt(I(3))) is Int
    assert adapt(I(-3)).getquoted() == b" -3"
    cur = conn.cursor()
    cur.execute("SELECT %s, %s, %s", (S("it's"), I(7), B(-8)))
    assert cur.fetchone() == ("it's", 7, -8)


def test_cant_adapt():
    class Nothing:
        pass

    with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'Nothing'") as exc:
        adapt(Nothing())
    assert exc.value.cursor is None
    with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'NoneType'"):
        adapt(None)


def test_none_entry_stops_walk(registry):
    class B:
        pass

    class C(B):
        pass

    register_adapter(B, None)
    with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'C'"):
        adapt(C())
    with pytest.raises(TypeError):
        adapt(B())


def test_conform_hook(conn):
    seen = []

    class Conforming:
        def __init__(self, answer):
            self.answer = answer

        def __conform__(self, proto):
            seen.append(proto)
            if isinstance(self.answer, Exception):
                raise self.answer
            return self.answer

    target = AsIs("42")
    assert adapt(Conforming(target)) is target
    assert seen == [ISQLQuote]
    cur = conn.cursor()
    cur.execute("SELECT %s", (Conforming(target),))
    assert cur.fetchone() == (42,)

    for declined in (None, TypeError("nope")):
        with pytest.raises(tolvar2.ProgrammingError, match="can't adapt type 'Conforming'"):
            adapt(Conforming(declined))
    with pytest.raises(KeyError):
        adapt(Conforming(KeyError("boom")))


def test_protocol_hook():
    class Proto:
        def __init__(self, answer):
            self.answer = answer

        def __adapt__(self, obj):
            if isinstance(self.answer, Exception):
                raise self.answer
            return self.answer

    assert adapt(object(), Proto("adapted")) == "adapted"
    with pytest.raises(ValueError, match="bad"):
        adapt(object(), Proto(ValueError("bad")))
    with pytest.raises(tolvar2.ProgrammingError):
        adapt(object(), Proto(TypeError("declined")))
    with pytest.raises(tolvar2.ProgrammingError):
        adapt(object(), Proto(None))


def test_alternate_ignored():
    a = adapt(5, ISQLQuote, object())
    assert type(a) is Int and a.getquoted() == b"5"
    with pytest.raises(TypeError):
        adapt()
    with pytest.raises(TypeError):
        adapt(1, ISQLQuote, None, None)


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class PointAdapter:
    def __init__(self, point):
        self.point = point
        self.conn = None

    def prepare(self, conn):
        self.conn = conn

    def getquoted(self):
        assert isinstance(self.conn, tolvar2.extensions.connection)
        x = adapt(self.point.x).getquoted().decode()
        y = adapt(self.point.y).getquoted().decode()
        return f"point({x}, {y})"  # a str: encoded with the connection's codec


def test_user_adapter(conn, registry):
    register_adapter(Point, PointAdapter)
    assert registry[(Point, ISQLQuote)] is PointAdapter
    cur = conn.cursor()
    cur.execute("SELECT (%s)[0], (%s)[1]", (Point(1.5, -2), Point(0, 3)))
    assert cur.fetchone() == (1.5, 3.0)
    assert cur.mogrify("%s", (Point(1, -2),)) == b"point(1,  -2)"


def test_str_result_encoded_with_connection(dsn, registry):
    class Text:
        pass

    class TextAdapter:
        def __init__(self, obj):
            pass

        def getquoted(self):
            return "'\u00e9'"

    register_adapter(Text, TextAdapter)
    c = tolvar2.connect(dsn, client_encoding="LATIN1")
    try:
        assert c.cursor().mogrify("SELECT %s", (Text(),)) == b"SELECT '\xe9'"
    finally:
        c.close()


def test_bytes_subclass_refused(conn, registry):
    class Sub(bytes):
        pass

    class Odd:
        pass

    class OddAdapter:
        def __init__(self, obj):
            pass

        def getquoted(self):
            return Sub(b"1")

    register_adapter(Odd, OddAdapter)
    with pytest.raises(ValueError, match="only bytes values expected, got Sub"):
        conn.cursor().mogrify("SELECT %s", (Odd(),))


def test_long_type_name():
    def message(name):
        cls = type(name, (), {})
        with pytest.raises(tolvar2.ProgrammingError) as exc:
            adapt(cls())
        return str(exc.value)

    fits = message("N" * 235)
    assert fits == "can't adapt type '" + "N" * 235 + "'"
    cut = message("N" * 300)
    assert len(cut) == 254 and cut.startswith("can't adapt type 'NNN") and cut.endswith("N")


def test_non_ascii_type_name():
    cls = type("Caf\u00e9", (), {})
    with pytest.raises(tolvar2.ProgrammingError) as exc:
        adapt(cls())
    assert str(exc.value) == "can't adapt type 'Caf\ufffd\ufffd'"


@pytest.mark.parametrize("start, switch", [("on", "off"), ("off", "on")])
def test_quoting_follows_standard_conforming_strings_changes(dsn, start, switch):
    # The setting may change mid-session; literals must follow it.
    c = tolvar2.connect(dsn, options=f"-c standard_conforming_strings={start}")
    try:
        cur = c.cursor()
        value = "a\\b'c\\\\"
        cur.execute("SELECT %s", (value,))
        assert cur.fetchone() == (value,)
        cur.execute(f"SET standard_conforming_strings TO {switch}")
        cur.execute("SELECT %s", (value,))
        assert cur.fetchone() == (value,)
    finally:
        c.close()


@pytest.mark.parametrize("scs", ["on", "off"])
def test_quoting_without_connection_is_context_free(dsn, scs):
    # With no connection, the literal must not depend on whatever connection
    # the process opened last, and must read back the same on any server.
    other = tolvar2.connect(dsn, client_encoding="UTF8")
    other.close()
    lit = tolvar2.extensions.QuotedString("caf\u00e9").getquoted()
    assert lit == "'caf\u00e9'".encode("latin-1")
    plain = tolvar2.extensions.QuotedString("it's").getquoted()
    assert plain == b"'it''s'"
    back = tolvar2.extensions.QuotedString("a\\b'c").getquoted()
    assert back == b"E'a\\\\b''c'"
    c = tolvar2.connect(dsn, options=f"-c standard_conforming_strings={scs}")
    try:
        cur = c.cursor()
        cur.execute(b"SELECT " + back + b", " + plain)
        assert cur.fetchone() == ("a\\b'c", "it's")
    finally:
        c.close()
