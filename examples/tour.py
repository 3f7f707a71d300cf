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
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
