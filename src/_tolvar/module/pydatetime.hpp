// The interpreter's datetime C API. Each translation unit that includes
// <datetime.h> has its own PyDateTimeAPI pointer, filled by its own set-up.
#pragma once

#include "module/tolvar.hpp"

#include <datetime.h>

// Imports the capsule into `api` once: 0, or -1 with an exception set
// (ImportError "datetime initialization failed" when the import gave none).
inline int tolvar_import_datetime(PyDateTime_CAPI*& api)
{
    if (api) return 0;
    api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!api) {
        // The capsule import's own exception, when it gave one, says more.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "datetime initialization failed");
        return -1;
    }
    return 0;
}
