// Whole-file mappings and no-copy GPU buffers.
#include <cstdint>
#include <memory>
#include <string>

#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"
#include "residency/filemap.h"
#include "residency/metal.h"

namespace pelorin::py {

namespace {

struct FileMapObject {
  PyObject_HEAD
  residency::FileMap* map;  // owned; never null once the constructor returned the object
};

residency::FileMap& map_of(PyObject* self) { return *reinterpret_cast<FileMapObject*>(self)->map; }

PyObject* address_int(const void* p) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(p));
}

PyObject* filemap_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:FileMap", const_cast<char**>(kwlist),
                                     &path_arg))
      return nullptr;
    std::string path;
    if (!to_path(path_arg, "path", &path)) return nullptr;
    Result<std::unique_ptr<residency::FileMap>> map = residency::FileMap::open(path);
    if (!map) return to_py_err(map.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the map is dropped: unmapped and closed
    reinterpret_cast<FileMapObject*>(self)->map = map->release();
    return self;
  });
}

PyObject* filemap_resident(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":resident", const_cast<char**>(kwlist)))
      return nullptr;
    Result<double> r = map_of(self).resident();
    if (!r) return to_py_err(r.error());
    return PyFloat_FromDouble(*r);
  });
}

PyObject* filemap_prefetch(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"offset", "length", nullptr};
    PyObject *offset_arg, *length_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:prefetch", const_cast<char**>(kwlist),
                                     &offset_arg, &length_arg))
      return nullptr;
    std::uint64_t offset = 0, length = 0;
    if (!to_u64(offset_arg, "offset", &offset) || !to_u64(length_arg, "length", &length))
      return nullptr;
    Result<std::uint64_t> n = fail(Error::io(""));
    {
      // The caller's reference keeps `self`, and so the map, alive meanwhile.
      WithoutGil nogil;
      n = map_of(self).prefetch(offset, length);
    }
    if (!n) return to_py_err(n.error());
    return PyLong_FromUnsignedLongLong(*n);
  });
}

PyObject* filemap_metal_buffer(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":metal_buffer", const_cast<char**>(kwlist)))
      return nullptr;
    Result<void*> b = map_of(self).metal_buffer();
    if (!b) return to_py_err(b.error());
    return address_int(*b);
  });
}

PyObject* metal_wrap(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"address", "length", nullptr};
    PyObject *address_arg, *length_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:metal_wrap", const_cast<char**>(kwlist),
                                     &address_arg, &length_arg))
      return nullptr;
    std::uint64_t address = 0, length = 0;
    if (!to_u64(address_arg, "address", &address) || !to_u64(length_arg, "length", &length))
      return nullptr;
    Result<void*> b = metal::wrap(address, length);
    if (!b) return rt_err(b.error());
    return address_int(*b);
  });
}

PyObject* metal_release(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"buffer", nullptr};
    PyObject* buffer_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:metal_release", const_cast<char**>(kwlist),
                                     &buffer_arg))
      return nullptr;
    std::uint64_t buffer = 0;
    if (!to_u64(buffer_arg, "buffer", &buffer)) return nullptr;
    metal::release(reinterpret_cast<void*>(static_cast<std::uintptr_t>(buffer)));
    Py_RETURN_NONE;
  });
}

PyObject* filemap_addr(PyObject* self, void*) { return address_int(map_of(self).address()); }
PyObject* filemap_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(map_of(self).length());
}
PyObject* filemap_file_length(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(map_of(self).file_length());
}

void filemap_dealloc(PyObject* self) {
  delete reinterpret_cast<FileMapObject*>(self)->map;  // GPU buffer, then mapping, then file
  free_instance(self);
}

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
