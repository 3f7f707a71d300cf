"""Extensions of tolvar2 beyond the DB-API: connection strings, types,
adapters, constants.
"""

import re as _re

from tolvar2._tolvar import (  # noqa: F401
    parse_dsn,
    libpq_version,
    encrypt_password,
    Diagnostics,
    QueryCanceledError,
    TransactionRollbackError,
    encodings,
    connection,
    cursor,
    Column,
    Notify,
    ConnectionInfo,
    quote_ident,
    adapt,
    adapters,
    ISQLQuote,
    AsIs,
    QuotedString,
    Boolean,
    Int,
    Float,
    Binary,
    List,
    DateFromPy,
    TimeFromPy,
    TimestampFromPy,
    IntervalFromPy,
    new_type,
    register_type,
)
from tolvar2 import _tolvar as _core

__all__ = [
    "make_dsn", "parse_dsn", "libpq_version", "encrypt_password", "Diagnostics",
    "QueryCanceledError", "TransactionRollbackError", "encodings",
    "connection", "cursor", "Column", "Notify", "ConnectionInfo", "quote_ident",
    "adapt", "adapters", "register_adapter", "ISQLQuote", "AsIs", "QuotedString", "Boolean",
    "Int", "Float", "Binary", "List", "DateFromPy", "TimeFromPy", "TimestampFromPy",
    "IntervalFromPy", "new_type", "new_array_type", "register_type",
    "ISOLATION_LEVEL_AUTOCOMMIT", "ISOLATION_LEVEL_READ_UNCOMMITTED",
    "ISOLATION_LEVEL_READ_COMMITTED", "ISOLATION_LEVEL_REPEATABLE_READ",
    "ISOLATION_LEVEL_SERIALIZABLE", "ISOLATION_LEVEL_DEFAULT",
    "STATUS_SETUP", "STATUS_READY", "STATUS_BEGIN", "STATUS_PREPARED", "STATUS_IN_TRANSACTION",
    "TRANSACTION_STATUS_IDLE", "TRANSACTION_STATUS_ACTIVE", "TRANSACTION_STATUS_INTRANS",
    "TRANSACTION_STATUS_INERROR", "TRANSACTION_STATUS_UNKNOWN",
]

# The typecasters of the core (INTEGER, STRING, DATE, ..., and their ARRAY
# variants), for new_array_type() and register_type().
_typecaster = type(_core.UNKNOWN)
for _name in dir(_core):
    if _name.isupper() and isinstance(getattr(_core, _name), _typecaster):
        globals()[_name] = getattr(_core, _name)
        __all__.append(_name)
del _name

if hasattr(_core, "new_array_type"):
    new_array_type = _core.new_array_type

# Isolation levels (connection.set_isolation_level, connection.isolation_level)
ISOLATION_LEVEL_AUTOCOMMIT = 0
ISOLATION_LEVEL_READ_UNCOMMITTED = 4
ISOLATION_LEVEL_READ_COMMITTED = 1
ISOLATION_LEVEL_REPEATABLE_READ = 2
ISOLATION_LEVEL_SERIALIZABLE = 3
ISOLATION_LEVEL_DEFAULT = None

# Connection status (connection.status)
STATUS_SETUP = 0
STATUS_READY = 1
STATUS_BEGIN = 2
STATUS_IN_TRANSACTION = STATUS_BEGIN
STATUS_PREPARED = 5

# Backend transaction status (connection.info.transaction_status)
TRANSACTION_STATUS_IDLE = 0
TRANSACTION_STATUS_ACTIVE = 1
TRANSACTION_STATUS_INTRANS = 2
TRANSACTION_STATUS_INERROR = 3
TRANSACTION_STATUS_UNKNOWN = 4

# Values made only of these characters can be written bare in a connection
# string; anything else is single-quoted.
_bare_value = _re.compile(r"[^\s'\\]+\Z")


def _quote_value(value):
    if _bare_value.match(value):
        return value
    return "'" + value.replace("\\", "\\\\").replace("'", "\\'") + "'"


def make_dsn(dsn=None, **kwargs):
    """Return a libpq connection string from `dsn` and keyword arguments.

    Keyword arguments override the parameters of `dsn` with the same name;
    a keyword set to None is left out. ``database`` is accepted as an alias
    of ``dbname``. The result is validated with :func:`parse_dsn`, so an
    invalid string or an unknown parameter raises ProgrammingError.
    """
    if dsn is None and not kwargs:
        return ""

    if dsn is not None and not isinstance(dsn, str):
        # parse_dsn gives the precise TypeError for what it cannot take
        if isinstance(dsn, bytes):
            dsn = dsn.decode("utf-8")
        else:
            parse_dsn(dsn)

    if not kwargs:
        parse_dsn(dsn)
        return dsn

    if "database" in kwargs:
        if "dbname" in kwargs:
            raise TypeError("you can't specify both 'database' and 'dbname' arguments")
        kwargs["dbname"] = kwargs.pop("database")

    params = parse_dsn(dsn) if dsn else {}
    for key, value in kwargs.items():
        if value is None:
            continue
        if not isinstance(value, str):
            if isinstance(value, (bytes, bytearray)):
                raise TypeError(f"connection parameter {key!r} must be a str, not bytes")
            value = str(value)
        params[key] = value

    result = " ".join(f"{key}={_quote_value(value)}" for key, value in params.items())
    parse_dsn(result)
    return result


def register_adapter(typ, callable):
    """Register `callable` as the adapter of the values of type `typ`.

    `callable` is called with the value and returns an object whose
    ``getquoted()`` gives the SQL literal; it replaces any adapter
    registered for `typ` before.
    """
    adapters[(typ, ISQLQuote)] = callable


# The native core registers the adapters of the built-in types only; numeric
# values come back from the server as Decimal, so they must be able to go
# back to it as well.
def _register_decimal():
    from decimal import Decimal
    from tolvar2._tolvar import Decimal as DecimalAdapter

    adapters.setdefault((Decimal, ISQLQuote), DecimalAdapter)


_register_decimal()
