"""Benchmarks of tolvar2 side by side with asyncpg, pg8000 and the libpq floor.

    python3 bench/run.py [--quick] [--dsn DSN] [--no-plot] [--reps N] [--out DIR]
    python3 bench/run.py --report-only     # table and plot again from latest.json

Without --dsn a throwaway server (tools/pgserver.py) is started for the run
and removed at the end. The data is generated server-side once per run into
UNLOGGED tables (dropped again at the end). Every workload runs for each
participant in turn (tolvar2, asyncpg, pg8000, floor, tolvar2, ...): one
warm-up round, then --reps timed rounds; the report gives medians and the
ratio tolvar2/peer. Every sample is checked (row counts, checksums) before it
counts; a participant whose result is wrong is reported as FAILED and the
run exits 1. A peer that is not installed is reported as missing; an
operation tolvar2 does not support yet (NotSupportedError, or "can't adapt
type" for a parameter type without an adapter) is reported n/a.

Outputs in --out (default bench/results/): latest.json (all figures and
samples), latest.md (the table in Markdown) and per_type.png (the per-type
cost plot, unless --no-plot).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import json
import os
import platform
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO_ROOT = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

import drivers  # noqa: E402

PARTICIPANTS = ("tolvar2", "asyncpg", "pg8000", "floor")
PEERS = ("asyncpg", "pg8000")
WORKLOADS = ("w1", "w2", "w3", "w4", "w5", "w6")

FULL_SIZES = {
    "w1": 1_000_000,
    "w2": 200_000,
    "w3": 20_000,
    "w4": 20_000,
    "w5": 10_000,
    "w6": 5_000_000,
}
QUICK_DIVISOR = 100
ITERSIZE = 2000

# name, column type, value expression over i = 1..N, text length expression
# (octet_length(v::text) is what the server sends in text format, except for
# bool whose cast to text spells out true/false while the output is t/f).
W2_TYPES = [
    ("int2", "int2", "(i % 32000)::int2", None),
    ("int4", "int4", "i", None),
    ("int8", "int8", "i::int8 * 1000003", None),
    ("bool", "bool", "i % 2 = 0", "1"),
    ("text", "text", "substr(md5(i::text), 1, 10)", None),
    ("float8", "float8", "i * 0.37::float8", None),
    ("numeric", "numeric", "(i * 1.01)::numeric(12,2)", None),
    ("date", "date", "date '2000-01-01' + i % 20000", None),
    ("timestamp", "timestamp", "timestamp '2000-01-01' + i * interval '1.001 seconds'", None),
    ("timestamptz", "timestamptz",
     "timestamptz '2000-01-01 00:00:00+00' + i * interval '1.001 seconds'", None),
    ("interval", "interval", "make_interval(days => i % 30, secs => i % 86400)", None),
    ("bytea", "bytea", "decode(md5(i::text) || md5((-i)::text), 'hex')", None),
    ("int4[]", "int4[]", "ARRAY[" + ", ".join(f"i + {k}" for k in range(10)) + "]", None),
    ("text[]", "text[]", "ARRAY[" + ", ".join(f"(i + {k})::text" for k in range(5)) + "]", None),
]
# Python types that mean "no typecaster yet" for a column of this type.
W2_EXPECTED_TEXT = {"text"}


def log(msg):
    print(f"[bench {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# ------------------------------------------------------------------- setup
class Spawner:
    """bench/spawner.py: starts the fresh-process samples (see there why)."""

    def __init__(self):
        self.proc = subprocess.Popen(
            [sys.executable, str(BENCH_DIR / "spawner.py")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def __call__(self, argv):
        if self.proc is None:
            raise RuntimeError("spawner closed")
        self.proc.stdin.write(json.dumps([str(a) for a in argv]) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"spawner exited {self.proc.wait()}")
        out = json.loads(line)
        return out["rc"], out["stdout"], out["stderr"]

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
        proc.stdout.close()


def build_floor(workdir: Path) -> Path:
    src = BENCH_DIR / "floor.c"
    exe = workdir / "floor"
    try:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libpq"],
                               capture_output=True, text=True, check=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        inc = subprocess.run(["pg_config", "--includedir"], capture_output=True,
                             text=True, check=True).stdout.strip()
        lib = subprocess.run(["pg_config", "--libdir"], capture_output=True,
                             text=True, check=True).stdout.strip()
        flags = [f"-I{inc}", f"-L{lib}", "-lpq"]
    cmd = [os.environ.get("CC", "cc"), "-O2", "-Wall", "-o", str(exe), str(src), *flags]
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        raise SystemExit(f"building the floor failed: {shlex.join(cmd)}\n{res.stderr}")
    return exe


class Tables:
    """The benchmark tables; created once per run, dropped at the end."""

    def __init__(self, admin, sizes, prefix):
        self.admin = admin
        self.sizes = sizes
        self.prefix = prefix
        self.created = []
        self.expected = {}

    def name(self, key):
        return self.prefix + key

    def _exec(self, sql):
        cur = self.admin.cursor()
        cur.execute(sql)
        rows = cur.fetchall() if cur.description else None
        cur.close()
        self.admin.commit()
        return rows

    def _create(self, key, columns, select):
        t = self.name(key)
        self._exec(f"DROP TABLE IF EXISTS {t}")
        self._exec(f"CREATE UNLOGGED TABLE {t} ({columns})")
        self.created.append(t)
        if select:
            self._exec(f"INSERT INTO {t} {select}")
            self._exec(f"ANALYZE {t}")
        return t

    def create_all(self, workloads):
        s = self.sizes
        if "w1" in workloads:
            n = s["w1"]
            t = self._create(
                "w1", "id int4, name text, x float8, ts timestamptz, amount numeric(12,2)",
                "SELECT i, substr(md5(i::text), 1, 10), i * 0.37::float8, "
                "timestamptz '2020-01-01 00:00:00+00' + i * interval '1.001 seconds', "
                f"(i * 1.01)::numeric(12,2) FROM generate_series(1, {n}) AS i")
            (cnt, nbytes), = self._exec(
                "SELECT count(*), sum(octet_length(id::text) + octet_length(name) "
                "+ octet_length(x::text) + octet_length(ts::text) "
                f"+ octet_length(amount::text))::int8 FROM {t}")
            self.expected["w1"] = {"rows": cnt, "sum0": n * (n + 1) // 2, "bytes": nbytes,
                                   "cols": 5}
        if "w2" in workloads:
            n = s["w2"]
            for tname, ctype, expr, lenexpr in W2_TYPES:
                key = "w2_" + tname.replace("[]", "_array")
                t = self._create(key, f"v {ctype}",
                                 f"SELECT {expr} FROM generate_series(1, {n}) AS i")
                lenexpr = lenexpr or "octet_length(v::text)"
                (cnt, nonnull, nbytes), = self._exec(
                    f"SELECT count(*), count(v), sum({lenexpr})::int8 FROM {t}")
                self.expected[key] = {"rows": cnt, "nonnull0": nonnull, "bytes": nbytes,
                                      "cols": 1}
        if "w5" in workloads:
            n = s["w5"]
            self._create("w5", "a int4, b int4, c text, d float8, e timestamp", None)
            last = drivers.INSERT_BASE + datetime.timedelta(seconds=n - 1)
            self.expected["w5"] = {
                "rows": n,
                "sum_a": n * (n - 1) // 2,
                "sum_b": 7 * n * (n - 1) // 2,
                "sum_len_c": sum(len(f"name-{i}") for i in range(n)),
                "sum_d": sum(i * 0.25 for i in range(n)),
                "max_e": last.strftime("%Y-%m-%d %H:%M:%S"),
            }
        if "w6" in workloads:
            n = s["w6"]
            t = self._create("w6", "id int4, name text",
                             f"SELECT i, substr(md5(i::text), 1, 10) "
                             f"FROM generate_series(1, {n}) AS i")
            (cnt, nbytes), = self._exec(
                f"SELECT count(*), sum(octet_length(id::text) + octet_length(name))::int8 "
                f"FROM {t}")
            self.expected["w6"] = {"rows": cnt, "sum0": n * (n + 1) // 2, "bytes": nbytes,
                                   "cols": 2}

    def w5_reset(self):
        self._exec(f"TRUNCATE {self.name('w5')}")

    def w5_contents(self):
        (cnt, sa, sb, sc, sd, me), = self._exec(
            "SELECT count(*), coalesce(sum(a), 0)::int8, coalesce(sum(b), 0)::int8, "
            "coalesce(sum(octet_length(c)), 0)::int8, coalesce(sum(d), 0)::float8, "
            f"max(e)::text FROM {self.name('w5')}")
        return {"rows": cnt, "sum_a": sa, "sum_b": sb, "sum_len_c": sc, "sum_d": sd,
                "max_e": me}

    def drop_all(self):
        for t in reversed(self.created):
            try:
                self._exec(f"DROP TABLE IF EXISTS {t}")
            except Exception as e:  # the run's figures are already safe
                log(f"could not drop {t}: {e}")
                try:
                    self.admin.rollback()
                except Exception:
                    pass
        self.created.clear()


# ---------------------------------------------------------------- running
def is_not_applicable(participant, exc):
    """A capability that is not there (yet), as opposed to a wrong result.

    For tolvar2: NotSupportedError, or a ProgrammingError "can't adapt type"
    for a parameter type that has no adapter yet.
    """
    if isinstance(exc, drivers.NotApplicable):
        return True
    if participant == "tolvar2":
        import tolvar2

        if isinstance(exc, tolvar2.NotSupportedError):
            return True
        return (isinstance(exc, tolvar2.ProgrammingError)
                and str(exc).startswith("can't adapt"))
    return False


def recover(session):
    """Leave a failed transaction behind so the session can run the next case."""
    conn = getattr(session, "conn", None)
    rollback = getattr(conn, "rollback", None)
    if rollback is not None:
        try:
            rollback()
        except Exception:
            pass


def run_case(runners, check, warmup, reps, *, prepare=None, verify=None, sessions=None):
    """Run one case: every participant once per round, warm-up rounds first.

    ``runners`` maps participant -> callable returning (seconds, info);
    ``check(participant, info)`` returns a list of problems (empty: correct).
    """
    results = {p: {"status": "ok", "reason": None, "samples": [], "info": {}}
               for p in runners}
    for rnd in range(warmup + reps):
        for p, fn in runners.items():
            r = results[p]
            if r["status"] != "ok":
                continue
            try:
                if prepare:
                    prepare()
                gc.collect()
                dt, info = fn()
                if verify:
                    info = dict(info, **verify())
            except Exception as e:
                if sessions and p in sessions:
                    recover(sessions[p])
                status = "n/a" if is_not_applicable(p, e) else "failed"
                r.update(status=status, reason=f"{type(e).__name__}: {e}".strip())
                if status == "failed":
                    log(f"  {p}: FAILED: {r['reason']}")
                continue
            problems = check(p, info)
            if problems:
                r.update(status="failed", reason="; ".join(problems), info=info)
                log(f"  {p}: FAILED: {r['reason']}")
                continue
            r["info"] = info
            if rnd >= warmup:
                r["samples"].append(dt)
    for r in results.values():
        s = r["samples"]
        if r["status"] == "ok" and s:
            r["median_s"] = statistics.median(s)
            r["min_s"] = min(s)
            r["max_s"] = max(s)
        else:
            r["median_s"] = None
            if r["status"] == "ok":
                r.update(status="failed", reason="no timed sample")
        r["rows"] = r["info"].get("rows")
    return results


def expect(info, **wanted):
    problems = []
    for k, v in wanted.items():
        got = info.get(k)
        if isinstance(v, float) and isinstance(got, (int, float)):
            if abs(got - v) > 1e-9 * max(1.0, abs(v)):
                problems.append(f"{k}={got!r}, expected {v!r}")
        elif got != v:
            problems.append(f"{k}={got!r}, expected {v!r}")
    return problems


class Bench:
    def __init__(self, args, dsn, floor_exe, spawn):
        self.args = args
        self.spawn = spawn
        self.dsn = dsn
        self.floor_exe = floor_exe
        self.sizes = {k: (max(1, v // QUICK_DIVISOR) if args.quick else v)
                      for k, v in FULL_SIZES.items()}
        self.loadavg_start = [round(x, 2) for x in os.getloadavg()]
        self.connect_errors = {}
        self.missing = {}
        for p in PEERS:
            if p in args.skip:
                self.missing[p] = "skipped (--skip)"
            else:
                why = drivers.available(p)
                if why:
                    self.missing[p] = why

    # sessions for the Python drivers, opened per workload
    def open_sessions(self, names):
        """Connect every participant; one that cannot is reported FAILED."""
        sessions = {}
        self.connect_errors = {}
        for p in names:
            if p in self.missing:
                continue
            try:
                sessions[p] = drivers.ADAPTERS[p](self.dsn)
            except Exception as e:
                self.connect_errors[p] = f"connect: {type(e).__name__}: {e}"
                log(f"  {p}: FAILED: {self.connect_errors[p]}")
        sessions["floor"] = drivers.Floor(self.dsn, self.floor_exe)
        return sessions

    @staticmethod
    def close_sessions(sessions):
        for s in sessions.values():
            try:
                s.close()
            except Exception as e:
                log(f"closing {s.name}: {e}")

    def decorate(self, participants, results):
        """Add the participants that did not take part, in table order."""
        out = {}
        for p in PARTICIPANTS:
            if p in results:
                out[p] = results[p]
            elif p in participants and p in self.missing:
                out[p] = {"status": "missing", "reason": self.missing[p], "samples": [],
                          "median_s": None, "rows": None, "info": {}}
            elif p in participants and p in self.connect_errors:
                out[p] = {"status": "failed", "reason": self.connect_errors[p],
                          "samples": [], "median_s": None, "rows": None, "info": {}}
        return out

    # ------------------------------------------------------------ workloads
    def w_fetch(self, participants, sql, expected, sessions):
        runners = {p: (lambda s=sessions[p]: s.fetch(sql)) for p in participants
                   if p in sessions}

        def check(p, info):
            if p == "floor":
                return expect(info, rows=expected["rows"], bytes=expected["bytes"],
                              cols=expected["cols"])
            want = {"rows": expected["rows"]}
            if "sum0" in expected:
                want["sum0"] = expected["sum0"]
            if "nonnull0" in expected:
                want["nonnull0"] = expected["nonnull0"]
            problems = expect(info, **want)
            if len(info.get("types", ())) != expected["cols"]:
                problems.append(f"{len(info.get('types', ()))} columns, "
                                f"expected {expected['cols']}")
            return problems

        return run_case(runners, check, self.args.warmup, self.args.reps, sessions=sessions)

    def w1(self, tables):
        parts = ("tolvar2", "asyncpg", "pg8000", "floor")
        n = self.sizes["w1"]
        sessions = self.open_sessions(parts[:-1])
        try:
            res = self.w_fetch(parts, f"SELECT * FROM {tables.name('w1')}",
                               tables.expected["w1"], sessions)
        finally:
            self.close_sessions(sessions)
        case = {"key": "fetchall", "label": "W1 wide fetch, fetchall",
                "expected": tables.expected["w1"], "results": self.decorate(parts, res)}
        metric_rows(case, "ms", lambda r: r["median_s"] * 1e3, ratio_peers=PEERS)
        return {"key": "w1", "title": f"W1 wide fetch: {n:,} rows x "
                "(int4, text, float8, timestamptz, numeric)", "size": n, "cases": [case]}

    def w2(self, tables):
        parts = ("tolvar2", "asyncpg", "floor")
        n = self.sizes["w2"]
        sessions = self.open_sessions(parts[:-1])
        cases = []
        try:
            for tname, _ctype, _expr, _len in W2_TYPES:
                key = "w2_" + tname.replace("[]", "_array")
                log(f"  W2 {tname}")
                res = self.w_fetch(parts, f"SELECT v FROM {tables.name(key)}",
                                   tables.expected[key], sessions)
                case = {"key": tname, "label": f"W2 {tname}",
                        "expected": tables.expected[key],
                        "results": self.decorate(parts, res)}
                w2_metrics(case, n)
                cases.append(case)
        finally:
            self.close_sessions(sessions)
        return {"key": "w2", "title": f"W2 per-type cost: {n:,} values of one column, "
                "ns per value above the floor", "size": n, "cases": cases}

    def w3(self, tables):
        parts = PARTICIPANTS
        n = self.sizes["w3"]
        sessions = self.open_sessions(parts[:-1])
        runners = {p: (lambda s=sessions[p]: s.roundtrip("SELECT 1", n)) for p in parts
                   if p in sessions}
        try:
            res = run_case(runners, lambda p, info: expect(info, rows=n, sum0=n),
                           self.args.warmup, self.args.reps, sessions=sessions)
        finally:
            self.close_sessions(sessions)
        case = {"key": "select1", "label": "W3 round trip, SELECT 1",
                "expected": {"rows": n, "sum0": n}, "results": self.decorate(parts, res)}
        metric_rows(case, "us/stmt", lambda r: r["median_s"] / n * 1e6, ratio_peers=PEERS)
        return {"key": "w3", "title": f"W3 round trip: {n:,} x execute('SELECT 1') + "
                "fetchone()", "size": n, "cases": [case]}

    def w4(self, tables):
        parts = PARTICIPANTS
        n = self.sizes["w4"]
        sessions = self.open_sessions(parts[:-1])
        runners = {p: (lambda s=sessions[p]: s.params(n)) for p in parts if p in sessions}
        total = n * (n - 1) // 2

        def check(p, info):
            problems = expect(info, rows=n, sum0=total)
            if p != "floor":
                last = info.get("last") or [None, None]
                if str(last[0]) != str(n - 1) or last[1] != drivers.PARAM_TEXT:
                    problems.append(f"last row {last!r}")
            return problems

        try:
            res = run_case(runners, check, self.args.warmup, self.args.reps,
                           sessions=sessions)
        finally:
            self.close_sessions(sessions)
        case = {"key": "params", "label": "W4 parameters (int, str, Decimal, datetime)",
                "expected": {"rows": n, "sum0": total}, "results": self.decorate(parts, res)}
        metric_rows(case, "us/stmt", lambda r: r["median_s"] / n * 1e6, ratio_peers=PEERS)
        return {"key": "w4", "title": f"W4 parameters: {n:,} x SELECT with 4 parameters",
                "size": n, "cases": [case]}

    def w5(self, tables):
        parts = PARTICIPANTS
        n = self.sizes["w5"]
        table = tables.name("w5")
        sessions = self.open_sessions(parts[:-1])
        runners = {p: (lambda s=sessions[p]: s.insert(table, n)) for p in parts
                   if p in sessions}
        expected = tables.expected["w5"]
        try:
            res = run_case(runners, lambda p, info: expect(info, **expected),
                           self.args.warmup, self.args.reps, prepare=tables.w5_reset,
                           verify=tables.w5_contents, sessions=sessions)
        finally:
            self.close_sessions(sessions)
        case = {"key": "executemany", "label": "W5 batch insert, executemany",
                "expected": expected, "results": self.decorate(parts, res)}
        metric_rows(case, "ms", lambda r: r["median_s"] * 1e3, ratio_peers=PEERS)
        return {"key": "w5", "title": f"W5 batch insert: {n:,} rows x (int, int, text, "
                "float8, timestamp) into an unlogged table", "size": n, "cases": [case]}

    def w6(self, tables):
        parts = PARTICIPANTS
        n = self.sizes["w6"]
        sql = f"SELECT * FROM {tables.name('w6')}"
        expected = tables.expected["w6"]
        # A fresh floor process per sample, as for the Python drivers below.
        floor = drivers.Floor(self.dsn, self.floor_exe, oneshot=True, spawn=self.spawn)

        def child(p, variant):
            def go():
                if p == "floor":
                    if variant == "stream":
                        return floor.stream(sql, ITERSIZE)
                    return floor.fetch(sql)
                cmd = [sys.executable, str(BENCH_DIR / "memchild.py"), p, variant,
                       self.dsn, sql, str(ITERSIZE)]
                rc, stdout, stderr = self.spawn(cmd)
                if rc != 0:
                    last = (stderr.strip().splitlines() or ["no message"])[-1]
                    raise RuntimeError(f"child exited {rc}: {last}")
                out = json.loads(stdout.strip().splitlines()[-1])
                if out.get("status") == "n/a":
                    raise drivers.NotApplicable(out["reason"])
                if out.get("status") == "failed":
                    raise RuntimeError(out["reason"])
                return out.pop("seconds"), out
            return go

        def check(p, info):
            if p == "floor":
                return expect(info, rows=expected["rows"], bytes=expected["bytes"])
            return expect(info, rows=expected["rows"], sum0=expected["sum0"])

        cases = []
        for variant, label in (("stream", f"named cursor, itersize {ITERSIZE}"),
                               ("fetchall", "fetchall")):
            log(f"  W6 {variant}")
            runners = {p: child(p, variant) for p in parts if p not in self.missing}
            res = run_case(runners, check, self.args.warmup, self.args.reps)
            for p, r in res.items():
                if r["status"] == "ok":
                    i = r["info"]
                    r["peak_rss_mib"] = (i["rss_peak_kb"] - i["rss_base_kb"]) / 1024
                    r["rss_source"] = "ru_maxrss"
                    hwm = (i.get("hwm_base_kb"), i.get("hwm_peak_kb"))
                    if None not in hwm and min(hwm) >= 0:
                        r["peak_hwm_mib"] = (hwm[1] - hwm[0]) / 1024
                        # The C floor's own baseline is below the high-water
                        # mark it inherits from the spawner, so ru_maxrss
                        # would hide its first megabytes: use VmHWM there.
                        if p == "floor":
                            r["peak_rss_mib"] = r["peak_hwm_mib"]
                            r["rss_source"] = "VmHWM"
            case = {"key": variant, "label": f"W6 streaming, {label}",
                    "expected": expected, "results": self.decorate(parts, res)}
            metric_rows(case, "s", lambda r: r["median_s"], ratio_peers=PEERS)
            metric_rows(case, "MiB peak", lambda r: r["peak_rss_mib"], ratio_peers=PEERS,
                        suffix="peak RSS", floor_ratio_key="peak_rss_mib")
            cases.append(case)
        return {"key": "w6", "title": f"W6 streaming: {n:,} rows x (int4, text), "
                "time and peak resident memory above the baseline (fresh process each)",
                "size": n, "cases": cases}


# ---------------------------------------------------------------- figures
def ratio(a, b):
    if a is None or b is None or a <= 0 or b <= 0:
        return None
    return a / b


def metric_rows(case, unit, fn, ratio_peers=(), suffix=None, floor_ratio_key="median_s"):
    """Append a display row: the metric per participant and tolvar2's ratios."""
    res = case["results"]
    values = {p: (fn(r) if r["status"] == "ok" else None) for p, r in res.items()}
    t2 = values.get("tolvar2")
    ratios = {f"tolvar2/{p}": ratio(t2, values.get(p)) for p in ratio_peers if p in res}
    if "floor" in res:
        a = res.get("tolvar2", {}).get(floor_ratio_key)
        b = res["floor"].get(floor_ratio_key)
        ratios["tolvar2/floor"] = ratio(a, b)
    label = case["label"] + (f", {suffix}" if suffix else "")
    case.setdefault("display", []).append(
        {"label": label, "unit": unit, "values": values, "ratios": ratios})


def w2_metrics(case, n):
    res = case["results"]
    floor = res["floor"]["median_s"] if res["floor"]["status"] == "ok" else None
    values = {}
    for p, r in res.items():
        if r["status"] != "ok" or floor is None:
            values[p] = None
        elif p == "floor":
            values[p] = floor / n * 1e9
        else:
            values[p] = (r["median_s"] - floor) / n * 1e9
        r["ns_per_value"] = None if r["median_s"] is None else r["median_s"] / n * 1e9
        r["ns_per_value_above_floor"] = values[p] if p != "floor" else None
    ratios = {}
    if "asyncpg" in res:
        ratios["tolvar2/asyncpg"] = ratio(values.get("tolvar2"), values.get("asyncpg"))
    ratios["tolvar2/floor"] = ratio(res["tolvar2"]["median_s"], floor)
    label = case["label"]
    pytype = (res["tolvar2"].get("info", {}).get("types") or [None])[0]
    if pytype == "str" and case["key"] not in W2_EXPECTED_TEXT:
        label += " (tolvar2 -> str)"
    case["display"] = [{"label": label, "unit": "ns/value", "values": values,
                        "ratios": ratios}]


def fmt_num(v):
    if v is None:
        return None
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def cell(case, p, v):
    r = case["results"].get(p)
    if r is None:
        return ""
    if r["status"] == "missing":
        return "missing"
    if r["status"] == "n/a":
        return "n/a"
    if r["status"] == "failed":
        return "FAILED"
    return fmt_num(v) or "-"


RATIO_KEYS = ("tolvar2/asyncpg", "tolvar2/pg8000", "tolvar2/floor")


def table_rows(report):
    rows = []
    for w in report["workloads"]:
        for case in w["cases"]:
            for d in case["display"]:
                row = [d["label"], d["unit"]]
                row += [cell(case, p, d["values"].get(p)) for p in PARTICIPANTS]
                row += [("" if d["ratios"].get(k) is None else f"{d['ratios'][k]:.2f}")
                        if k in d["ratios"] else "" for k in RATIO_KEYS]
                rows.append(row)
    return rows


HEADER = ["workload", "unit", *PARTICIPANTS, *(k.replace("tolvar2", "t2") for k in RATIO_KEYS)]


def notes(report):
    """One line per participant that has no figure, with the reason."""
    seen = {}
    for w in report["workloads"]:
        for c in w["cases"]:
            for p, r in c["results"].items():
                if r["status"] in ("n/a", "failed") and r.get("reason"):
                    key = (p, r["status"], r["reason"])
                    seen.setdefault(key, []).append(c["label"])
                elif r["status"] == "missing":
                    seen.setdefault((p, "missing", r["reason"]), [])
    out = []
    for (p, status, reason), labels in seen.items():
        where = ""
        if labels:
            where = labels[0] if len(labels) == 1 else f"{labels[0]} and {len(labels) - 1} more"
            where = f" in {where}"
        out.append(f"{p} {status}{where}: {reason}")
    return out


def text_table(report):
    rows = [HEADER] + table_rows(report)
    widths = [max(len(r[i]) for r in rows) for i in range(len(HEADER))]
    lines = []
    for k, r in enumerate(rows):
        lines.append("  ".join(c.ljust(widths[i]) if i < 2 else c.rjust(widths[i])
                               for i, c in enumerate(r)))
        if k == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(report):
    rows = table_rows(report)
    out = ["| " + " | ".join(HEADER) + " |",
           "|" + "|".join(["---", "---"] + ["---:"] * (len(HEADER) - 2)) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def plot_per_type(report, path):
    w2 = next((w for w in report["workloads"] if w["key"] == "w2"), None)
    if w2 is None:
        return False
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [c["key"] for c in w2["cases"]]
    fig, ax = plt.subplots(figsize=(11, 5), dpi=110)
    series = [p for p in ("tolvar2", "asyncpg")
              if any(c["results"].get(p, {}).get("status") == "ok" for c in w2["cases"])]
    width = 0.8 / max(1, len(series))
    colors = {"tolvar2": "#2a6fb0", "asyncpg": "#e08a1e"}
    annotated = False
    for k, p in enumerate(series):
        xs, ys, cases = [], [], []
        for i, c in enumerate(w2["cases"]):
            v = c["display"][0]["values"].get(p)
            if v is not None:
                xs.append(i + (k - (len(series) - 1) / 2) * width)
                ys.append(v)
                cases.append(c)
        ax.bar(xs, ys, width, label=p, color=colors.get(p))
        if p != "tolvar2":
            continue
        for x, c in zip(xs, cases):
            t = (c["results"]["tolvar2"].get("info", {}).get("types") or [None])[0]
            if t == "str" and c["key"] not in W2_EXPECTED_TEXT:
                annotated = True
                ax.annotate("str", (x, 0), xytext=(0, 2), textcoords="offset points",
                            ha="center", va="bottom", fontsize=7, color="white")
    ax.axhline(0, color="black", linewidth=0.6)
    ax.set_xticks(range(len(names)), names, rotation=30, ha="right")
    ax.set_ylabel("ns per value above the libpq floor")
    m = report["meta"]
    ax.set_title(f"Per-type cost, {w2['size']:,} values per type "
                 f"({'quick, ' if m['quick'] else ''}{m['date'][:10]}, {m['cpu']})",
                 fontsize=10)
    ax.legend()
    ax.grid(axis="y", alpha=0.3)
    if annotated:
        ax.text(0.99, 0.97, '"str": tolvar2 returned text (no typecaster yet)',
                transform=ax.transAxes, ha="right", va="top", fontsize=7, color="#555")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


# ------------------------------------------------------------------ meta
def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.lower().startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def meta(bench, admin, started):
    import tolvar2

    cur = admin.cursor()
    cur.execute("SHOW server_version")
    server_version = cur.fetchone()[0]
    cur.close()
    admin.rollback()
    versions = {"tolvar2": tolvar2.__version__.split()[0],
                "libpq": getattr(tolvar2, "__libpq_version__", None)}
    for p in PEERS:
        if p not in bench.missing:
            try:
                versions[p] = importlib.metadata.version(p)
            except importlib.metadata.PackageNotFoundError:
                versions[p] = None
    return {
        "date": started.isoformat(timespec="seconds"),
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "server_version": server_version,
        "versions": versions,
        "missing": bench.missing,
        "quick": bench.args.quick,
        "warmup": bench.args.warmup,
        "reps": bench.args.reps,
        "sizes": bench.sizes,
        "itersize": ITERSIZE,
        # Other work on the machine skews the figures: keep a trace of it.
        "loadavg_start": bench.loadavg_start,
        "loadavg_end": [round(x, 2) for x in os.getloadavg()],
    }


# ------------------------------------------------------------------ main
def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help=f"sizes / {QUICK_DIVISOR}, for a smoke run")
    ap.add_argument("--dsn", help="use this server instead of starting a throwaway one")
    ap.add_argument("--no-plot", action="store_true", help="do not draw per_type.png")
    ap.add_argument("--reps", type=int, default=5, help="timed rounds (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="warm-up rounds (default 1)")
    ap.add_argument("--out", type=Path, default=BENCH_DIR / "results",
                    help="output directory (default bench/results)")
    ap.add_argument("--only", default=",".join(WORKLOADS),
                    help="comma-separated workloads to run (default: all)")
    ap.add_argument("--skip", default="", help="comma-separated peers to leave out")
    ap.add_argument("--report-only", action="store_true",
                    help="run nothing: print and draw again from --out/latest.json")
    args = ap.parse_args(argv)
    args.only = [w.strip().lower() for w in args.only.split(",") if w.strip()]
    bad = [w for w in args.only if w not in WORKLOADS]
    if bad:
        ap.error(f"unknown workload(s) {', '.join(bad)}; choose from {', '.join(WORKLOADS)}")
    args.skip = {p.strip() for p in args.skip.split(",") if p.strip()}
    if args.reps < 1 or args.warmup < 0:
        ap.error("--reps must be >= 1 and --warmup >= 0")
    return args


def run(args, dsn, workdir, spawner):
    import tolvar2

    started = datetime.datetime.now(datetime.timezone.utc)
    log("building the floor (bench/floor.c)")
    floor_exe = build_floor(workdir)
    bench = Bench(args, dsn, floor_exe, spawner)
    for p, why in bench.missing.items():
        log(f"peer {p}: {why}")
    admin = tolvar2.connect(dsn)
    tables = Tables(admin, bench.sizes, f"tolvar_bench_{os.getpid()}_")
    report = {"meta": None, "ok": False, "workloads": []}
    try:
        log(f"creating tables (sizes: {bench.sizes})")
        tables.create_all(args.only)
        for w in args.only:
            log(f"running {w}")
            t0 = time.perf_counter()
            report["workloads"].append(getattr(bench, w)(tables))
            log(f"  {w} took {time.perf_counter() - t0:.1f} s")
    finally:
        tables.drop_all()
        report["meta"] = meta(bench, admin, started)
        admin.close()
    report["meta"]["elapsed_s"] = round(
        (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds(), 1)
    failures = [f"{c['label']}: {p}: {r['reason']}"
                for w in report["workloads"] for c in w["cases"]
                for p, r in c["results"].items() if r["status"] == "failed"]
    report["ok"] = not failures
    report["failures"] = failures
    return report


def write_outputs(report, args):
    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.json").write_text(json.dumps(report, indent=1, default=str) + "\n")
    m = report["meta"]
    head = (f"{m['date']} on {m['machine']}, {m['cpu']}, {m['cores']} cores; "
            f"tolvar2 {m['versions']['tolvar2']}, PostgreSQL {m['server_version']}, "
            f"Python {m['python']}; medians of {m['reps']} runs after {m['warmup']} "
            f"warm-up{' (quick sizes)' if m['quick'] else ''}; load average "
            f"{m['loadavg_start'][0]:.2f} at the start, {m['loadavg_end'][0]:.2f} at the end")
    extra = notes(report)
    md = head + "\n\n" + markdown_table(report) + "\n"
    if extra:
        md += "\n" + "\n".join(f"- {n}" for n in extra) + "\n"
    (out / "latest.md").write_text(md)
    print(head)
    print(text_table(report))
    for n in extra:
        print(f"  note: {n}")
    if not args.no_plot and plot_per_type(report, out / "per_type.png"):
        log(f"plot: {out / 'per_type.png'}")
    log(f"figures: {out / 'latest.json'}")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.report_only:
        report = json.loads((args.out / "latest.json").read_text())
        write_outputs(report, args)
        return 0 if report["ok"] else 1
    # Turn SIGTERM into an exception so that the server is stopped and the
    # tables are dropped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    workdir = Path(tempfile.mkdtemp(prefix="tolvar-bench-"))
    server = None
    # First, while this process is still small.
    spawner = Spawner()
    try:
        dsn = args.dsn
        if not dsn:
            sys.path.insert(0, str(REPO_ROOT))
            from tools.pgserver import PgServer

            log("starting a throwaway server")
            server = PgServer()
            server.start()
            dsn = server.dsn
        report = run(args, dsn, workdir, spawner)
    finally:
        spawner.close()
        if server is not None:
            log("stopping the throwaway server")
            server.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    write_outputs(report, args)
    if not report["ok"]:
        for f in report["failures"]:
            print(f"FAILED: {f}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
