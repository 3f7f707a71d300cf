"""Typecaster objects, their registries and the built-in scalar casts."""

import decimal
import gc
import math
import re
import subprocess
import sys
from decimal import Decimal

import pytest

import tolvar2
from tolvar2 import _tolvar

TEXT_OIDS = (19, 18, 25, 1042, 1043)

BUILTINS = [
    ("NUMBER", (20, 23, 21, 701, 700, 1700)),
    ("LONGINTEGER", (20,)),
    ("INTEGER", (23, 21)),
    ("FLOAT", (701, 700)),
    ("DECIMAL", (1700,)),
    ("UNICODE", TEXT_OIDS),
    ("BYTES", TEXT_OIDS),
    ("STRING", TEXT_OIDS),
    ("BOOLEAN", (16,)),
    ("ROWID", (26,)),
    ("UNKNOWN", (705,)),
]

REGISTRY = {
    20: "LONGINTEGER", 21: "INTEGER", 23: "INTEGER", 700: "FLOAT", 701: "FLOAT",
    1700: "DECIMAL", 16: "BOOLEAN", 26: "ROWID", 705: "UNKNOWN",
    **{oid: "STRING" for oid in TEXT_OIDS},
}


@pytest.fixture
def conn(dsn):
    c = tolvar2.connect(dsn)
    yield c
    c.close()


def holds(t, obj):
    # Identity, not ==: typecasters compare equal to numbers.
    return any(r is obj for r in gc.get_referents(t))


@pytest.fixture
def global_registry():
    """The global registry, restored after the test."""
    saved = dict(_tolvar.string_types)
    yield _tolvar.string_types
    _tolvar.string_types.clear()
    _tolvar.string_types.update(saved)


# -- the built-in typecasters and the global registry ------------------------


@pytest.mark.parametrize("name, values", BUILTINS)
def test_builtin_attributes(name, values):
    t = getattr(_tolvar, name)
    assert t.name == name
    assert t.values == values
    assert type(t).__name__ == "type" and type(t).__module__ == "tolvar2._tolvar"
    assert type(t).__doc__ == "tolvar type-casting object"


def test_global_registry_contents():
    st = _tolvar.string_types
    for oid, name in REGISTRY.items():
        assert st[oid] is getattr(_tolvar, name), oid
    # Each OID goes to the last row listing it: NUMBER, UNICODE, BYTES own none.
    owners = {t.name for t in st.values()}
    assert not owners & {"NUMBER", "UNICODE", "BYTES", "DEFAULT"}
    assert 114 not in st  # json: left to the default typecaster
    assert _tolvar.binary_types == {}
    assert not hasattr(_tolvar, "DEFAULT")


# -- the type's slots ---------------------------------------------------------


@pytest.mark.parametrize(
    "left, right, eq",
    [
        (_tolvar.INTEGER, 23, True),
        (_tolvar.INTEGER, 21, True),
        (_tolvar.INTEGER, 20, False),
        (_tolvar.INTEGER, 23.0, True),  # int() of the other operand
        (_tolvar.INTEGER, "23", True),
        (_tolvar.NUMBER, 1700, True),
        (_tolvar.INTEGER, _tolvar.LONGINTEGER, False),
        (_tolvar.NUMBER, _tolvar.LONGINTEGER, True),
        (_tolvar.STRING, _tolvar.BYTES, True),
        (_tolvar.INTEGER, 2**80, False),
        (_tolvar.new_type(()), 0, False),
    ],
)
def test_comparison(left, right, eq):
    assert (left == right) is eq
    assert (right == left) is eq
    # Every other operator means "not equal".
    for result in (left != right, left < right, left <= right, left > right, left >= right):
        assert result is (not eq)


@pytest.mark.parametrize("other, exc", [("abc", ValueError), (None, TypeError)])
def test_comparison_errors(other, exc):
    with pytest.raises(exc):
        _tolvar.INTEGER == other  # noqa: B015


def test_comparison_with_bad_values():
    with pytest.raises(TypeError):
        _tolvar.new_type(("x",)) == _tolvar.INTEGER  # noqa: B015


def test_unhashable_and_final():
    with pytest.raises(TypeError):
        hash(_tolvar.INTEGER)
    with pytest.raises(TypeError):
        {_tolvar.INTEGER}
    with pytest.raises(TypeError):
        type("Sub", (type(_tolvar.INTEGER),), {})
    with pytest.raises(TypeError):
        type(_tolvar.INTEGER)()


def test_members_read_only():
    for attr in ("name", "values"):
        with pytest.raises(AttributeError):
            setattr(_tolvar.INTEGER, attr, None)


def test_repr():
    t = _tolvar.INTEGER
    assert repr(t) == "<tolvar2._tolvar.type 'INTEGER' at 0x%x>" % id(t)
    assert re.fullmatch(r"<tolvar2._tolvar.type 'ünï' at 0x[0-9a-f]+>",
                        repr(_tolvar.new_type((1,), "ünï")))
    with pytest.raises(TypeError, match="Expected bytes or unicode string, got NoneType instead"):
        repr(_tolvar.new_type((1,)))


def test_gc_collects_cycles():
    collected = []

    class Cast:
        def __call__(self, value, cur):
            return value

        def __del__(self):
            collected.append(True)

    cast = Cast()
    cast.t = _tolvar.new_type((1,), "CYCLE", cast)
    assert holds(cast.t, cast)
    del cast
    gc.collect()
    assert collected == [True]


# -- new_type, register_type and the call ----------------------------------


def test_new_type_fields():
    def cast(v, c):
        return v

    t = _tolvar.new_type((10, 11), "X", cast)
    assert (t.name, t.values) == ("X", (10, 11))
    assert holds(t, cast)
    # Keywords, base stored as given.
    t = _tolvar.new_type(values=(12,), name="Y", castobj=None, baseobj=_tolvar.INTEGER)
    assert t.name == "Y" and holds(t, _tolvar.INTEGER)
    assert _tolvar.new_type(()).name is None


@pytest.mark.parametrize(
    "args",
    [([1], "X"), ((1,), None), ((1,), b"X"), ()],
)
def test_new_type_bad_arguments(args):
    with pytest.raises(TypeError):
        _tolvar.new_type(*args)


def test_call_with_castobj():
    calls = []

    def cast(value, cur):
        calls.append((value, cur))
        return ("cast", value)

    t = _tolvar.new_type((1,), "X", cast)
    assert t("abc", None) == ("cast", "abc")
    assert t(b"d\xc3\xa9f", None) == ("cast", "déf")  # bytes taken as UTF-8 without a connection
    assert t("ghi", 42) == ("cast", "ghi")  # any object as cursor
    assert calls == [("abc", None), ("déf", None), ("ghi", 42)]
    # None short-circuits: nothing is called.
    assert t(None, None) is None
    assert len(calls) == 3


def test_call_errors():
    with pytest.raises(tolvar2.Error, match="^internal error: no casting function found$"):
        _tolvar.new_type((1,), "X")("1", None)
    with pytest.raises(TypeError):
        _tolvar.INTEGER(1, None)
    with pytest.raises(TypeError):
        _tolvar.INTEGER("1")
    with pytest.raises(TypeError):
        _tolvar.INTEGER("1", None, cursor=None)

    def boom(value, cur):
        raise KeyError(value)

    with pytest.raises(KeyError):
        _tolvar.new_type((1,), "X", boom)("v", None)


def test_register_type_global(global_registry):
    t = _tolvar.new_type((99990, 99991, 99990), "MINE", lambda v, c: v)
    assert _tolvar.register_type(t) is None
    assert global_registry[99990] is t and global_registry[99991] is t
    u = _tolvar.new_type((99991,), "OTHER", lambda v, c: v)
    _tolvar.register_type(u, None)
    assert global_registry[99991] is u and global_registry[99990] is t


@pytest.mark.parametrize("args", [(42,), (_tolvar.INTEGER, 42), (_tolvar.INTEGER, "conn")])
def test_register_type_bad_arguments(args):
    with pytest.raises(TypeError) as exc:
        _tolvar.register_type(*args)
    if len(args) == 2:
        assert str(exc.value) == "argument 2 must be a connection, cursor or None"


def test_register_type_unhashable_oid(global_registry):
    with pytest.raises(TypeError):
        _tolvar.register_type(_tolvar.new_type(([1],), "X"))


# -- the native scalar casts, called directly --------------------------------

CASTS = [
    ("INTEGER", "42", 42),
    ("INTEGER", " -7 \n", -7),
    ("INTEGER", "+0", 0),
    ("INTEGER", "00", 0),
    ("INTEGER", "0x1F", 31),
    ("INTEGER", "0b101", 5),
    ("INTEGER", "1_000", 1000),
    ("LONGINTEGER", "-9223372036854775808", -(2**63)),
    ("LONGINTEGER", "9223372036854775807", 2**63 - 1),
    ("LONGINTEGER", "9223372036854775808", 2**63),
    ("LONGINTEGER", "-" + "9" * 22, -(10**22 - 1)),
    ("ROWID", "4294967295", 4294967295),
    ("FLOAT", "1.5", 1.5),
    ("FLOAT", " -2.5e3 ", -2500.0),
    ("FLOAT", "1e999", math.inf),
    ("FLOAT", "Infinity", math.inf),
    ("FLOAT", "-INFINITY", -math.inf),
    ("FLOAT", "1_0.5", 10.5),
    ("FLOAT", "1.7976931348623157e+308", 1.7976931348623157e308),
    ("NUMBER", "12", 12.0),
    ("NUMBER", "1" * 80 + ".5", float("1" * 80 + ".5")),
    ("DECIMAL", "1.10", Decimal("1.10")),
    ("DECIMAL", "-123456789012345678901234567890.000001",
     Decimal("-123456789012345678901234567890.000001")),
    ("BOOLEAN", "t", True),
    ("BOOLEAN", "T", True),
    ("BOOLEAN", "true", True),
    ("BOOLEAN", "f", False),
    ("BOOLEAN", "False", False),
    ("STRING", "héllo", "héllo"),
    ("UNICODE", "", ""),
    ("BYTES", "héllo", "héllo".encode()),
    ("UNKNOWN", "what", "what"),
]


@pytest.mark.parametrize("name, text, expected", CASTS)
def test_native_cast(name, text, expected):
    result = getattr(_tolvar, name)(text, None)
    assert result == expected
    assert type(result) is type(expected)
    if isinstance(expected, Decimal):
        assert str(result) == str(expected)


@pytest.mark.parametrize("name", [n for n, _ in BUILTINS])
def test_native_cast_none(name):
    assert getattr(_tolvar, name)(None, None) is None


def test_native_cast_nan():
    assert math.isnan(_tolvar.FLOAT("NaN", None))
    assert math.isnan(_tolvar.FLOAT("-nan", None))
    assert _tolvar.DECIMAL("NaN", None).is_nan()


CAST_ERRORS = [
    ("INTEGER", "010", ValueError, "invalid literal"),
    ("INTEGER", "", ValueError, "invalid literal"),
    ("INTEGER", "12a", ValueError, "invalid literal"),
    ("INTEGER", "1.5", ValueError, "invalid literal"),
    ("INTEGER", b"12\x0034", ValueError, "null byte"),
    ("INTEGER", "1" * 24, tolvar2.DataError, "^int64 representation too long$"),
    ("LONGINTEGER", " " * 20 + "1234", tolvar2.DataError, "^int64 representation too long$"),
    ("FLOAT", "abc", ValueError, "could not convert string to float"),
    ("FLOAT", "", ValueError, "could not convert string to float"),
    ("FLOAT", "1.5x", ValueError, "could not convert string to float"),
    ("DECIMAL", "abc", decimal.InvalidOperation, None),
    ("BOOLEAN", "yes", tolvar2.InterfaceError, "^can't parse boolean: 'yes'$"),
    ("BOOLEAN", "", tolvar2.InterfaceError, "^can't parse boolean: ''$"),
    ("STRING", b"\xff", UnicodeDecodeError, "utf-8"),
]


@pytest.mark.parametrize("name, text, exc, msg", CAST_ERRORS)
def test_native_cast_errors(name, text, exc, msg):
    with pytest.raises(exc, match=msg):
        getattr(_tolvar, name)(text, None)


def test_decimal_fallback_to_float():
    code = (
        "import sys\n"
        "from tolvar2 import _tolvar\n"
        "sys.modules['decimal'] = None\n"
        "r = _tolvar.DECIMAL('1.5', None)\n"
        "print(type(r).__name__, r)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["float", "1.5"]


# -- through the server ------------------------------------------------------

SELECTS = [
    ("1::int2", 1),
    ("'-2147483648'::int4", -2147483648),
    ("'-9223372036854775808'::int8", -(2**63)),
    ("1.5::float4", 1.5),
    ("-1.25e300::float8", -1.25e300),
    ("'Infinity'::float8", math.inf),
    ("1.10::numeric", Decimal("1.10")),
    ("true", True),
    ("false", False),
    ("'abc'::text", "abc"),
    ("'x'::char", "x"),
    ("'ab'::varchar(5)", "ab"),
    ("'ab'::char(3)", "ab "),
    ("'pg_class'::name", "pg_class"),
    ("'é€'::text", "é€"),
    ("26::oid", 26),
    ("'{\"a\": 1}'::json", '{"a": 1}'),
    ("NULL::int4", None),
    ("NULL::text", None),
]


@pytest.mark.parametrize("expr, expected", SELECTS)
def test_select_scalar(conn, expr, expected):
    cur = conn.cursor()
    cur.execute(f"SELECT {expr}")
    (value,) = cur.fetchone()
    assert value == expected
    assert type(value) is type(expected)
    if isinstance(expected, Decimal):
        assert str(value) == str(expected)


def test_select_nan(conn):
    cur = conn.cursor()
    cur.execute("SELECT 'NaN'::float8, 'NaN'::numeric")
    f, d = cur.fetchone()
    assert isinstance(f, float) and math.isnan(f)
    assert isinstance(d, Decimal) and d.is_nan()


def test_select_unknown_type_is_str(conn):
    cur = conn.cursor()
    cur.execute("SELECT '(1,2)'::point, '192.168.0.1'::inet")
    assert cur.fetchone() == ("(1,2)", "192.168.0.1")
    # The column type OIDs compare with the typecasters.
    cur.execute("SELECT 1::int4, 'a'::text")
    assert [d[1] == _tolvar.INTEGER for d in cur.description] == [True, False]
    assert cur.description[1][1] == _tolvar.STRING


@pytest.mark.parametrize(
    "oid, text, expected",
    [
        (23, "42", 42),
        (20, "-5", -5),
        (1700, "2.50", Decimal("2.50")),
        (16, "f", False),
        (25, "é", "é"),
        (114, "[1]", "[1]"),
        (705, "u", "u"),
        (23, None, None),
    ],
)
def test_cursor_cast(conn, oid, text, expected):
    value = conn.cursor().cast(oid, text)
    assert value == expected and type(value) is type(expected)


def test_text_decoded_with_connection_codec(dsn):
    c = tolvar2.connect(dsn + " client_encoding=LATIN1")
    try:
        cur = c.cursor()
        cur.execute("SELECT 'é'::text")
        assert cur.fetchone() == ("é",)
        _tolvar.register_type(_tolvar.BYTES, c)
        cur.execute("SELECT 'é'::text")
        assert cur.fetchone() == (b"\xe9",)
        assert cur.cast(25, b"\xe9") == b"\xe9"
        _tolvar.register_type(_tolvar.UNICODE, cur)
        assert cur.cast(25, b"\xe9") == "é"
    finally:
        c.close()


def test_register_scopes(dsn, conn, global_registry):
    def upper(value, cur):
        return None if value is None else value.upper()

    other = tolvar2.connect(dsn)
    try:
        _tolvar.register_type(_tolvar.BYTES, conn)
        assert conn.string_types == {oid: _tolvar.BYTES for oid in TEXT_OIDS}
        shadowed = conn.cursor()
        plain = conn.cursor()
        assert shadowed.string_types is None
        t_upper = _tolvar.new_type((25,), "UPPER", upper)
        _tolvar.register_type(t_upper, shadowed)
        assert shadowed.string_types == {25: t_upper}

        query = "SELECT 'abc'::text, 'def'::varchar, 7::int4"
        shadowed.execute(query)
        assert shadowed.fetchone() == ("ABC", b"def", 7)
        plain.execute(query)
        assert plain.fetchone() == (b"abc", b"def", 7)
        other_cur = other.cursor()
        other_cur.execute(query)
        assert other_cur.fetchone() == ("abc", "def", 7)

        # A global registration is seen by every connection not shadowing it.
        _tolvar.register_type(_tolvar.new_type((23,), "NEG", lambda v, c: -int(v)))
        other_cur.execute(query)
        assert other_cur.fetchone() == ("abc", "def", -7)
        shadowed.execute(query)
        assert shadowed.fetchone() == ("ABC", b"def", -7)
    finally:
        other.close()


def test_register_on_cursor_string_types_states(conn):
    cur = conn.cursor()
    cur.string_types = None
    _tolvar.register_type(_tolvar.BYTES, cur)
    assert cur.string_types == {oid: _tolvar.BYTES for oid in TEXT_OIDS}
    cur.string_types = ["not", "a", "dict"]
    with pytest.raises(TypeError):
        _tolvar.register_type(_tolvar.BYTES, cur)


def test_castobj_sees_its_typecaster(conn):
    seen = []

    def cast(value, cur):
        seen.append((value, cur, cur.typecaster))
        return value

    t = _tolvar.new_type((25,), "SPY", cast)
    cur = conn.cursor()
    _tolvar.register_type(t, cur)
    assert cur.typecaster is None
    cur.execute("SELECT 'a'::text, NULL::text")
    assert cur.fetchone() == ("a", None)
    # NULL reaches the callable as None.
    assert seen == [("a", cur, t), (None, cur, t)]
    assert cur.typecaster is None
    # The call operation sets it as well.
    seen.clear()
    assert t("b", cur) == "b"
    assert seen == [("b", cur, t)] and cur.typecaster is None


def test_nested_typecaster_restored(conn):
    cur = conn.cursor()
    inner_seen = []

    def inner(value, c):
        inner_seen.append(c.typecaster)
        return value

    t_inner = _tolvar.new_type((1,), "INNER", inner)

    def outer(value, c):
        result = t_inner(value, c)
        return (result, c.typecaster)

    t_outer = _tolvar.new_type((2,), "OUTER", outer)
    assert t_outer("x", cur) == ("x", t_outer)
    assert inner_seen == [t_inner]
    assert cur.typecaster is None


def test_failing_castobj_restores_typecaster(conn):
    def boom(value, cur):
        raise ZeroDivisionError

    cur = conn.cursor()
    _tolvar.register_type(_tolvar.new_type((23,), "BOOM", boom), cur)
    cur.execute("SELECT 1::int4")
    with pytest.raises(ZeroDivisionError):
        cur.fetchone()
    assert cur.typecaster is None
