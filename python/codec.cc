// The chunked codec: codec_pack and the Compressed object.
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {

constexpr const char* kCodec = "the chunked codec";

struct CompressedObject {
  PyObject_HEAD
};

PELORIN_NOT_YET(codec_pack, "codec_pack", kCodec)
PELORIN_NOT_YET(compressed_unpack_into, "Compressed.unpack_into", kCodec)

PyObject* compressed_raw_bytes(PyObject*, void*) {
  return not_implemented("Compressed.raw_bytes", kCodec);
}
PyObject* compressed_stored_bytes(PyObject*, void*) {
  return not_implemented("Compressed.stored_bytes", kCodec);
}

void compressed_dealloc(PyObject* self) { free_instance(self); }

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
