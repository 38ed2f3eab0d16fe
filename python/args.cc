#include "python/args.h"

#include <climits>
#include <cstring>
#include <string_view>

namespace pelorin::py {

void add_argument_note(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    PyObject* r = PyObject_CallMethod(value, "add_note", "s",
                                      (std::string("while processing '") + name + "'").c_str());
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
  }
  PyErr_Restore(type, value, tb);
}

namespace {

bool noted(const char* name) {
  if (name != nullptr) add_argument_note(name);
  return false;
}

}  // namespace

bool to_u64(PyObject* o, const char* name, std::uint64_t* out) {
  PyObject* i = PyNumber_Index(o);  // TypeError for floats, str and the like
  if (i == nullptr) return noted(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i);
  Py_DECREF(i);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return noted(name);
  *out = v;
  return true;
}

bool to_i32(PyObject* o, const char* name, std::int32_t* out) {
  PyObject* i = PyNumber_Index(o);
  if (i == nullptr) return noted(name);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
  Py_DECREF(i);
  if (v == -1 && PyErr_Occurred()) return noted(name);
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to a 32-bit integer");
    return noted(name);
  }
  *out = static_cast<std::int32_t>(v);
  return true;
}

bool to_f64(PyObject* o, const char* name, double* out) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return noted(name);
  *out = v;
  return true;
}

namespace {

// numpy.bool_ (NumPy 1.x) or numpy.bool (2.x), recognised by name so NumPy need not be loaded.
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  PyObject* mod = PyObject_GetAttrString(type, "__module__");
  PyObject* qual = mod != nullptr ? PyObject_GetAttrString(type, "__qualname__") : nullptr;
  bool yes = false;
  if (mod != nullptr && qual != nullptr && PyUnicode_Check(mod) && PyUnicode_Check(qual)) {
    yes = PyUnicode_CompareWithASCIIString(mod, "numpy") == 0 &&
          (PyUnicode_CompareWithASCIIString(qual, "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(qual, "bool") == 0);
  }
  Py_XDECREF(mod);
  Py_XDECREF(qual);
  PyErr_Clear();
  return yes;
}

}  // namespace

bool to_bool(PyObject* o, const char* name, bool* out) {
  if (PyBool_Check(o) || is_numpy_bool(o)) {
    int t = PyObject_IsTrue(o);
    if (t < 0) return noted(name);
    *out = t != 0;
    return true;
  }
  PyObject* tn = PyType_GetName(Py_TYPE(o));
  PyErr_Format(PyExc_TypeError, "expected a bool, not %S", tn != nullptr ? tn : Py_None);
  Py_XDECREF(tn);
  return noted(name);
}

bool to_str(PyObject* o, const char* name, std::string* out) {
  if (!PyUnicode_Check(o)) {
    PyObject* tn = PyType_GetName(Py_TYPE(o));
    PyErr_Format(PyExc_TypeError, "expected a str, not %S", tn != nullptr ? tn : Py_None);
    Py_XDECREF(tn);
    return noted(name);
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) return noted(name);
  out->assign(s, static_cast<std::size_t>(n));
  return true;
}

bool to_path(PyObject* o, const char* name, std::string* out) {
  PyObject* p = PyOS_FSPath(o);  // str or bytes, or TypeError
  if (p == nullptr) return noted(name);
  PyObject* b = p;
  if (PyUnicode_Check(p)) {
    b = PyUnicode_EncodeFSDefault(p);
    Py_DECREF(p);
    if (b == nullptr) return noted(name);
  }
  char* s = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(b, &s, &n) < 0) {
    Py_DECREF(b);
    return noted(name);
  }
  out->assign(s, static_cast<std::size_t>(n));
  Py_DECREF(b);
  return true;  // a NUL byte inside is the opening call's to refuse
}

bool to_opt_u64(PyObject* o, const char* name, std::optional<std::uint64_t>* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::uint64_t v = 0;
  if (!to_u64(o, name, &v)) return false;
  *out = v;
  return true;
}

bool no_arguments(PyObject* args, PyObject* kwds, const char* format) {
  static const char* kwlist[] = {nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist)) != 0;
}

PyObject* ordered_dict(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  PyObject* d = PyDict_New();
  for (const auto& [key, value] : items) {
    if (d != nullptr && (value == nullptr || PyDict_SetItemString(d, key, value) < 0))
      Py_CLEAR(d);
    Py_XDECREF(value);
  }
  return d;
}

int sequence_not_str(PyObject* o) {
  if (PyUnicode_Check(o)) return 0;
  PyObject* abc = PyImport_ImportModule("collections.abc");
  PyObject* seq = abc != nullptr ? PyObject_GetAttrString(abc, "Sequence") : nullptr;
  const int r = seq != nullptr ? PyObject_IsInstance(o, seq) : -1;
  Py_XDECREF(seq);
  Py_XDECREF(abc);
  return r;
}

bool to_u64_list(PyObject* o, const char* name, std::vector<std::uint64_t>* out) {
  const int seq = sequence_not_str(o);
  if (seq < 0) return noted(name);
  if (seq == 0) {
    PyObject* tn = PyType_GetName(Py_TYPE(o));
    PyErr_Format(PyExc_TypeError, "expected a sequence of ints, not %S",
                 tn != nullptr ? tn : Py_None);
    Py_XDECREF(tn);
    return noted(name);
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return noted(name);
  std::vector<std::uint64_t> ids;
  ids.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    std::uint64_t v = 0;
    const bool ok = item != nullptr && to_u64(item, nullptr, &v);
    Py_XDECREF(item);
    if (!ok) return noted(name);
    ids.push_back(v);
  }
  *out = std::move(ids);
  return true;
}

bool Borrowed::acquire(PyObject* obj, bool writable) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) < 0) return false;
  held_ = true;
  if (view_.shape == nullptr) {
    PyErr_SetString(PyExc_BufferError, "shape is null");
    return false;
  }
  if (view_.strides == nullptr) {
    PyErr_SetString(PyExc_BufferError, "strides is null");
    return false;
  }
  // "B", with or without a byte-order or alignment prefix; no format means "B".
  std::string_view fmt = view_.format != nullptr ? view_.format : "B";
  if (fmt.size() == 2 && std::strchr("@=<>!", fmt[0]) != nullptr) fmt.remove_prefix(1);
  if (view_.itemsize != 1 || fmt != "B") {
    PyErr_SetString(PyExc_BufferError, "buffer contents are not compatible with u8");
    return false;
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_SetString(PyExc_ValueError, "buffer must be C-contiguous");
    return false;
  }
  if (writable && view_.readonly) {
    PyErr_SetString(PyExc_ValueError, "destination buffer is read-only");
    return false;
  }
  return true;
}

Borrowed::~Borrowed() {
  if (held_) PyBuffer_Release(&view_);
}

}  // namespace pelorin::py
