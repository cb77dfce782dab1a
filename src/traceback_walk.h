// The walk that removes hidden entries from a traceback chain (traceback_walk.cpp).
#pragma once

#include "capi.h"

namespace native_extensions {

// Unlinks the entries of the chain whose head `*head` owns whose frames are marked by `key`,
// keeping the others in order (`kinds`: the calling interpreter's code-kind cache). Returns false
// if an exception that is not an ordinary Exception, left pending, ended the walk; the entries
// not reached yet are then kept.
bool unlink_hidden_entries(PyObject** head, PyObject* key, capi::CodeKindCache& kinds);

}  // namespace native_extensions
