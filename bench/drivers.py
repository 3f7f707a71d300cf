"""One adapter per participant of the benchmarks: tolvar2, the peers and the floor.

Every adapter offers the same operations. Each returns ``(seconds, info)``:
``seconds`` covers only the work being measured (never connecting, building
the input or checking the output), ``info`` is a small dict computed after
the clock stopped, which the runner compares with the expected figures.

    fetch(sql)              run one query and fetch all of its rows
    stream(sql, itersize)   iterate over a query through a server-side cursor
    roundtrip(sql, n)       n x (execute + fetch one row)
    params(n)               n x a 4-parameter SELECT, fetch one row each
    insert(table, n)        insert n rows with one executemany, then commit

An operation a participant cannot do raises ``NotApplicable``; tolvar2's
``NotSupportedError`` is treated the same way by the runner.
"""

from __future__ import annotations

import asyncio
import datetime
import json
import subprocess
import time
from decimal import Decimal

PYTHON_DRIVERS = ("tolvar2", "asyncpg", "pg8000")

PARAM_SQL_FORMAT = "SELECT %s, %s, %s, %s"
PARAM_SQL_DOLLAR = "SELECT $1::int8, $2::text, $3::numeric, $4::timestamp"
PARAM_TEXT = "tolvar"
PARAM_DECIMAL = Decimal("12345.67")
PARAM_DATETIME = datetime.datetime(2024, 5, 17, 12, 34, 56, 789012)

INSERT_BASE = datetime.datetime(2024, 1, 1)


class NotApplicable(Exception):
    """The participant has no way to run this operation."""


def param_rows(n):
    return [(i, PARAM_TEXT, PARAM_DECIMAL, PARAM_DATETIME) for i in range(n)]


def insert_rows(n):
    # The floor (floor.c) generates exactly the same rows.
    return [
        (i, i * 7, f"name-{i}", i * 0.25, INSERT_BASE + datetime.timedelta(seconds=i))
        for i in range(n)
    ]


def summarize(rows):
    """Row count, the sum of column 0 when it holds integers, and the value types."""
    info = {"rows": len(rows), "types": [], "sum0": None, "nonnull0": None}
    if rows:
        first = rows[0]
        info["types"] = [type(v).__name__ for v in first]
        info["nonnull0"] = sum(1 for r in rows if r[0] is not None)
        if isinstance(first[0], int) and not isinstance(first[0], bool):
            info["sum0"] = sum(r[0] for r in rows)
    return info


def summarize_params(n, last):
    return {"rows": n, "last": None if last is None else [str(v) for v in last]}


def dsn_params(dsn):
    """Split a libpq DSN (key=value or URI) into its parts, using tolvar2's parser."""
    from tolvar2.extensions import parse_dsn

    return parse_dsn(dsn)


# ------------------------------------------------------------- DB-API drivers
class DBAPIDriver:
    """The workloads as any DB-API driver with the pyformat style runs them."""

    def close(self):
        self.conn.close()

    def fetch(self, sql):
        cur = self.conn.cursor()
        t0 = time.perf_counter()
        cur.execute(sql)
        rows = cur.fetchall()
        dt = time.perf_counter() - t0
        info = summarize(rows)
        del rows
        cur.close()
        self.conn.rollback()
        return dt, info

    def roundtrip(self, sql, n):
        cur = self.conn.cursor()
        s = 0
        t0 = time.perf_counter()
        for _ in range(n):
            cur.execute(sql)
            s += cur.fetchone()[0]
        dt = time.perf_counter() - t0
        cur.close()
        self.conn.rollback()
        return dt, {"rows": n, "sum0": s}

    def params(self, n):
        args = param_rows(n)
        cur = self.conn.cursor()
        s, row = 0, None
        try:
            t0 = time.perf_counter()
            for a in args:
                cur.execute(PARAM_SQL_FORMAT, a)
                row = cur.fetchone()
                s += int(row[0])
            dt = time.perf_counter() - t0
        finally:
            cur.close()
            self.conn.rollback()
        info = summarize_params(n, row)
        info["sum0"] = s
        return dt, info

    def insert(self, table, n):
        rows = insert_rows(n)
        cur = self.conn.cursor()
        try:
            t0 = time.perf_counter()
            cur.executemany(f"INSERT INTO {table} VALUES (%s, %s, %s, %s, %s)", rows)
            self.conn.commit()
            dt = time.perf_counter() - t0
        finally:
            cur.close()
            self.conn.rollback()
        return dt, {}


class Tolvar2(DBAPIDriver):
    name = "tolvar2"

    def __init__(self, dsn):
        import tolvar2

        self.module = tolvar2
        self.conn = tolvar2.connect(dsn)

    def stream(self, sql, itersize):
        n = s = 0
        t0 = time.perf_counter()
        cur = self.conn.cursor("tolvar_bench_stream")
        cur.itersize = itersize
        cur.execute(sql)
        for row in cur:
            n += 1
            s += row[0]
        cur.close()
        self.conn.commit()
        dt = time.perf_counter() - t0
        return dt, {"rows": n, "sum0": s}


class Pg8000(DBAPIDriver):
    name = "pg8000"

    def __init__(self, dsn):
        import pg8000.dbapi

        self.module = pg8000
        p = dsn_params(dsn)
        kwargs = {"user": p.get("user") or "postgres", "database": p.get("dbname")}
        if p.get("password"):
            kwargs["password"] = p["password"]
        host, port = p.get("host"), int(p.get("port") or 5432)
        if not host or host.startswith("/"):
            kwargs["unix_sock"] = f"{host or '/var/run/postgresql'}/.s.PGSQL.{port}"
        else:
            kwargs.update(host=host, port=port)
        self.conn = pg8000.dbapi.connect(**kwargs)

    def stream(self, sql, itersize):
        raise NotApplicable("pg8000 reads the whole result on execute (no server-side cursors)")


# -------------------------------------------------------------------- asyncpg
class Asyncpg:
    name = "asyncpg"

    def __init__(self, dsn):
        import asyncpg

        self.module = asyncpg
        p = dsn_params(dsn)
        kwargs = {"user": p.get("user") or "postgres", "database": p.get("dbname")}
        if p.get("password"):
            kwargs["password"] = p["password"]
        if p.get("host"):
            kwargs["host"] = p["host"]
        if p.get("port"):
            kwargs["port"] = int(p["port"])
        self.loop = asyncio.new_event_loop()
        self.conn = self.loop.run_until_complete(asyncpg.connect(**kwargs))

    def close(self):
        try:
            self.loop.run_until_complete(self.conn.close())
        finally:
            self.loop.close()

    def _run(self, coro):
        return self.loop.run_until_complete(coro)

    def fetch(self, sql):
        async def go():
            t0 = time.perf_counter()
            rows = await self.conn.fetch(sql)
            return time.perf_counter() - t0, rows

        dt, rows = self._run(go())
        info = summarize(rows)
        del rows
        return dt, info

    def stream(self, sql, itersize):
        async def go():
            n = s = 0
            t0 = time.perf_counter()
            async with self.conn.transaction():
                async for row in self.conn.cursor(sql, prefetch=itersize):
                    n += 1
                    s += row[0]
            return time.perf_counter() - t0, {"rows": n, "sum0": s}

        return self._run(go())

    def roundtrip(self, sql, n):
        async def go():
            s = 0
            t0 = time.perf_counter()
            for _ in range(n):
                row = await self.conn.fetchrow(sql)
                s += row[0]
            return time.perf_counter() - t0, {"rows": n, "sum0": s}

        return self._run(go())

    def params(self, n):
        args = param_rows(n)

        async def go():
            s, row = 0, None
            t0 = time.perf_counter()
            for a in args:
                row = await self.conn.fetchrow(PARAM_SQL_DOLLAR, *a)
                s += row[0]
            dt = time.perf_counter() - t0
            info = summarize_params(n, row)
            info["sum0"] = s
            return dt, info

        return self._run(go())

    def insert(self, table, n):
        rows = insert_rows(n)

        async def go():
            t0 = time.perf_counter()
            async with self.conn.transaction():
                await self.conn.executemany(
                    f"INSERT INTO {table} VALUES ($1, $2, $3, $4, $5)", rows)
            return time.perf_counter() - t0, {}

        return self._run(go())


# ---------------------------------------------------------------------- floor
class Floor:
    """The C program floor.c: libpq only, no Python objects.

    By default one floor process serves every command of a session on one
    connection, as a driver keeps its connection; ``oneshot=True`` starts a
    fresh process (and connection) per command instead.
    """

    name = "floor"

    def __init__(self, dsn, binary, oneshot=False, spawn=None):
        self.dsn = dsn
        self.binary = str(binary)
        self.proc = None
        # spawn(argv) -> (returncode, stdout, stderr), for one-shot commands
        self.spawn = spawn or run_argv
        if not oneshot:
            self.proc = subprocess.Popen(
                [self.binary, dsn, "serve"], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def close(self):
        if self.proc is None:
            return
        proc, self.proc = self.proc, None
        try:
            proc.stdin.close()
            proc.wait(timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            proc.kill()
            proc.wait()
        finally:
            proc.stdout.close()
            proc.stderr.close()

    def _call(self, *args):
        args = [str(a) for a in args]
        if any("\n" in a for a in args):
            raise ValueError("floor commands are single lines")
        if self.proc is None:
            rc, line, err = self.spawn([self.binary, self.dsn, *args])
            if rc != 0:
                raise RuntimeError(f"floor exited {rc}: {err.strip()}")
        else:
            self.proc.stdin.write(" ".join(args) + "\n")
            self.proc.stdin.flush()
            line = self.proc.stdout.readline()
            if not line:
                proc, self.proc = self.proc, None
                rc = proc.wait()
                err = proc.stderr.read().strip()
                raise RuntimeError(f"floor exited {rc}: {err or 'without a message'}")
        out = json.loads(line)
        return out.pop("seconds"), out

    def fetch(self, sql):
        return self._call("fetch", 1, sql)

    def stream(self, sql, itersize):
        return self._call("stream", itersize, sql)

    def roundtrip(self, sql, n):
        dt, out = self._call("fetch", n, sql)
        # Every statement returns one row whose single value is "1".
        ones = out["bytes"] == n and out["touch"] == ord("1") * n
        out["sum0"] = n if ones else None
        return dt, out

    def params(self, n):
        return self._call("params", n)

    def insert(self, table, n):
        return self._call("insert", n, table)


def run_argv(argv):
    res = subprocess.run(argv, capture_output=True, text=True, timeout=3600)
    return res.returncode, res.stdout, res.stderr


def vm_hwm_kb():
    """The resident-set high-water mark of this process image (Linux), or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return None


ADAPTERS = {"tolvar2": Tolvar2, "asyncpg": Asyncpg, "pg8000": Pg8000}


def available(name):
    """None if the driver can be imported, else the reason it cannot."""
    try:
        __import__({"pg8000": "pg8000.dbapi"}.get(name, name))
    except ImportError as e:
        return f"not installed ({e})"
    return None
