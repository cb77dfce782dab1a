// The C-API layer: what differs between the interpreters the module is built for, in the files of
// each build flavour. The version-specific build (capi_full.h, capi_full_frames.h) reads the
// structures of the one release it is compiled for; the stable-ABI build (capi_limited.h,
// capi_limited_frames.h, Py_LIMITED_API) is one binary for every GIL release from 3.12 on and asks
// the running release. Both give the same functions under
// the same names, so that the module's logic reads the same everywhere.
#pragma once

#include "native_extensions.h"

#include <stdint.h>

namespace native_extensions {
namespace capi {

// How a frame is tested for the marker.
enum class FrameKind : signed char {
    kFailed = -1,     // the frame's code could not be read (the exception is pending)
    kUnmarkable = 0,  // a function's code with no local, cell or free variable of the name
    kFunction = 1,    // a function's code that declares the name: is it bound?
    kNamespace = 2,   // module level, class body or exec'd code: does its namespace hold the name?
};

// Defined beside the walk, used by both flavours' frame reads.
//   The index of `name` in a tuple of names of a code's variables, or -1.
Py_ssize_t name_index(PyObject* names, PyObject* name);
//   Whether `mapping` holds `key`, as the interpreter looks a name up: 1 or 0, -1 with the
//   exception pending.
int mapping_holds(PyObject* mapping, PyObject* key);
//   Makes `context` (owned, consumed) the __context__ of `exc`, never closing a cycle.
void set_context(PyObject* exc, PyObject* context);

// What PyObject_GetOptionalAttr does, through getattr (for the builds that lack it): 1 with a new
// reference in `*result`, 0 when the attribute is absent (the AttributeError made and cleared),
// -1 with any other exception pending.
inline int getattr_or_absent(PyObject* object, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(object, name);
    if (*result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return *result != nullptr ? 1 : -1;
    }
    PyErr_Clear();
    return 0;
}

}  // namespace capi
}  // namespace native_extensions

#ifdef Py_LIMITED_API
#include "capi_limited.h"
#include "capi_limited_frames.h"
#else
#include "capi_full.h"
#include "capi_full_frames.h"
#endif
