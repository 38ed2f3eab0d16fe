// Chunked digests, spill files and verified reads.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"
#include "spill/digest.h"
#include "spill/engine.h"

namespace pelorin::py {

namespace {

PyObject* digest_bytes(const spill::Digest& d) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()), 16);
}

PyObject* byte_string(std::span<const std::byte> b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

bool borrow_arg(Borrowed& b, PyObject* obj, bool writable, const char* name) {
  if (b.acquire(obj, writable)) return true;
  add_argument_note(name);
  return false;
}

// None; bytes or bytearray; or any sequence of ints 0 to 255 (but not a str).
bool to_expected(PyObject* o, std::optional<std::vector<std::byte>>* out) {
  if (o == nullptr || o == Py_None) return true;
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    const char* p = PyBytes_Check(o) ? PyBytes_AsString(o) : PyByteArray_AsString(o);
    const Py_ssize_t n = PyBytes_Check(o) ? PyBytes_Size(o) : PyByteArray_Size(o);
    const auto* b = reinterpret_cast<const std::byte*>(p);
    *out = std::vector<std::byte>(b, b + n);
    return true;
  }
  const int r = sequence_not_str(o);
  if (r < 0) {
    add_argument_note("expected");
    return false;
  }
  const bool sequence = r == 1;
  if (!sequence) {
    PyObject* tn = PyType_GetName(Py_TYPE(o));
    PyErr_Format(PyExc_TypeError, "expected bytes or a sequence of ints, not %S",
                 tn != nullptr ? tn : Py_None);
    Py_XDECREF(tn);
    add_argument_note("expected");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    add_argument_note("expected");
    return false;
  }
  std::vector<std::byte> bytes;
  bytes.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    std::uint64_t v = 0;
    bool ok = item != nullptr && to_u64(item, nullptr, &v);
    Py_XDECREF(item);
    if (ok && v > 255) {
      PyErr_SetString(PyExc_OverflowError, "a byte must be in 0 to 255");
      ok = false;
    }
    if (!ok) {
      add_argument_note("expected");
      return false;
    }
    bytes.push_back(static_cast<std::byte>(v));
  }
  *out = std::move(bytes);
  return true;
}

PyObject* engine_digest(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:engine_digest", const_cast<char**>(kwlist),
                                     &obj))
      return nullptr;
    Borrowed data;
    if (!borrow_arg(data, obj, false, "data")) return nullptr;
    spill::Digest d;
    {
      WithoutGil nogil;
      d = spill::digest({data.data(), data.size()});
    }
    return digest_bytes(d);
  });
}

PyObject* engine_digest_parts(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", nullptr};
    PyObject* obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:engine_digest_parts",
                                     const_cast<char**>(kwlist), &obj))
      return nullptr;
    Borrowed data;
    if (!borrow_arg(data, obj, false, "data")) return nullptr;
    std::vector<std::byte> parts;
    {
      WithoutGil nogil;
      parts = spill::parts_to_bytes(spill::digest_parts({data.data(), data.size()}));
    }
    return byte_string(parts);
  });
}

PyObject* engine_digest_combine(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"length", "parts", nullptr};
    PyObject *length_obj, *parts_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:engine_digest_combine",
                                     const_cast<char**>(kwlist), &length_obj, &parts_obj))
      return nullptr;
    std::uint64_t length = 0;
    if (!to_u64(length_obj, "length", &length)) return nullptr;
    if (!PyBytes_Check(parts_obj)) {
      PyObject* tn = PyType_GetName(Py_TYPE(parts_obj));
      PyErr_Format(PyExc_TypeError, "expected bytes, not %S", tn != nullptr ? tn : Py_None);
      Py_XDECREF(tn);
      add_argument_note("parts");
      return nullptr;
    }
    const auto* p = reinterpret_cast<const std::byte*>(PyBytes_AsString(parts_obj));
    auto parts = spill::parts_from_bytes({p, static_cast<std::size_t>(PyBytes_Size(parts_obj))});
    if (!parts) {
      PyErr_SetString(PyExc_ValueError, "parts must be 16 bytes each");
      return nullptr;
    }
    return digest_bytes(spill::combine(length, *parts));
  });
}

PyObject* engine_read_source_into(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "offset", "dst", "expected", nullptr};
    PyObject *path_obj, *offset_obj, *dst_obj, *expected_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|O:engine_read_source_into",
                                     const_cast<char**>(kwlist), &path_obj, &offset_obj, &dst_obj,
                                     &expected_obj))
      return nullptr;
    std::string path;
    std::uint64_t offset = 0;
    Borrowed dst;
    std::optional<std::vector<std::byte>> expected;
    if (!to_path(path_obj, "path", &path) || !to_u64(offset_obj, "offset", &offset) ||
        !borrow_arg(dst, dst_obj, true, "dst") || !to_expected(expected_obj, &expected))
      return nullptr;
    Result<spill::Digest> d = fail(Error::io(""));
    {
      WithoutGil nogil;
      std::optional<std::span<const std::byte>> want;
      if (expected) want = std::span<const std::byte>(*expected);
      d = spill::Engine::read_source_into(path, offset, dst.size(), {dst.data(), dst.size()},
                                          want);
    }
    if (!d) return to_py_err(d.error());
    return digest_bytes(*d);
  });
}

PyObject* engine_write(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "directory", nullptr};
    PyObject *data_obj, *dir_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:engine_write", const_cast<char**>(kwlist),
                                     &data_obj, &dir_obj))
      return nullptr;
    Borrowed data;
    std::string directory;
    if (!borrow_arg(data, data_obj, false, "data") || !to_path(dir_obj, "directory", &directory))
      return nullptr;
    Result<spill::Spilled> written = fail(Error::io(""));
    {
      WithoutGil nogil;
      written = spill::Engine::write({data.data(), data.size()}, directory);
    }
    if (!written) return to_py_err(written.error());

    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(
        written->path.data(), static_cast<Py_ssize_t>(written->path.size()));
    PyObject* pathlib = text != nullptr ? PyImport_ImportModule("pathlib") : nullptr;
    PyObject* path =
        pathlib != nullptr ? PyObject_CallMethod(pathlib, "Path", "O", text) : nullptr;
    Py_XDECREF(pathlib);
    Py_XDECREF(text);
    if (path == nullptr) return nullptr;
    return Py_BuildValue("(NKN)", path, static_cast<unsigned long long>(written->length),
                         digest_bytes(written->digest));
  });
}

}  // namespace

PyMethodDef engine_digest_def = {"engine_digest", PELORIN_FN(engine_digest), PELORIN_ARGS,
                                 "engine_digest(data)\n--\n\nDigest (16 bytes) of a buffer."};
PyMethodDef engine_digest_parts_def = {
    "engine_digest_parts", PELORIN_FN(engine_digest_parts), PELORIN_ARGS,
    "engine_digest_parts(data)\n--\n\n"
    "Per-chunk hashes of a buffer (16 bytes per `DIGEST_CHUNK`, concatenated); see\n"
    "`engine_digest_combine`. Lets Python verify large tensors piece by piece (0061 F1)."};
PyMethodDef engine_digest_combine_def = {
    "engine_digest_combine", PELORIN_FN(engine_digest_combine), PELORIN_ARGS,
    "engine_digest_combine(length, parts)\n--\n\n"
    "Digest (16 bytes) of `length` bytes whose chunk hashes are `parts` (from "
    "`engine_digest_parts`\n"
    "over consecutive pieces whose lengths are multiples of `DIGEST_CHUNK`)."};
PyMethodDef engine_read_source_into_def = {
    "engine_read_source_into", PELORIN_FN(engine_read_source_into), PELORIN_ARGS,
    "engine_read_source_into(path, offset, dst, expected=None)\n--\n\n"
    "Fill `dst` from `len(dst)` bytes of `path` at `offset`; verify against `expected` if "
    "given.\n"
    "Returns the digest of what was read."};
PyMethodDef engine_write_def = {
    "engine_write", PELORIN_FN(engine_write), PELORIN_ARGS,
    "engine_write(data, directory)\n--\n\n"
    "Write a buffer to a new `0600` spill file in `directory`; returns `(path, length, "
    "digest)`."};

}  // namespace pelorin::py
