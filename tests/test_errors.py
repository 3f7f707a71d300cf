"""The exception hierarchy, the SQLSTATE classes and Error objects."""

import pickle

import pytest

import tolvar2
from tolvar2 import _tolvar, errors, extensions

BASES = [
    ("Warning", Exception),
    ("Error", Exception),
    ("InterfaceError", tolvar2.Error),
    ("DatabaseError", tolvar2.Error),
    ("InternalError", tolvar2.DatabaseError),
    ("OperationalError", tolvar2.DatabaseError),
    ("ProgrammingError", tolvar2.DatabaseError),
    ("IntegrityError", tolvar2.DatabaseError),
    ("DataError", tolvar2.DatabaseError),
    ("NotSupportedError", tolvar2.DatabaseError),
    ("QueryCanceledError", tolvar2.OperationalError),
    ("TransactionRollbackError", tolvar2.OperationalError),
]


@pytest.mark.parametrize("name, base", BASES)
def test_base_classes(name, base):
    cls = getattr(_tolvar, name)
    assert cls.__bases__ == (base,)
    # Published in tolvar2.errors too, the very same class.
    assert getattr(errors, name) is cls
    expected_module = "tolvar2.extensions" if name.endswith(("CanceledError", "RollbackError")) else "tolvar2"
    assert cls.__module__ == expected_module
    assert cls.__doc__


def test_extension_classes_exposed():
    assert extensions.QueryCanceledError is _tolvar.QueryCanceledError
    assert extensions.TransactionRollbackError is _tolvar.TransactionRollbackError
    assert tolvar2.Error.__doc__ == "Base class for error exceptions."
    assert tolvar2.Warning.__doc__ == "A database warning."


SQLSTATES = [
    ("23505", "UniqueViolation", tolvar2.IntegrityError),
    ("40P01", "DeadlockDetected", extensions.TransactionRollbackError),
    ("40001", "SerializationFailure", extensions.TransactionRollbackError),
    ("57014", "QueryCanceled", extensions.QueryCanceledError),
    ("57P01", "AdminShutdown", tolvar2.OperationalError),
    ("53100", "DiskFull", tolvar2.OperationalError),
    ("10608", "InvalidArgumentForXquery", tolvar2.DatabaseError),
    ("72000", "SnapshotTooOld", tolvar2.DatabaseError),
    ("08006", "ConnectionFailure", tolvar2.OperationalError),
    ("0A000", "FeatureNotSupported", tolvar2.NotSupportedError),
    ("02000", "NoData", tolvar2.DatabaseError),
    ("21000", "CardinalityViolation", tolvar2.ProgrammingError),
    ("22012", "DivisionByZero", tolvar2.DataError),
    ("25P02", "InFailedSqlTransaction", tolvar2.InternalError),
    ("28P01", "InvalidPassword", tolvar2.OperationalError),
    ("2BP01", "DependentObjectsStillExist", tolvar2.InternalError),
    ("34000", "InvalidCursorName", tolvar2.OperationalError),
    ("38001", "ContainingSqlNotPermitted", tolvar2.InternalError),
    ("3D000", "InvalidCatalogName", tolvar2.ProgrammingError),
    ("42P01", "UndefinedTable", tolvar2.ProgrammingError),
    ("44000", "WithCheckOptionViolation", tolvar2.ProgrammingError),
    ("F0000", "ConfigFileError", tolvar2.InternalError),
    ("HV000", "FdwError", tolvar2.OperationalError),
    ("P0001", "RaiseException", tolvar2.InternalError),
    ("XX000", "InternalError_", tolvar2.InternalError),
    ("58000", "SystemError", tolvar2.OperationalError),
]


@pytest.mark.parametrize("code, name, base", SQLSTATES)
def test_sqlstate_classes(code, name, base):
    cls = errors.lookup(code)
    assert cls is _tolvar.sqlstate_errors[code]
    assert cls.__name__ == name
    assert cls.__module__ == "tolvar2.errors"
    assert getattr(errors, name) is cls
    assert cls.__bases__ == (base,)


def test_sqlstate_table_complete():
    table = _tolvar.sqlstate_errors
    assert len(table) == 254
    for code, cls in table.items():
        assert len(code) == 5
        assert issubclass(cls, tolvar2.Error)
        assert getattr(errors, cls.__name__) is cls
    # errors.SystemError shadows the builtin only inside tolvar2.errors
    assert errors.SystemError is not SystemError


def test_lookup_unknown():
    with pytest.raises(KeyError):
        errors.lookup("22ZZZ")
    with pytest.raises(KeyError):
        errors.lookup("nope")


def test_error_fields_default_none():
    e = tolvar2.DatabaseError("boom", 42)
    assert e.args == ("boom", 42)
    assert (e.pgerror, e.pgcode, e.cursor) == (None, None, None)
    for attr in ("pgerror", "pgcode", "cursor"):
        with pytest.raises(AttributeError):
            setattr(e, attr, "x")


def test_error_pickle_keeps_pgerror_and_pgcode():
    e = errors.UniqueViolation("duplicate key")
    e.__setstate__({"pgerror": "ERROR:  duplicate key", "pgcode": "23505"})
    e2 = pickle.loads(pickle.dumps(e))
    assert type(e2) is errors.UniqueViolation
    assert e2.args == ("duplicate key",)
    assert (e2.pgerror, e2.pgcode, e2.cursor) == ("ERROR:  duplicate key", "23505", None)
    # An unpickled error has no result behind it: every diagnostic is None.
    assert e2.diag.sqlstate is None
    assert e2.diag.message_primary is None


def test_error_pickle_without_state():
    e = tolvar2.OperationalError("plain")
    reduced = e.__reduce__()
    assert len(reduced) == 3 and reduced[2] == {}
    e2 = pickle.loads(pickle.dumps(e))
    assert (e2.args, e2.pgerror, e2.pgcode) == (("plain",), None, None)


def test_error_setstate():
    e = tolvar2.Error()
    assert e.__setstate__(None) is None
    assert e.pgerror is None
    with pytest.raises(TypeError, match="state is not a dictionary"):
        e.__setstate__(5)
    e.__setstate__({"pgcode": "42P01"})
    assert (e.pgerror, e.pgcode) == (None, "42P01")
    e.__setstate__({})
    assert e.pgcode is None


def test_diagnostics_requires_error():
    with pytest.raises(TypeError, match="The argument must be a tolvar2.Error"):
        extensions.Diagnostics(ValueError())
    d1 = tolvar2.Error().diag
    d2 = tolvar2.Error().diag
    assert d1 is not d2
    attrs = [
        "severity", "severity_nonlocalized", "sqlstate", "message_primary",
        "message_detail", "message_hint", "statement_position", "internal_position",
        "internal_query", "context", "schema_name", "table_name", "column_name",
        "datatype_name", "constraint_name", "source_file", "source_line", "source_function",
    ]
    for attr in attrs:
        assert getattr(d1, attr) is None


def test_error_subclassable():
    class MyError(tolvar2.ProgrammingError):
        pass

    e = MyError("x")
    assert isinstance(e, tolvar2.Error)
    assert e.pgcode is None
