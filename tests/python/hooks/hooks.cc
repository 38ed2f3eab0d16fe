// `_pelorin_testhooks`: reaches binding internals that no public entry exercises in full
// yet (both error mappings for every variant, every argument conversion, buffer borrowing
// and the fatal path), so the Python tests can check them against the interpreter.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "python/args.h"
#include "python/errors.h"

namespace pelorin::py {
namespace {

// raise_error(mapping, kind, text="", errnum=0): raises Error `kind` through "rt" or "py".
PyObject* raise_error(PyObject*, PyObject* args) {
  const char *mapping, *kind, *text = "";
  int errnum = 0;
  if (!PyArg_ParseTuple(args, "ss|si", &mapping, &kind, &text, &errnum)) return nullptr;
  std::optional<Error> e;
  std::string k = kind;
  if (k == "NotImplemented") e = Error::not_implemented("the feature", "the plan");
  if (k == "InvalidArgument") e = Error::invalid_argument(text);
  if (k == "Integrity") e = Error::integrity(text);
  if (k == "NotSupported") e = Error::not_supported(text);
  if (k == "Budget") e = Error::budget(text);
  if (k == "Io") e = errnum != 0 ? Error::os(errnum) : Error::io(text);
  if (!e) return PyErr_Format(PyExc_KeyError, "%s", kind);
  return std::strcmp(mapping, "rt") == 0 ? rt_err(*e) : to_py_err(*e);
}

// convert(kind, value, name=None): the converted value, or the conversion's exception.
PyObject* convert(PyObject*, PyObject* args) {
  const char *kind, *name = nullptr;
  PyObject* value;
  if (!PyArg_ParseTuple(args, "sO|z", &kind, &value, &name)) return nullptr;
  std::string k = kind;
  if (k == "u64") {
    std::uint64_t v;
    return to_u64(value, name, &v) ? PyLong_FromUnsignedLongLong(v) : nullptr;
  }
  if (k == "i32") {
    std::int32_t v;
    return to_i32(value, name, &v) ? PyLong_FromLong(v) : nullptr;
  }
  if (k == "f64") {
    double v;
    return to_f64(value, name, &v) ? PyFloat_FromDouble(v) : nullptr;
  }
  if (k == "bool") {
    bool v;
    return to_bool(value, name, &v) ? PyBool_FromLong(v) : nullptr;
  }
  if (k == "str" || k == "path") {
    std::string v;
    bool ok = k == "str" ? to_str(value, name, &v) : to_path(value, name, &v);
    return ok ? PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())) : nullptr;
  }
  if (k == "opt_u64") {
    std::optional<std::uint64_t> v;
    if (!to_opt_u64(value == Py_None ? nullptr : value, name, &v)) return nullptr;
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*v);
  }
  return PyErr_Format(PyExc_KeyError, "%s", kind);
}

// borrow(obj, writable): (address, length) of the borrowed bytes; writable borrows also
// write 0xEE to the first byte, proving the address is the caller's memory.
PyObject* borrow(PyObject*, PyObject* args) {
  PyObject* obj;
  int writable;
  if (!PyArg_ParseTuple(args, "Op", &obj, &writable)) return nullptr;
  Borrowed b;
  if (!b.acquire(obj, writable != 0)) return nullptr;
  if (writable && b.size() > 0) *b.data() = std::byte{0xEE};
  return Py_BuildValue("(Kn)", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(b.data())),
                       static_cast<Py_ssize_t>(b.size()));
}

// fatal(text): a broken invariant inside the core, seen from a Python call.
PyObject* fatal(PyObject*, PyObject* args) {
  const char* text;
  if (!PyArg_ParseTuple(args, "s", &text)) return nullptr;
  return guarded([&]() -> PyObject* { ::pelorin::fatal(text); });
}

// exhaust(nbytes): asks the C++ allocator for `nbytes`, which must not be there.
PyObject* exhaust(PyObject*, PyObject* args) {
  unsigned long long n;
  if (!PyArg_ParseTuple(args, "K", &n)) return nullptr;
  std::vector<char> v(n);
  return PyLong_FromSize_t(v.size());
}

// codec_pieces(data, itemsize, level): the pieces codec_pack keeps, as a list of bytes.
PyObject* codec_pieces(PyObject*, PyObject* args) {
  PyObject* obj;
  unsigned long long itemsize;
  int level;
  if (!PyArg_ParseTuple(args, "OKi", &obj, &itemsize, &level)) return nullptr;
  Borrowed data;
  if (!data.acquire(obj, false)) return nullptr;
  auto pieces = codec::pack({data.data(), data.size()}, itemsize, level);
  if (!pieces) return to_py_err(pieces.error());
  PyObject* list = PyList_New(0);
  for (const auto& p : *pieces) {
    PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p.data()),
                                            static_cast<Py_ssize_t>(p.size()));
    if (b == nullptr || PyList_Append(list, b) < 0) {
      Py_XDECREF(b);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(b);
  }
  return list;
}

// writable_view(obj): asks `obj` for a writable buffer, as a consumer that writes would,
// and gives it back at once.
PyObject* writable_view(PyObject*, PyObject* obj) {
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_WRITABLE | PyBUF_SIMPLE) < 0) return nullptr;
  PyBuffer_Release(&view);
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"writable_view", writable_view, METH_O, nullptr},
    {"codec_pieces", codec_pieces, METH_VARARGS, nullptr},
    {"exhaust", exhaust, METH_VARARGS, nullptr},
    {"raise_error", raise_error, METH_VARARGS, nullptr},
    {"convert", convert, METH_VARARGS, nullptr},
    {"borrow", borrow, METH_VARARGS, nullptr},
    {"fatal", fatal, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_pelorin_testhooks", nullptr, 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace pelorin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__pelorin_testhooks() {
  return PyModuleDef_Init(&pelorin::py::module_def);
}
