"""Run one streaming-workload variant in a fresh process and report its peak memory.

    python bench/memchild.py DRIVER {stream,fetchall} DSN SQL ITERSIZE

Prints one JSON object: seconds, the check figures (rows, sum0), and the
resident-set high-water mark (getrusage ru_maxrss, KiB) taken once after
importing the driver and connecting (the baseline) and once at the end, and
the same from /proc/self/status VmHWM as a cross-check. The runner starts
this through bench/spawner.py: see there why.
"""

import gc
import json
import resource
import sys

import drivers


def max_rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main(argv):
    name, variant, dsn, sql, itersize = argv
    try:
        session = drivers.ADAPTERS[name](dsn)
    except Exception as e:
        print(json.dumps({"status": "failed", "reason": f"connect: {type(e).__name__}: {e}"}))
        return
    gc.collect()
    out = {"rss_base_kb": max_rss_kb(), "hwm_base_kb": drivers.vm_hwm_kb()}
    try:
        if variant == "stream":
            dt, info = session.stream(sql, int(itersize))
        elif variant == "fetchall":
            dt, info = session.fetch(sql)
        else:
            raise SystemExit(f"unknown variant {variant!r}")
        out.update(info, seconds=dt, rss_peak_kb=max_rss_kb(),
                   hwm_peak_kb=drivers.vm_hwm_kb())
    except drivers.NotApplicable as e:
        out.update(status="n/a", reason=str(e))
    except Exception as e:  # reported to the runner, which decides
        na = name == "tolvar2" and type(e).__name__ == "NotSupportedError"
        out.update(status="n/a" if na else "failed", reason=f"{type(e).__name__}: {e}")
    finally:
        session.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
