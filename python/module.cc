// The extension module `pelorin._core`: its definition and the registration of every
// attribute, in a fixed order that `__all__` records.
#include "python/bindings.h"
#include "python/errors.h"
#include "version.h"

namespace pelorin::py {

namespace {

PyObject* core_version(PyObject*, PyObject*) { return PyUnicode_FromString(kCoreVersion); }

// Appends `name` to `__all__` (made on first use), then sets the attribute. Steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  PyObject* n = PyUnicode_FromString(name);
  bool ok = n != nullptr && PyList_Append(all, n) == 0 &&
            PyObject_SetAttrString(module, name, value) == 0;
  Py_XDECREF(n);
  Py_DECREF(all);
  Py_DECREF(value);
  return ok;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyObject* modname = PyModule_GetNameObject(module);
  if (modname == nullptr) return false;
  PyObject* fn = PyCFunction_NewEx(def, module, modname);
  Py_DECREF(modname);
  return add(module, def->ml_name, fn);
}

bool add_type(PyObject* module, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) return false;
  const char* s = PyUnicode_AsUTF8AndSize(name, nullptr);
  Py_INCREF(reinterpret_cast<PyObject*>(type));
  bool ok = s != nullptr && add(module, s, reinterpret_cast<PyObject*>(type));
  Py_DECREF(name);
  return ok;
}

int exec_module(PyObject* module) {
  return guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "the execution slot needs a module object");
      return -1;
    }
    bool ok = add(module, "__version__", PyUnicode_FromString(kCoreVersion)) &&
              add(module, "DIGEST_CHUNK", PyLong_FromLong(4194304));
    for (PyMethodDef* def : {&core_version_def, &hwinfo_memory_def, &hwinfo_cpu_def,
                             &hwinfo_process_rss_def, &hwinfo_disk_def, &pressure_current_def,
                             &engine_digest_def, &engine_digest_parts_def,
                             &engine_digest_combine_def, &engine_read_source_into_def,
                             &engine_write_def})
      ok = ok && add_function(module, def);
    ok = ok && add_type(module, filemap_type()) && add_function(module, &metal_wrap_def) &&
         add_function(module, &metal_release_def) && add_type(module, compressed_type()) &&
         add_function(module, &codec_pack_def) && add_type(module, rtruntime_type()) &&
         add_type(module, rtpin_type()) && add_type(module, rtpager_type()) &&
         add_function(module, &process_footprint_def) &&
         add_function(module, &numpy_set_handler_def);
    return ok ? 0 : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMethodDef core_version_def = {
    "core_version", core_version, METH_NOARGS,
    "core_version()\n--\n\n"
    "The version of the native core linked into this extension module."};

}  // namespace pelorin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return PyModuleDef_Init(&pelorin::py::module_def);
}
