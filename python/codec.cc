// The chunked codec: codec_pack and the Compressed object.
#include <cstdint>
#include <span>
#include <vector>

#include "codec/codec.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {

struct CompressedObject {
  PyObject_HEAD
  std::vector<codec::Bytes>* pieces;  // owned; in chunk order
  std::uint64_t raw_bytes;
  std::uint64_t itemsize;
};

CompressedObject* as_compressed(PyObject* self) { return reinterpret_cast<CompressedObject*>(self); }

PyObject* value_error(const Error& e) {
  const std::string text = e.message();
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}

PyObject* codec_pack(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "itemsize", "level", nullptr};
    PyObject *data_obj, *itemsize_obj, *level_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:codec_pack", const_cast<char**>(kwlist),
                                     &data_obj, &itemsize_obj, &level_obj))
      return nullptr;
    Borrowed data;
    if (!data.acquire(data_obj, false)) {
      add_argument_note("data");
      return nullptr;
    }
    std::uint64_t itemsize = 0;
    std::int32_t level = 1;
    if (!to_u64(itemsize_obj, "itemsize", &itemsize)) return nullptr;
    if (level_obj != nullptr && !to_i32(level_obj, "level", &level)) return nullptr;

    Result<std::vector<codec::Bytes>> pieces = fail(Error::io(""));
    {
      WithoutGil nogil;
      pieces = codec::pack({data.data(), data.size()}, itemsize, level);
    }
    if (!pieces) return value_error(pieces.error());

    PyTypeObject* type = compressed_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    CompressedObject* c = as_compressed(self);
    c->pieces = new std::vector<codec::Bytes>(std::move(*pieces));
    c->raw_bytes = data.size();
    c->itemsize = itemsize;
    return self;
  });
}

PyObject* compressed_unpack_into(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dst", nullptr};
    PyObject* dst_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:unpack_into", const_cast<char**>(kwlist),
                                     &dst_obj))
      return nullptr;
    Borrowed dst;
    if (!dst.acquire(dst_obj, true)) {
      add_argument_note("dst");
      return nullptr;
    }
    CompressedObject* c = as_compressed(self);
    if (dst.size() != c->raw_bytes)
      return PyErr_Format(PyExc_ValueError, "destination holds %zu bytes, compressed data expands to %llu",
                          dst.size(), static_cast<unsigned long long>(c->raw_bytes));
    std::vector<std::span<const std::byte>> pieces(c->pieces->begin(), c->pieces->end());
    Result<void> ok;
    {
      WithoutGil nogil;
      ok = codec::unpack_into(pieces, c->itemsize, {dst.data(), dst.size()});
    }
    if (!ok) return value_error(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* compressed_raw_bytes(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_compressed(self)->raw_bytes);
}

PyObject* compressed_stored_bytes(PyObject* self, void*) {
  std::uint64_t total = 0;
  for (const codec::Bytes& p : *as_compressed(self)->pieces) total += p.size();
  return PyLong_FromUnsignedLongLong(total);
}

void compressed_dealloc(PyObject* self) {
  delete as_compressed(self)->pieces;
  free_instance(self);
}

PyMethodDef compressed_methods[] = {
    {"unpack_into", PELORIN_FN(compressed_unpack_into), PELORIN_ARGS,
     "unpack_into($self, dst)\n--\n\n"
     "Decompress into `dst` (a writable buffer of exactly `raw_bytes`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef compressed_getset[] = {
    {"raw_bytes", compressed_raw_bytes, nullptr, "Size of the original data.", nullptr},
    {"stored_bytes", compressed_stored_bytes, nullptr,
     "Size held in memory by the compressed chunks.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot compressed_slots[] = {
    {Py_tp_doc, const_cast<char*>("A losslessly compressed copy of a buffer (byte shuffle + "
                                  "zstd), owned by the native core.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(compressed_dealloc)},
    {Py_tp_methods, compressed_methods},
    {Py_tp_getset, compressed_getset},
    {0, nullptr},
};

PyType_Spec compressed_spec = {
    "pelorin._core.Compressed", sizeof(CompressedObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, compressed_slots};

}  // namespace

PyMethodDef codec_pack_def = {
    "codec_pack", PELORIN_FN(codec_pack), PELORIN_ARGS,
    "codec_pack(data, itemsize, level=1)\n--\n\n"
    "Compress a buffer of `itemsize`-byte elements; returns a `Compressed` object."};

PyTypeObject* compressed_type() {
  static PyObject* cell = nullptr;
  return cached_type(&cell, &compressed_spec, "Compressed");
}

}  // namespace pelorin::py
