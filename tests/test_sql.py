"""Composing queries from parts with tolvar2.sql."""

import pytest

from tolvar2 import sql


class ClientEncoding(sql.Composable):
    """A composable that needs its context: proves as_string receives it."""

    def as_string(self, context):
        return f"'{context.encoding}'"


def test_sql_and_composed(conn):
    q = sql.SQL("SELECT ") + sql.SQL(", ").join([sql.SQL("1"), sql.SQL("2")]) + sql.SQL(" + 1")
    assert isinstance(q, sql.Composed)
    assert q.as_string(conn) == "SELECT 1, 2 + 1"
    assert (sql.SQL("x") * 3).as_string(conn) == "xxx"
    assert sql.Composed([sql.SQL("a"), sql.SQL("b")]).join("-").as_string(conn) == "a-b"
    assert sql.SQL("a") == sql.SQL("a") and sql.SQL("a") != sql.SQL("b")
    assert [p.string for p in q.seq[:1]] == ["SELECT "]
    cur = conn.cursor()
    cur.execute(q)
    assert cur.fetchone() == (1, 3)
    cur.execute(sql.SQL("SELECT ") + ClientEncoding(None))
    assert cur.fetchone() == ("UTF8",)


def test_composable_errors():
    with pytest.raises(TypeError):
        sql.SQL(42)
    with pytest.raises(TypeError):
        sql.Composed(["not composable"])
    with pytest.raises(TypeError):
        sql.SQL("a") + "b"
    with pytest.raises(TypeError):
        sql.Composed([]).join(5)
    with pytest.raises(NotImplementedError):
        sql.Composable("x").as_string(None)
    with pytest.raises(TypeError):
        hash(sql.SQL("a"))
