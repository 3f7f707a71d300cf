"""A short tour of tolvar2.

Usage: python examples/tour.py "host=... dbname=..."   (or set TOLVAR_DSN)
"""

import os
import sys

import tolvar2
import tolvar2._tolvar
import tolvar2.errors
import tolvar2.extensions


def section(title):
    print(f"\n== {title}")


def show(label, value):
    print(f"  {label:<38} {value!r}")


def main(argv):
    dsn = argv[1] if len(argv) > 1 else os.environ.get("TOLVAR_DSN")
    if not dsn:
        print(__doc__.strip(), file=sys.stderr)
        return 2

    section("module")
    show("tolvar2.__version__", tolvar2.__version__)
    show("libpq headers built against", tolvar2._tolvar.__libpq_version__)
    show("libpq library loaded", tolvar2._tolvar.libpq_version())

    section("DB-API 2.0 globals")
    show("apilevel", tolvar2.apilevel)
    show("threadsafety", tolvar2.threadsafety)
    show("paramstyle", tolvar2.paramstyle)

    section("connection string")
    show("dsn", dsn)
    parsed = tolvar2.extensions.parse_dsn(dsn)
    for key in sorted(parsed):
        show(f"parse_dsn()[{key!r}]", parsed[key])
    show("make_dsn(dsn, application_name=...)",
         tolvar2.extensions.make_dsn(dsn, application_name="tolvar2-tour"))

    section("errors by SQLSTATE")
    cls = tolvar2.errors.lookup("23505")
    show('errors.lookup("23505")', cls.__name__)
    show("its MRO", [c.__name__ for c in cls.__mro__])

    section("connecting")
    conn = tolvar2.connect(dsn, application_name="tolvar2-tour")
    show("conn.server_version", conn.server_version)
    show("conn.encoding", conn.encoding)
    show("conn.info.backend_pid", conn.info.backend_pid)
    cur = conn.cursor()

    section("a table, some rows")
    cur.execute("CREATE TEMP TABLE tour (id serial PRIMARY KEY, name text UNIQUE,"
                " price numeric(8,2), ratio float8, active bool)")
    cur.execute("INSERT INTO tour (name, price, ratio, active) VALUES"
                " ('apple', 1.25, 0.5, true), ('pear', 2.50, 1e-3, false),"
                " ('plum', NULL, -2.75, true)")
    show("rowcount after INSERT", cur.rowcount)
    show("statusmessage", cur.statusmessage)
    conn.commit()
    cur.execute("SELECT id, name, price, ratio, active FROM tour ORDER BY id")
    show("description names", [c.name for c in cur.description])
    for row in cur:
        show("row", row)

    section("a named (server-side) cursor")
    named = conn.cursor("tour_stream")
    named.itersize = 2
    named.execute("SELECT g, g * g FROM generate_series(1, 5) AS g")
    show("fetchmany(2)", named.fetchmany(2))
    show("the rest, iterating", list(named))
    named.close()
    conn.commit()

    section("parameters, bound on the client")
    cur.execute("SELECT name, price FROM tour WHERE price > %s AND active = %s ORDER BY id",
                (1, True))
    show("price > 1 and active", cur.fetchall())
    cur.execute("SELECT %(a)s + %(b)s, %(text)s", {"a": 40, "b": 2, "text": "it's \\ fine"})
    show("named placeholders", cur.fetchone())
    show("mogrify", cur.mogrify("SELECT %s, %s, %s", (None, -1.5, "O'Reilly")))

    section("a transaction with `with conn:`")
    with conn:
        cur.execute("INSERT INTO tour (name, price, ratio, active) VALUES (%s, %s, %s, %s)",
                    ("quince", 3, 0.0, True))
    show("committed rows", cur.rowcount)
    try:
        with conn:
            cur.execute("UPDATE tour SET price = 0")
            raise RuntimeError("changed my mind")
    except RuntimeError:
        pass
    cur.execute("SELECT count(*) FROM tour WHERE price = 0")
    show("rows priced 0 after the rollback", cur.fetchone()[0])

    section("an adapter for a user class")

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

    def adapt_point(p):
        return tolvar2.extensions.AsIs("point(%r, %r)" % (float(p.x), float(p.y)))

    tolvar2.extensions.register_adapter(Point, adapt_point)
    cur.execute("SELECT %s <-> %s", (Point(0, 0), Point(3, 4)))
    show("distance between two Points", cur.fetchone()[0])

    section("dates, arrays and binary data, both ways")
    import datetime

    cur.execute("SET TIME ZONE 'Asia/Kolkata'")
    cur.execute("SELECT '2026-12-10 10:19:22+00'::timestamptz, %s::timestamptz",
                (datetime.datetime(1850, 1, 1, 12, 0, tzinfo=datetime.timezone.utc),))
    for value in cur.fetchone():
        show("timestamptz", value)
    cur.execute("SELECT %s::int[], ARRAY[['a', NULL], ['b,c', 'd\"e']]", ([1, 2, None],))
    for value in cur.fetchone():
        show("array", value)
    cur.execute("SELECT %s::bytea, '\\xdeadbeef'::bytea",
                (tolvar2.Binary(bytes([0, 39, 92, 255])),))
    for value in cur.fetchone():
        show("bytea (memoryview) as bytes", bytes(value))
    cur.execute("SELECT %s + interval '1 month'", (datetime.timedelta(days=-1, seconds=5),))
    show("interval", cur.fetchone()[0])
    conn.rollback()

    section("an error, caught by its SQLSTATE class")
    try:
        cur.execute("INSERT INTO tour (name) VALUES ('apple')")
    except tolvar2.errors.UniqueViolation as e:
        show("caught", type(e).__name__)
        show("e.pgcode", e.pgcode)
        show("e.diag.constraint_name", e.diag.constraint_name)
        show("isinstance(e, IntegrityError)", isinstance(e, tolvar2.IntegrityError))
        conn.rollback()
    conn.close()
    show("conn.closed", conn.closed)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
