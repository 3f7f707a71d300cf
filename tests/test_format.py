"""Query formatting: placeholders, argument binding, mogrify, and the
round trip of any text and number through the quoting."""

import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolvar2
from tolvar2.extensions import AsIs

ProgrammingError = tolvar2.ProgrammingError


@pytest.fixture
def cur(conn):
    return conn.cursor()


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize(
    "query, vars, expected",
    [
        ("SELECT %s, %s", (1, "a"), b"SELECT 1, 'a'"),
        ("SELECT %s, %s", [1, None], b"SELECT 1, NULL"),
        ("SELECT %(x)s + %(x)s", {"x": 5}, b"SELECT 5 + 5"),
        ("SELECT %(a)s, %(b)s", {"a": None, "b": -2, "c": 1}, b"SELECT NULL,  -2"),
        ("%s%s", "ab", b"'a''b'"),
        ("SELECT 1", (1, 2), b"SELECT 1"),
        ("SELECT 1", {"a": 1}, b"SELECT 1"),
        ("SELECT '100%%'", (), b"SELECT '100%'"),
        ("SELECT '100%%'", (1, 2), b"SELECT '100%'"),
        ("SELECT '100%%', %s", (1,), b"SELECT '100%', 1"),
        ("SELECT %(a)s || '%%'", {"a": "x"}, b"SELECT 'x' || '%'"),
        (b"SELECT %s", (True,), b"SELECT true"),
        ("SELECT '\u00e9', %s", ("\u00fc",), "SELECT '\u00e9', '\u00fc'".encode()),
        ("SELECT %(\u00e9)s", {"\u00e9": 1}, b"SELECT 1"),
    ],
)
def test_mogrify(cur, query, vars, expected):
    assert cur.mogrify(query, vars) == expected


@pytest.mark.parametrize("query", ["SELECT '100%%'", "SELECT %s", "SELECT %(a)s", "SELECT %"])
def test_mogrify_without_vars(cur, query):
    for got in (cur.mogrify(query), cur.mogrify(query, None), cur.mogrify(query=query)):
        assert got == query.encode()


def test_mogrify_sends_nothing(conn):
    cur = conn.cursor()
    assert cur.mogrify(query="SELECT %s", vars=(1,)) == b"SELECT 1"
    assert cur.query is None
    assert conn.info.transaction_status == 0
    cur.close()
    assert cur.mogrify("SELECT %s", ("x",)) == b"SELECT 'x'"


def test_execute_percent(cur):
    cur.execute("SELECT '100%%'")
    assert cur.fetchone() == ("100%%",)
    cur.execute("SELECT '100%%'", ())
    assert cur.fetchone() == ("100%",)
    cur.execute("SELECT '%%' || %s", ("x",))
    assert cur.fetchone() == ("%x",)
    assert cur.query == b"SELECT '%' || 'x'"


def test_execute_named_and_positional(cur):
    cur.execute("SELECT %s, %s, %s", (1, "two", None))
    assert cur.fetchone() == (1, "two", None)
    cur.execute("SELECT %(n)s, %(s)s, %(n)s * 2", {"n": 21, "s": "it's"})
    assert cur.fetchone() == (21, "it's", 42)


def test_named_adapted_once(cur):
    adapted = []
    looked_up = []

    class Counted:
        def __conform__(self, proto):
            adapted.append(self)
            return AsIs(7)

    class Vars(dict):
        def __getitem__(self, key):
            looked_up.append(key)
            return super().__getitem__(key)

    value = Counted()
    assert cur.mogrify("%(x)s + %(x)s + %(x)s", Vars(x=value)) == b"7 + 7 + 7"
    assert adapted == [value]
    assert looked_up == ["x", "x", "x"]


def test_callproc(cur):
    cur.execute(
        "CREATE FUNCTION pg_temp.tv_add(a int, b int) RETURNS int AS 'SELECT a + b' LANGUAGE sql"
    )
    assert cur.callproc("pg_temp.tv_add", (2, -3)) == (2, -3)
    assert cur.fetchone() == (-1,)
    assert cur.callproc("pg_temp.tv_add", {"a": 5, "b": 6}) is None
    assert cur.fetchone() == (11,)


# ---------------------------------------------------------------------------
# Placeholder errors


class Both:
    """Arguments that answer both positions and names."""

    def __len__(self):
        return 1

    def __getitem__(self, key):
        if isinstance(key, int) and key > 0:
            raise IndexError(key)
        return 1


@pytest.mark.parametrize(
    "query, vars, exc, message",
    [
        ("SELECT %s, %(a)s", Both(), ProgrammingError, "argument formats can't be mixed"),
        ("SELECT %(a)s, %s", {"a": 1}, ProgrammingError, "argument formats can't be mixed"),
        ("SELECT %(a", {"a": 1}, ProgrammingError, "incomplete placeholder: '%(' without ')'"),
        ("SELECT %(a %s)s", {"a": 1}, ProgrammingError, "incomplete placeholder: '%(' without ')'"),
        ("SELECT %s", (1, 2), ProgrammingError,
         "not all arguments converted during string formatting"),
    ],
)
def test_placeholder_errors_with_cursor(cur, query, vars, exc, message):
    with pytest.raises(exc) as info:
        cur.mogrify(query, vars)
    assert str(info.value) == message
    assert info.value.cursor is cur
    with pytest.raises(exc, match="^" + re.escape(message) + "$"):
        cur.execute(query, vars)
    assert cur.query is None


@pytest.mark.parametrize(
    "query, vars, exc, message",
    [
        ("SELECT %s, %s", (1,), IndexError, None),
        ("SELECT %s", (), IndexError, None),
        ("SELECT %(x)s", {"y": 5}, KeyError, "'x'"),
        ("SELECT %s", {"a": 1}, TypeError, None),
        ("SELECT %s", 42, TypeError, None),
        ("SELECT %(a)s", (1,), TypeError, None),
        ("SELECT %d", (1,), ValueError, "unsupported format character 'd' (0x64) at index 8"),
        ("SELECT %s %i", (1, 2), ValueError, "unsupported format character 'i' (0x69) at index 11"),
        ("SELECT %(a)d", {"a": 1}, ValueError,
         "unsupported format character 'd' (0x64) at index 11"),
        ("SELECT 5 %", (1,), ValueError, "incomplete format"),
        ("SELECT %(a)", {"a": 1}, ValueError, "incomplete format"),
        (b"SELECT %(\xff)s", {"\xff": 1}, UnicodeDecodeError, None),
    ],
)
def test_placeholder_errors(cur, query, vars, exc, message):
    with pytest.raises(exc) as info:
        cur.mogrify(query, vars)
    if message is not None:
        assert str(info.value) == message
    with pytest.raises(exc):
        cur.execute(query, vars)


def test_non_ascii_format_character(cur):
    with pytest.raises(ValueError) as info:
        cur.mogrify(b"SELECT %\xe9", (1,))
    assert str(info.value) == "unsupported format character '\u00e9' (0xe9) at index 8"


def test_adaptation_error_propagates(cur):
    with pytest.raises(ProgrammingError, match="can't adapt type 'object'"):
        cur.mogrify("SELECT %s", (object(),))
    with pytest.raises(TypeError):
        cur.mogrify(42, (1,))


# ---------------------------------------------------------------------------
# Round trips


ENCODINGS = [("UTF8", "utf_8"), ("SJIS", "cp932"), ("GBK", "gbk"), ("BIG5", "big5")]


def server_alphabet(cur, pg_name, codec):
    """Non-ASCII characters that the server and Python encode alike in the
    client encoding (their mapping tables differ on a few hundred)."""
    cur.execute(
        "CREATE FUNCTION pg_temp.tv_enc(n int, e text) RETURNS text AS $$ BEGIN"
        " IF convert_from(convert_to(chr(n), e), e) <> chr(n) THEN RETURN NULL; END IF;"
        " RETURN encode(convert_to(chr(n), e), 'hex');"
        " EXCEPTION WHEN OTHERS THEN RETURN NULL; END $$ LANGUAGE plpgsql"
    )
    cur.execute(
        "SELECT n, pg_temp.tv_enc(n, '" + pg_name + "') FROM generate_series(128, 65535) n"
        " WHERE n NOT BETWEEN 55296 AND 57343"
    )
    chars = []
    for n, hexed in cur.fetchall():
        if hexed is None:
            continue
        c = chr(n)
        try:
            if c.encode(codec).hex() == hexed and bytes.fromhex(hexed).decode(codec) == c:
                chars.append(c)
        except UnicodeError:
            pass
    return chars


@pytest.mark.parametrize("scs", ["on", "off"])
@pytest.mark.parametrize("pg_name, codec", ENCODINGS, ids=[e[0] for e in ENCODINGS])
def test_text_roundtrip(dsn, scs, pg_name, codec):
    # needs_e_quotes is read when the session is set up, so the setting has
    # to be there from the start.
    conn = tolvar2.connect(
        dsn, client_encoding=pg_name, options=f"-c standard_conforming_strings={scs}"
    )
    try:
        cur = conn.cursor()
        cur.execute("SHOW standard_conforming_strings")
        assert cur.fetchone() == (scs,)
        cur.execute("SHOW client_encoding")
        assert cur.fetchone() == (pg_name,)
        if pg_name == "UTF8":
            chars = st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00")
        else:
            alphabet = server_alphabet(cur, pg_name, codec)
            # Multi-byte characters whose later bytes look like a quote or a
            # backslash are what escaping has to get right.
            tricky = [c for c in alphabet if b"\\" in c.encode(codec) or b"'" in c.encode(codec)]
            assert tricky
            chars = st.one_of(
                st.characters(min_codepoint=1, max_codepoint=127),
                st.sampled_from("\\'\"%"),
                st.sampled_from(alphabet),
                *([st.sampled_from(tricky)] if tricky else []),
            )

        @settings(max_examples=2000, deadline=None)
        @given(st.text(alphabet=chars))
        def roundtrip(text):
            cur.execute("SELECT %s", (text,))
            assert cur.fetchone() == (text,)

        roundtrip()
        literal = cur.mogrify("SELECT %s", ("\\",))
        assert literal == (b"SELECT '\\'" if scs == "on" else b"SELECT E'\\\\'")
    finally:
        conn.close()


@settings(max_examples=2000, deadline=None)
@given(st.integers() | st.integers(min_value=-(10**200), max_value=10**200))
def test_int_roundtrip(dsn_conn, value):
    cur = dsn_conn.cursor()
    cur.execute("SELECT %s, -%s", (value, value))
    assert cur.fetchone() == (value, -value)


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=False))
def test_float_roundtrip(dsn_conn, value):
    cur = dsn_conn.cursor()
    cur.execute("SELECT %s::float8, 0-%s::float8", (value, value))
    got, negated = cur.fetchone()
    assert got == value and math.copysign(1, got) == math.copysign(1, value)
    assert negated == -value


@settings(max_examples=2000, deadline=None)
@given(st.decimals(allow_nan=False).filter(lambda d: d.is_infinite() or abs(d.adjusted()) < 1000))
def test_decimal_roundtrip(dsn_conn, value):
    cur = dsn_conn.cursor()
    cur.execute("SELECT %s", (value,))
    assert cur.fetchone() == (value,)


@pytest.fixture(scope="module")
def dsn_conn(dsn):
    """One connection for a whole property test (hypothesis calls the test
    body many times within one fixture set-up)."""
    c = tolvar2.connect(dsn)
    c.autocommit = True
    yield c
    c.close()
