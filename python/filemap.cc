// Whole-file mappings and no-copy GPU buffers.
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {

constexpr const char* kFileMap = "file mappings";
constexpr const char* kMetal = "GPU buffers";

struct FileMapObject {
  PyObject_HEAD
};

PyObject* filemap_new(PyTypeObject*, PyObject*, PyObject*) {
  return not_implemented("FileMap", kFileMap);
}
PELORIN_NOT_YET(filemap_resident, "FileMap.resident", kFileMap)
PELORIN_NOT_YET(filemap_prefetch, "FileMap.prefetch", kFileMap)
PELORIN_NOT_YET(filemap_metal_buffer, "FileMap.metal_buffer", kMetal)
PELORIN_NOT_YET(metal_wrap, "metal_wrap", kMetal)
PELORIN_NOT_YET(metal_release, "metal_release", kMetal)

PyObject* filemap_addr(PyObject*, void*) { return not_implemented("FileMap.addr", kFileMap); }
PyObject* filemap_length(PyObject*, void*) { return not_implemented("FileMap.length", kFileMap); }
PyObject* filemap_file_length(PyObject*, void*) {
  return not_implemented("FileMap.file_length", kFileMap);
}

void filemap_dealloc(PyObject* self) { free_instance(self); }

PyMethodDef filemap_methods[] = {
    {"resident", PELORIN_FN(filemap_resident), PELORIN_ARGS,
     "resident($self)\n--\n\nShare of the mapping's pages in RAM."},
    {"prefetch", PELORIN_FN(filemap_prefetch), PELORIN_ARGS,
     "prefetch($self, offset, length)\n--\n\n"
     "Warm the page cache for `length` bytes at `offset` with large reads (GIL released)."},
    {"metal_buffer", PELORIN_FN(filemap_metal_buffer), PELORIN_ARGS,
     "metal_buffer($self)\n--\n\n"
     "The retained MTLBuffer over the whole mapping (macOS; created once, released on drop)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef filemap_getset[] = {
    {"addr", filemap_addr, nullptr, "Address of the first mapped byte.", nullptr},
    {"length", filemap_length, nullptr, "Mapped length in bytes (whole pages).", nullptr},
    {"file_length", filemap_file_length, nullptr, "File length in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot filemap_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "FileMap(path)\n--\n\n"
         "A read-only mapping of a whole file (clean, file-backed pages; 0072). On macOS\n"
         "`metal_buffer()` wraps it as an MTLBuffer without copying.")},
    {Py_tp_new, reinterpret_cast<void*>(filemap_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filemap_dealloc)},
    {Py_tp_methods, filemap_methods},
    {Py_tp_getset, filemap_getset},
    {0, nullptr},
};

PyType_Spec filemap_spec = {"pelorin._core.FileMap", sizeof(FileMapObject), 0,
                            Py_TPFLAGS_DEFAULT, filemap_slots};

}  // namespace

PyMethodDef metal_wrap_def = {
    "metal_wrap", PELORIN_FN(metal_wrap), PELORIN_ARGS,
    "metal_wrap(address, length)\n--\n\n"
    "A no-copy `MTLBuffer` over pinned runtime memory (macOS, G4 E1); give it back with\n"
    "`metal_release`. The caller keeps the memory pinned until the GPU no longer uses it."};
PyMethodDef metal_release_def = {"metal_release", PELORIN_FN(metal_release), PELORIN_ARGS,
                                 "metal_release(buffer)\n--\n\n"};

PyTypeObject* filemap_type() {
  static PyObject* cell = nullptr;
  return cached_type(&cell, &filemap_spec, "FileMap");
}

}  // namespace pelorin::py
