#include "python/bindings.h"

namespace pelorin::py {

PyTypeObject* cached_type(PyObject** cell, PyType_Spec* blueprint, const char* name) {
  if (*cell != nullptr) return reinterpret_cast<PyTypeObject*>(*cell);
  PyObject* type = PyType_FromSpec(blueprint);
  if (type == nullptr) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    if (v != nullptr) {
      PyObject *t2, *v2, *tb2;
      PyErr_Fetch(&t2, &v2, &tb2);
      PyErr_NormalizeException(&t2, &v2, &tb2);
      PyException_SetCause(v2, v);  // steals v
      PyErr_Restore(t2, v2, tb2);
    }
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return nullptr;
  }
  *cell = type;  // kept for the process
  return reinterpret_cast<PyTypeObject*>(type);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);
}

}  // namespace pelorin::py
