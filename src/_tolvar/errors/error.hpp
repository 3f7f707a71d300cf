// The Error record: the base exception with the server's report attached.
#pragma once

#include "module/tolvar.hpp"

struct errorObject {
    PyBaseExceptionObject exc;
    PyObject* pgerror;
    PyObject* pgcode;
    PyObject* cursor;
    PyObject* codec_decoder;
    PGresult* pgres;
};
