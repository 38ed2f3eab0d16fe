#include "python/errors.h"

namespace pelorin::py {

namespace {

void set_text(PyObject* type, const std::string& text) {
  PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (s == nullptr) return;  // the MemoryError (or decode error) stays set
  PyErr_SetObject(type, s);
  Py_DECREF(s);
}

// The fatal-error type; made once, on first use, and kept for the process.
PyObject* fatal_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "pelorin._core.FatalError",
      "A broken invariant inside pelorin's native core. Derived from BaseException so that "
      "`except Exception` does not swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

PyObject* pelorin_error(const char* name, const std::string& text) {
  PyObject* type = nullptr;
  if (PyObject* mod = PyImport_ImportModule("pelorin._errors")) {
    type = PyObject_GetAttrString(mod, name);  // new reference
    Py_DECREF(mod);
    if (type != nullptr && !PyType_Check(type)) Py_CLEAR(type);
  }
  PyErr_Clear();  // a failed lookup is not reported
  set_text(type != nullptr ? type : PyExc_RuntimeError, text);
  Py_XDECREF(type);
  return nullptr;
}

PyObject* to_py_err(const Error& e) {
  switch (e.kind()) {
    case Error::Kind::NotImplemented:
    case Error::Kind::NotSupported:
      set_text(PyExc_NotImplementedError, e.display());
      break;
    case Error::Kind::InvalidArgument:
      set_text(PyExc_ValueError, e.display());
      break;
    case Error::Kind::Integrity:
      set_text(PyExc_RuntimeError, e.display());
      break;
    case Error::Kind::Budget:
      return pelorin_error("BudgetExceeded", e.display());
    case Error::Kind::Io:
      // One argument only, so `errno` stays None and str() is the text itself.
      set_text(PyExc_OSError, e.message());
      break;
  }
  return nullptr;
}

PyObject* rt_err(const Error& e) {
  switch (e.kind()) {
    case Error::Kind::InvalidArgument: return pelorin_error("InvalidArgument", e.display());
    case Error::Kind::Integrity: return pelorin_error("IntegrityError", e.display());
    case Error::Kind::Budget: return pelorin_error("BudgetExceeded", e.display());
    default: return to_py_err(e);
  }
}

PyObject* not_implemented(const char* feature, const char* plan) {
  return to_py_err(Error::not_implemented(feature, plan));
}

PyObject* raise_fatal(const char* text) {
  PyObject* type = fatal_type();
  if (type == nullptr) return nullptr;  // creating the type failed; its error is set
  set_text(type, text);
  return nullptr;
}

}  // namespace pelorin::py
