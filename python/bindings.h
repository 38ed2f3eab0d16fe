// What each bindings file contributes to the module: function definitions and class types.
#pragma once

#include "python/py.h"

namespace pelorin::py {

// Module functions, one definition each (registered under their own names).
extern PyMethodDef core_version_def;
extern PyMethodDef hwinfo_memory_def, hwinfo_cpu_def, hwinfo_process_rss_def, hwinfo_disk_def;
extern PyMethodDef process_footprint_def;
extern PyMethodDef pressure_current_def;
extern PyMethodDef engine_digest_def, engine_digest_parts_def, engine_digest_combine_def;
extern PyMethodDef engine_read_source_into_def, engine_write_def;
extern PyMethodDef metal_wrap_def, metal_release_def;
extern PyMethodDef codec_pack_def;
extern PyMethodDef numpy_set_handler_def;

// Class types, created on first use and kept for the process. nullptr with an error set
// when creation fails.
PyTypeObject* filemap_type();
PyTypeObject* compressed_type();
PyTypeObject* rtruntime_type();
PyTypeObject* rtpin_type();
PyTypeObject* rtpager_type();

// Creates a heap type from `blueprint` once and caches it in `*cell`. The failure carries the
// text "An error occurred while initializing class <name>".
PyTypeObject* cached_type(PyObject** cell, PyType_Spec* blueprint, const char* name);

// Frees an instance of a heap type and drops the instance's reference to its type.
void free_instance(PyObject* self);

// Generates an entry point that raises the not-implemented error of `feature`.
#define PELORIN_NOT_YET(fn, feature, plan)                               \
  static PyObject* fn(PyObject*, PyObject*, PyObject*) {                 \
    return ::pelorin::py::not_implemented(feature, plan);                \
  }

// The flags of every generated entry point.
#define PELORIN_ARGS (METH_VARARGS | METH_KEYWORDS)

// A PyCFunction-compatible pointer to an entry point that takes keywords.
#define PELORIN_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

}  // namespace pelorin::py
