"""The cursor: execution, named cursors, fetching, scrolling and Column."""

import datetime
import gc
import hashlib
import pickle
import weakref

import pytest

import tolvar2
from tolvar2 import _tolvar, sql


# ---------------------------------------------------------------------------
# Construction and attributes


def test_defaults(conn):
    cur = conn.cursor()
    assert isinstance(cur, _tolvar.cursor)
    assert (cur.arraysize, cur.itersize, cur.rowcount, cur.rownumber) == (1, 2000, -1, 0)
    assert (cur.lastrowid, cur.description, cur.query, cur.statusmessage) == (0, None, None, None)
    assert cur.name is None and cur.row_factory is None and cur.typecaster is None
    assert cur.string_types is None and cur.binary_types is None
    assert cur.tzinfo_factory is datetime.timezone
    assert cur.connection is conn
    assert cur.closed is False and cur.withhold is False
    assert cur.scrollable is None  # the connection's factory leaves no scroll clause
    assert cur.pgresult_ptr is None


def test_direct_construction(conn):
    cur = _tolvar.cursor(conn)
    assert cur.scrollable is False and cur.name is None
    assert _tolvar.cursor(conn, b"byname").name == "byname"
    assert _tolvar.cursor(conn=conn, name="kw").name == "kw"
    with pytest.raises(TypeError):
        _tolvar.cursor(object())
    with pytest.raises(TypeError, match="Expected bytes or unicode string, got int instead"):
        _tolvar.cursor(conn, 42)
    with pytest.raises(ValueError, match="NUL"):
        _tolvar.cursor(conn, "a\x00b")


def test_construction_on_closed_connection(conn):
    conn.close()
    with pytest.raises(tolvar2.InterfaceError, match="connection not valid"):
        _tolvar.cursor(conn, "named")
    cur = _tolvar.cursor(conn)
    assert cur.closed is True
    with pytest.raises(tolvar2.InterfaceError, match="cursor already closed"):
        cur.execute("select 1")


def test_uninitialised_cursor_reports_no_connection():
    cur = _tolvar.cursor.__new__(_tolvar.cursor)
    assert cur.closed is False and cur.connection is None
    for call in (lambda: cur.execute("select 1"), cur.fetchone, cur.fetchall, lambda: iter(cur),
                 lambda: cur.scroll(0), cur.nextset, lambda: cur.executemany("q", [])):
        with pytest.raises(tolvar2.InterfaceError, match="the cursor has no connection"):
            call()
    cur.close()
    assert cur.closed is True


def test_repr_and_str(conn):
    cur = conn.cursor()
    assert repr(cur) == str(cur)
    assert repr(cur).startswith("<cursor object at 0x") and repr(cur).endswith("; closed: 0>")
    cur.close()
    assert repr(cur).endswith("; closed: 1>")


@pytest.mark.parametrize("name, attr, value, expected", [
    (None, "withhold", False, False),
    (None, "withhold", True, "trying to set .withhold on unnamed cursor"),
    (None, "withhold", 0, "trying to set .withhold on unnamed cursor"),
    ("n", "withhold", 1, True),
    ("n", "withhold", "", False),
    (None, "scrollable", None, None),
    (None, "scrollable", False, "trying to set .scrollable on unnamed cursor"),
    ("n", "scrollable", 1, True),
    ("n", "scrollable", [], False),
    ("n", "scrollable", None, None),
])
def test_withhold_scrollable_setters(conn, name, attr, value, expected):
    cur = conn.cursor(name)
    if isinstance(expected, str):
        with pytest.raises(tolvar2.ProgrammingError, match=expected):
            setattr(cur, attr, value)
    else:
        setattr(cur, attr, value)
        assert getattr(cur, attr) is expected


def test_setter_truth_failure_propagates(conn):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    cur = conn.cursor("n")
    with pytest.raises(ZeroDivisionError):
        cur.withhold = Bad()
    with pytest.raises(AttributeError):
        del cur.withhold


def test_rw_members(conn):
    cur = conn.cursor()
    cur.arraysize, cur.itersize = 7, 11
    factory = lambda c: []  # noqa: E731
    cur.row_factory = factory
    cur.tzinfo_factory = None
    assert (cur.arraysize, cur.itersize, cur.row_factory, cur.tzinfo_factory) == (7, 11, factory, None)
    for attr in ("rowcount", "rownumber", "description", "query", "connection", "name"):
        with pytest.raises(AttributeError):
            setattr(cur, attr, 1)


def test_weakref_and_gc(conn):
    cur = conn.cursor()
    ref = weakref.ref(cur)
    cur.row_factory = lambda c, keep=cur: None  # a reference cycle through the cursor
    del cur
    gc.collect()
    assert ref() is None


def test_subclass_and_exit_calls_close(conn):
    calls = []

    class MyCursor(_tolvar.cursor):
        def close(self):
            calls.append("close")
            super().close()

    with MyCursor(conn) as cur:
        cur.execute("select 1")
        assert cur.fetchone() == (1,)
    assert calls == ["close"] and cur.closed


def test_with_block_does_not_suppress(conn):
    with pytest.raises(ZeroDivisionError):
        with conn.cursor() as cur:
            1 / 0
    assert cur.closed is True


# ---------------------------------------------------------------------------
# Execution


@pytest.mark.parametrize("query", ["", b""])
def test_empty_query(conn, query):
    cur = conn.cursor()
    with pytest.raises(tolvar2.ProgrammingError, match="can't execute an empty query") as e:
        cur.execute(query)
    assert e.value.cursor is cur


@pytest.mark.parametrize("query, message", [
    (42, "argument 1 must be a string or unicode object: got int instead"),
    (None, "can't execute an empty query"),
])
def test_bad_query_type(conn, query, message):
    with pytest.raises((TypeError, tolvar2.ProgrammingError), match=message):
        conn.cursor().execute(query)


def test_query_with_nul_is_refused(conn):
    cur = conn.cursor()
    with pytest.raises(ValueError, match="NUL"):
        cur.execute("select 1\x00; select 2")
    assert cur.query is None


def test_query_kept_as_sent(conn):
    cur = conn.cursor()
    cur.execute("select '100%%' as pct")
    # Without arguments the text goes unchanged: no %% collapsing.
    assert cur.query == b"select '100%%' as pct"
    assert cur.fetchone() == ("100%%",)
    cur.execute(b"select 'b'")
    assert cur.query == b"select 'b'" and cur.fetchall() == [("b",)]


def test_unicode_query(conn):
    cur = conn.cursor()
    cur.execute("select 'àß€'")
    assert cur.fetchone() == ("àß€",)
    assert cur.query == "select 'àß€'".encode()


class Returns(sql.Composable):
    def as_string(self, context):
        self.context = context
        return self._wrapped


def test_composable_query(conn):
    cur = conn.cursor()
    cur.execute(sql.SQL("select 42"))
    assert cur.fetchone() == (42,)
    q = Returns(b"select 'bytes'")
    cur.execute(q)
    assert q.context is conn and cur.fetchone() == ("bytes",)
    with pytest.raises(TypeError, match="as_string\\(\\) should return a string: got int instead"):
        cur.execute(Returns(42))


def test_failed_query_keeps_text(conn):
    cur = conn.cursor()
    with pytest.raises(tolvar2.DatabaseError):
        cur.execute("select * from no_such_table_here")
    assert cur.query == b"select * from no_such_table_here"
    assert cur.pgresult_ptr is None


def test_command_results(conn):
    cur = conn.cursor()
    steps = [
        ("create temp table ctab (a int)", -1, "CREATE TABLE"),
        ("insert into ctab select generate_series(1, 3)", 3, "INSERT 0 3"),
        ("update ctab set a = a + 1", 3, "UPDATE 3"),
        ("delete from ctab where a > 2", 2, "DELETE 2"),
    ]
    for query, rowcount, status in steps:
        cur.execute(query)
        assert (cur.rowcount, cur.statusmessage, cur.description) == (rowcount, status, None)
        assert cur.lastrowid == 0


def test_pgresult_ptr(conn):
    cur = conn.cursor()
    cur.execute("select 1")
    assert isinstance(cur.pgresult_ptr, int) and cur.pgresult_ptr != 0
    cur.execute("set timezone to 'UTC'")
    assert cur.pgresult_ptr is None


def test_executemany(conn):
    cur = conn.cursor()
    cur.execute("create temp table em (a int)")
    cur.execute("insert into em values (1), (2), (3)")
    cur.executemany("update em set a = a + 1", [None, None])
    assert cur.rowcount == 6
    with pytest.raises(tolvar2.ProgrammingError, match="no results to fetch"):
        cur.fetchone()
    cur.executemany("update em set a = a + 1", iter([None]))
    assert cur.rowcount == 3
    cur.executemany("update em set a = 0", [])
    assert cur.rowcount == 0
    cur.executemany("set timezone to 'UTC'", [None, None])
    assert cur.rowcount == -1
    # Rows of a SELECT are discarded: the command tag gives the count.
    cur.executemany("select * from em", [None])
    assert cur.rowcount == 3 and cur.description is None
    cur.execute("select sum(a) from em")
    assert cur.fetchone() == (15,)


def test_executemany_errors(conn):
    cur = conn.cursor()
    with pytest.raises(TypeError):
        cur.executemany("select 1", 42)
    assert cur.rowcount == -1
    with pytest.raises(tolvar2.ProgrammingError, match="can't call .executemany\\(\\) on named cursors") as e:
        conn.cursor("n").executemany("select 1", [])
    assert e.value.cursor is not None

    def failing():
        yield None
        raise KeyError("from the iterator")

    cur.execute("create temp table emf (a int)")
    with pytest.raises(KeyError, match="from the iterator"):
        cur.executemany("insert into emf values (1)", failing())
    cur.execute("select count(*) from emf")
    assert cur.fetchone() == (1,)


def test_callproc_without_arguments(conn):
    cur = conn.cursor()
    cur.execute("create function pg_temp.tv_three() returns setof int language sql "
                "as 'select generate_series(1, 3)'")
    assert cur.callproc("pg_temp.tv_three") is None
    assert cur.query == b"SELECT * FROM pg_temp.tv_three()"
    assert cur.fetchall() == [(1,), (2,), (3,)]
    with pytest.raises(tolvar2.ProgrammingError, match="can't call .callproc\\(\\) on named cursors"):
        conn.cursor("n").callproc("pg_temp.tv_three")


def test_nextset_and_sizes(conn):
    cur = conn.cursor()
    with pytest.raises(tolvar2.NotSupportedError, match="not supported by PostgreSQL"):
        cur.nextset()
    assert cur.setinputsizes([1, 2]) is None
    assert cur.setoutputsize(10) is None and cur.setoutputsize(10, 2) is None
    with pytest.raises(TypeError):
        cur.setoutputsize("big")


def test_cast(conn):
    cur = conn.cursor()
    assert cur.cast(23, "42") == 42
    assert cur.cast(25, "text") == "text"
    assert cur.cast(999999, "unknown oid") == "unknown oid"
    # Only typecaster objects count in a registry: anything else is skipped.
    cur.string_types = {23: "not a typecaster"}
    assert cur.cast(23, "42") == 42
    cur.execute("select 1")
    assert cur.fetchone() == (1,)


def test_cursor_string_types_take_precedence(conn):
    cur = conn.cursor()
    cur.string_types = {23: _tolvar.new_type((23,), "TAGGED", lambda s, c: ("tagged", s))}
    assert cur.cast(23, "7") == ("tagged", "7")
    cur.execute("select 7, null::int")
    assert cur.fetchone() == (("tagged", "7"), ("tagged", None))
    assert conn.cursor().cast(23, "7") == 7


def test_failed_conversion_skips_the_row(conn):
    def cast(s, c):
        if s == "2":
            raise ValueError("bad two")
        return int(s)

    cur = conn.cursor()
    cur.string_types = {23: _tolvar.new_type((23,), "PICKY", cast)}
    cur.execute("select generate_series(1, 3)")
    assert cur.fetchone() == (1,)
    with pytest.raises(ValueError, match="bad two"):
        cur.fetchone()
    assert cur.rownumber == 2 and cur.fetchall() == [(3,)]


# ---------------------------------------------------------------------------
# Closed cursors


CLOSED_CALLS = [
    ("execute", ("select 1",)),
    ("executemany", ("select 1", [])),
    ("callproc", ("now",)),
    ("fetchone", ()),
    ("fetchmany", ()),
    ("fetchall", ()),
    ("scroll", (0,)),
    ("nextset", ()),
    ("setinputsizes", (None,)),
    ("setoutputsize", (1,)),
    ("__iter__", ()),
]


@pytest.mark.parametrize("how", ["cursor", "connection"])
@pytest.mark.parametrize("method, args", CLOSED_CALLS)
def test_closed_cursor(conn, how, method, args):
    cur = conn.cursor()
    cur.execute("select 1")
    if how == "cursor":
        cur.close()
        cur.close()  # a second close is harmless
    else:
        conn.close()
    assert cur.closed is True
    with pytest.raises(tolvar2.InterfaceError, match="cursor already closed"):
        getattr(cur, method)(*args)


# ---------------------------------------------------------------------------
# Fetching


def test_no_results_to_fetch(conn):
    cur = conn.cursor()
    for fetch in (cur.fetchone, cur.fetchmany, cur.fetchall, lambda: next(cur)):
        with pytest.raises(tolvar2.ProgrammingError, match="no results to fetch"):
            fetch()
    cur.execute("create temp table nr (a int)")
    cur.execute("insert into nr values (1), (2)")
    assert cur.rowcount == 2
    with pytest.raises(tolvar2.ProgrammingError, match="no results to fetch"):
        cur.fetchone()
    assert cur.rowcount == -1 and cur.description is None


def test_fetch_paths(conn):
    cur = conn.cursor()
    cur.execute("select g, g::text, nullif(g, 3) from generate_series(1, 10) g")
    assert cur.rowcount == 10
    assert cur.fetchone() == (1, "1", 1)
    assert cur.fetchmany() == [(2, "2", 2)]  # arraysize 1
    cur.arraysize = 2
    assert cur.fetchmany() == [(3, "3", None), (4, "4", 4)]
    assert cur.fetchmany(size=1) == [(5, "5", 5)]
    assert cur.fetchmany(None) == [(6, "6", 6), (7, "7", 7)]
    assert cur.rownumber == 7
    assert [r[0] for r in cur] == [8, 9, 10]
    assert cur.fetchone() is None
    assert cur.fetchmany() == [] and cur.fetchall() == []
    with pytest.raises(TypeError):
        cur.fetchmany("2")


def test_fetchmany_negative_and_fetchall(conn):
    cur = conn.cursor()
    cur.execute("select generate_series(1, 5)")
    cur.fetchone()
    assert cur.fetchmany(-1) == [(2,), (3,), (4,), (5,)]
    cur.execute("select generate_series(1, 4)")
    cur.fetchone()
    assert cur.fetchall() == [(2,), (3,), (4,)]
    assert cur.rownumber == 4


def test_empty_result(conn):
    cur = conn.cursor()
    cur.execute("select 1 as a where false")
    assert cur.rowcount == 0 and cur.description[0].name == "a"
    assert cur.fetchone() is None and cur.fetchall() == [] and list(cur) == []


def test_row_factory(conn):
    cur = conn.cursor()
    cur.row_factory = lambda c: [None] * len(c.description)
    cur.execute("select 1, 'a' union all select 2, 'b'")
    assert cur.fetchone() == [1, "a"]
    assert cur.fetchall() == [[2, "b"]]

    class Row(dict):
        def __init__(self, c):
            self.cursor = c

    cur.row_factory = Row
    cur.execute("select 10, 20")
    row = cur.fetchone()
    assert type(row) is Row and row == {0: 10, 1: 20} and row.cursor is cur

    cur.row_factory = lambda c: object()
    cur.execute("select 1")
    with pytest.raises(TypeError):
        cur.fetchone()
    assert cur.rownumber == 1


def test_row_factory_cannot_replace_the_result(conn):
    cur = conn.cursor()
    cur.row_factory = lambda c: c.execute("select 2")
    cur.execute("select 1, 2")
    with pytest.raises(tolvar2.ProgrammingError, match="being converted"):
        cur.fetchone()
    cur.row_factory = lambda c: c.close()
    cur.execute("select 1")
    with pytest.raises(tolvar2.ProgrammingError, match="being converted"):
        cur.fetchall()
    cur.row_factory = None
    cur.execute("select 3")
    assert cur.fetchone() == (3,) and not cur.closed


@pytest.mark.parametrize("start, value, mode, result", [
    (0, 0, "absolute", 0),
    (0, 2, "absolute", 2),
    (1, 1, "relative", 2),
    (2, -2, "relative", 0),
    (0, 1, None, 1),
    (0, 3, "absolute", "scroll destination out of bounds"),
    (0, -1, "relative", "scroll destination out of bounds"),
    (2, 1, "relative", "scroll destination out of bounds"),
    (0, -1, "absolute", "scroll destination out of bounds"),
    (0, 1, "forward", "scroll mode must be 'relative' or 'absolute'"),
])
def test_scroll_unnamed(conn, start, value, mode, result):
    cur = conn.cursor()
    cur.execute("select generate_series(0, 2)")
    cur.scroll(start, "absolute")
    args = (value,) if mode is None else (value, mode)
    if isinstance(result, str):
        with pytest.raises(tolvar2.ProgrammingError, match=result) as e:
            cur.scroll(*args)
        assert e.value.cursor is cur and cur.rownumber == start
    else:
        assert cur.scroll(*args) is None
        assert cur.rownumber == result and cur.fetchone() == (result,)


def test_scroll_without_result(conn):
    cur = conn.cursor()
    with pytest.raises(tolvar2.ProgrammingError, match="scroll destination out of bounds"):
        cur.scroll(0, mode="absolute")


def test_large_fetchall_checksum(conn):
    cur = conn.cursor()
    cur.execute("select sum(g), md5(string_agg(md5(g::text), ',' order by g)) "
                "from generate_series(1, 1000000) g")
    total, digest = cur.fetchone()
    cur.execute("select g, md5(g::text) from generate_series(1, 1000000) g order by g")
    rows = cur.fetchall()
    assert len(rows) == cur.rowcount == 1000000
    assert sum(r[0] for r in rows) == total
    assert hashlib.md5(",".join(r[1] for r in rows).encode()).hexdigest() == digest


# ---------------------------------------------------------------------------
# Description and Column


def test_description(conn):
    cur = conn.cursor()
    cur.execute("create temp table dtest (n numeric(10,2), v varchar(20), i int4, u numeric)")
    cur.execute("select 'dtest'::regclass::oid")
    table_oid = cur.fetchone()[0]
    cur.execute("select n, v, i, u, i + 1 as computed from dtest")
    desc = cur.description
    assert isinstance(desc, tuple) and all(type(c) is _tolvar.Column for c in desc)
    got = [(c.name, c.type_code, c.display_size, c.internal_size, c.precision, c.scale,
            c.null_ok, c.table_oid, c.table_column) for c in desc]
    assert got == [
        ("n", 1700, None, 10, 10, 2, None, table_oid, 1),
        ("v", 1043, None, 20, None, None, None, table_oid, 2),
        ("i", 23, None, 4, None, None, None, table_oid, 3),
        ("u", 1700, None, -1, 0xFFFF, 0xFFFF, None, table_oid, 4),
        ("computed", 23, None, 4, None, None, None, None, None),
    ]
    assert desc[0] == ("n", 1700, None, 10, 10, 2, None)


def test_column_sequence_and_mapping():
    col = _tolvar.Column(name="a", type_code=23, internal_size=4, table_oid=99, table_column=1)
    assert len(col) == 7
    assert tuple(col) == ("a", 23, None, 4, None, None, None)
    assert col[0] == "a" and col[-1] is None and col[-7] == "a"
    assert col[1:3] == (23, None)
    with pytest.raises(IndexError, match="index out of range"):
        col[7]
    with pytest.raises(TypeError):
        col["name"]
    assert (col.table_oid, col.table_column) == (99, 1)
    with pytest.raises(AttributeError):
        col.name = "b"
    assert repr(col) == "Column(name='a', type_code=23)"
    assert repr(_tolvar.Column()) == "Column(name=None, type_code=None)"
    name, type_code, *rest = col
    assert (name, type_code, len(rest)) == ("a", 23, 5)


def test_column_comparison():
    col = _tolvar.Column("a", 23)
    assert col == ("a", 23, None, None, None, None, None)
    assert col != ("a", 23)
    assert col < ("b",) and col > ("a", 22) and col <= tuple(col) and col >= tuple(col)
    assert col == _tolvar.Column("a", 23, table_oid=5)  # the extra fields do not count
    assert col != _tolvar.Column("a", 25)
    with pytest.raises(TypeError):
        hash(col)


def test_column_pickle():
    col = _tolvar.Column("a", 1700, None, 10, 10, 2, None, 1234, 3)
    for proto in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(col, proto))
        assert type(back) is _tolvar.Column and back == col
        assert (back.table_oid, back.table_column) == (None, None)
    assert col.__getstate__() == tuple(col)


def test_column_setstate():
    col = _tolvar.Column("a", 23, None, 4, None, None, None, 10, 2)
    assert col.__setstate__(("b", 25, 8)) is None
    assert tuple(col) == ("b", 25, 8, 4, None, None, None) and col.table_oid == 10
    col.__setstate__(tuple(range(12)))  # the items past the ninth are ignored
    assert tuple(col) == tuple(range(7)) and (col.table_oid, col.table_column) == (7, 8)
    col.__setstate__(None)
    assert col.name == 0
    with pytest.raises(TypeError, match="state is not a tuple"):
        col.__setstate__(["a"])


def test_column_from_result_pickles(conn):
    cur = conn.cursor()
    cur.execute("select 1::int4 as x")
    col = cur.description[0]
    assert pickle.loads(pickle.dumps(col)) == ("x", 23, None, 4, None, None, None)


# ---------------------------------------------------------------------------
# Named cursors


@pytest.mark.parametrize("make, declare", [
    (lambda c: c.cursor("nc"), b'DECLARE "nc" CURSOR WITHOUT HOLD FOR select 1'),
    (lambda c: c.cursor("nc", scrollable=True), b'DECLARE "nc" SCROLL CURSOR WITHOUT HOLD FOR select 1'),
    (lambda c: c.cursor("nc", scrollable=False),
     b'DECLARE "nc" NO SCROLL CURSOR WITHOUT HOLD FOR select 1'),
    (lambda c: c.cursor("nc", withhold=True), b'DECLARE "nc" CURSOR WITH HOLD FOR select 1'),
    (lambda c: _tolvar.cursor(c, "nc"), b'DECLARE "nc" NO SCROLL CURSOR WITHOUT HOLD FOR select 1'),
    (lambda c: c.cursor('we"ird name'), b'DECLARE "we""ird name" CURSOR WITHOUT HOLD FOR select 1'),
])
def test_declare_statement(conn, make, declare):
    cur = make(conn)
    cur.execute("select 1")
    assert cur.query == declare
    assert cur.fetchall() == [(1,)]


def test_named_execute_once(conn):
    cur = conn.cursor("once")
    cur.execute("select 1")
    with pytest.raises(tolvar2.ProgrammingError, match="more than once") as e:
        cur.execute("select 2")
    assert e.value.cursor is cur


def test_named_fetches(conn):
    cur = conn.cursor("nf")
    cur.execute("select generate_series(1, 10)")
    assert cur.fetchone() == (1,) and cur.rowcount == 1
    assert cur.fetchmany(3) == [(2,), (3,), (4,)] and cur.rowcount == 3
    cur.arraysize = 2
    assert cur.fetchmany() == [(5,), (6,)]
    assert cur.fetchall() == [(7,), (8,), (9,), (10,)]
    assert cur.fetchone() is None and cur.fetchall() == []


def test_named_iteration_in_batches(conn):
    cur = conn.cursor("batches")
    cur.itersize = 2000
    cur.execute("select generate_series(1, 5000)")
    seen, batches = [], []
    for (value,) in cur:
        if cur.rownumber == 1:
            batches.append(cur.rowcount)
        seen.append(value)
    assert seen == list(range(1, 5001))
    assert batches == [2000, 2000, 1000]
    assert cur.rowcount == 0  # the fourth, empty batch ended the iteration


def test_named_iteration_needs_positive_itersize(conn):
    cur = conn.cursor("zero")
    cur.itersize = 0
    cur.execute("select generate_series(1, 3)")
    with pytest.raises(ValueError, match="itersize"):
        next(cur)


def test_named_scroll(conn):
    cur = conn.cursor("sc", scrollable=True)
    cur.execute("select generate_series(1, 10)")
    assert cur.fetchmany(3) == [(1,), (2,), (3,)]
    cur.scroll(0, "absolute")
    assert cur.fetchone() == (1,)
    cur.scroll(5, mode="absolute")
    assert cur.fetchone() == (6,)
    cur.scroll(-2)
    assert cur.fetchone() == (5,)
    cur.scroll(1, "forward")  # any other mode is a relative MOVE
    assert cur.fetchone() == (7,)


def test_named_no_scroll_refuses_backwards(conn):
    cur = conn.cursor("fw", scrollable=False)
    cur.execute("select generate_series(1, 3)")
    cur.fetchone()
    with pytest.raises(tolvar2.DatabaseError, match="scan forward"):
        cur.scroll(-1)


def test_stale_named_cursor(conn):
    cur = conn.cursor("stale")
    cur.execute("select generate_series(1, 3)")
    assert cur.fetchone() == (1,)
    conn.commit()
    for call in (cur.fetchone, cur.fetchall, lambda: cur.fetchmany(2), lambda: next(cur),
                 lambda: cur.scroll(1), cur.close):
        with pytest.raises(tolvar2.ProgrammingError, match="named cursor isn't valid anymore"):
            call()
    assert cur.closed is False


def test_withhold_survives_commit(conn):
    cur = conn.cursor("held", withhold=True)
    cur.execute("select generate_series(1, 4)")
    assert cur.fetchone() == (1,)
    conn.commit()
    assert cur.fetchmany(2) == [(2,), (3,)]
    assert list(cur) == [(4,)]
    cur.close()
    check = conn.cursor()
    check.execute("select count(*) from pg_catalog.pg_cursors where name = 'held'")
    assert check.fetchone() == (0,)


def test_named_cursor_autocommit(conn):
    conn.autocommit = True
    cur = conn.cursor("ac")
    with pytest.raises(tolvar2.ProgrammingError, match="can't use a named cursor outside of transactions"):
        cur.execute("select 1")
    cur = conn.cursor("ac", withhold=True)
    cur.execute("select generate_series(1, 3)")
    assert cur.query == b'DECLARE "ac" CURSOR WITH HOLD FOR select generate_series(1, 3)'
    assert cur.fetchall() == [(1,), (2,), (3,)]
    cur.close()


def test_close_named_sends_close(conn):
    cur = conn.cursor("closing")
    cur.execute("select 1")
    cur.close()
    assert cur.closed is True and cur.statusmessage == "CLOSE CURSOR"
    check = conn.cursor()
    check.execute("select count(*) from pg_catalog.pg_cursors where name = 'closing'")
    assert check.fetchone() == (0,)


def test_close_named_never_executed(conn):
    cur = conn.cursor("never")
    cur.close()
    # Only the lookup in pg_cursors ran; no CLOSE was sent for a missing cursor.
    assert cur.closed is True and cur.statusmessage == "SELECT 0"


def test_close_named_in_failed_transaction(conn):
    cur = conn.cursor("failed")
    cur.execute("select 1")
    with pytest.raises(tolvar2.DatabaseError):
        conn.cursor().execute("select 1 / 0")
    cur.close()
    assert cur.closed is True and cur.statusmessage == "DECLARE CURSOR"  # no CLOSE sent
    conn.rollback()


def test_named_fetch_of_undeclared_cursor(conn):
    cur = conn.cursor("undeclared")
    with pytest.raises(tolvar2.DatabaseError, match="undeclared"):
        cur.fetchone()


def test_dbapi_type_objects(conn):
    cur = conn.cursor()
    cur.execute("SELECT 1::int4, 'x'::text, 2.5::float8, 'x'::varchar, now()::timestamp")
    codes = [c.type_code for c in cur.description]
    assert codes[0] == tolvar2.NUMBER and codes[2] == tolvar2.NUMBER
    assert codes[1] == tolvar2.STRING and codes[3] == tolvar2.STRING
    assert codes[1] != tolvar2.NUMBER
    assert codes[4] == tolvar2.DATETIME


@pytest.mark.parametrize("enabled", [True, False])
def test_fetch_leaves_collector_state_alone(conn, enabled):
    import gc
    import weakref

    class Row(list):
        """A row that refers to itself: only the collector can free it."""

        def __init__(self, cur):
            super().__init__([None] * len(cur.description))
            self.me = self

    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        cur = conn.cursor()
        cur.row_factory = Row
        cur.execute("SELECT g FROM generate_series(1, 1000) g")
        rows = cur.fetchall()
        assert gc.isenabled() is enabled
        assert [r[0] for r in rows] == list(range(1, 1001))
        probe = weakref.ref(rows[0])
        del rows
        gc.collect()
        assert probe() is None
    finally:
        gc.enable() if was else gc.disable()


def test_cursor_shared_between_threads_never_crashes(conn):
    # Sharing a cursor between threads is a misuse, but it must fail with
    # exceptions, not bring the interpreter down.
    import threading

    cur = conn.cursor()
    slow = tolvar2.extensions.new_type((23,), "SLOWINT", lambda v, c: None if v is None else int(v))
    tolvar2.extensions.register_type(slow, cur)
    failures = []

    def hammer():
        for i in range(150):
            try:
                cur.execute("SELECT g FROM generate_series(1, 50) g")
                rows = cur.fetchall()
                assert all(len(r) == 1 for r in rows)
            except (tolvar2.Error, AssertionError) as e:
                failures.append(type(e))

    threads = [threading.Thread(target=hammer) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    conn.rollback()
    cur.execute("SELECT 1")
    assert cur.fetchone() == (1,)
    assert AssertionError not in failures
