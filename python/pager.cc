// The transparent pager: RtPager and the NumPy memory handler.
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {

constexpr const char* kPager = "the transparent pager";

struct RtPagerObject {
  PyObject_HEAD
};

PyObject* rtpager_new(PyTypeObject*, PyObject*, PyObject*) {
  return not_implemented("RtPager", kPager);
}
PELORIN_NOT_YET(rtpager_limit, "RtPager.limit", kPager)
PELORIN_NOT_YET(rtpager_map, "RtPager.map", kPager)
PELORIN_NOT_YET(rtpager_unmap, "RtPager.unmap", kPager)
PELORIN_NOT_YET(rtpager_stats, "RtPager.stats", kPager)
PELORIN_NOT_YET(rtpager_numpy_handler, "RtPager.numpy_handler", kPager)
PELORIN_NOT_YET(numpy_set_handler, "numpy_set_handler", kPager)

void rtpager_dealloc(PyObject* self) { free_instance(self); }

PyMethodDef rtpager_methods[] = {
    {"limit", PELORIN_FN(rtpager_limit), PELORIN_ARGS, "limit($self)\n--\n\n"},
    {"map", PELORIN_FN(rtpager_map), PELORIN_ARGS,
     "map($self, nbytes)\n--\n\n"
     "A zero-filled region of at least `nbytes`; returns its address (for tests and ctypes)."},
    {"unmap", PELORIN_FN(rtpager_unmap), PELORIN_ARGS,
     "unmap($self, address)\n--\n\n"
     "Give back a region from `map`; returns its length. Nothing may use it afterwards."},
    {"stats", PELORIN_FN(rtpager_stats), PELORIN_ARGS, "stats($self)\n--\n\n"},
    {"numpy_handler", PELORIN_FN(rtpager_numpy_handler), PELORIN_ARGS,
     "numpy_handler($self)\n--\n\n"
     "A NumPy memory handler (`mem_handler` capsule) that puts arrays of `threshold` bytes or\n"
     "more in this pager and the rest where NumPy would."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rtpager_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "RtPager(budget, chunk=..., elem=4, compress_level=1, min_saving=0.15, threshold=..., "
         "process_budget=None)\n--\n\n"
         "Transparent paging of large NumPy arrays (Linux userfaultfd, macOS signals;\n"
         "`pelorin.rt.transparent`).")},
    {Py_tp_new, reinterpret_cast<void*>(rtpager_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rtpager_dealloc)},
    {Py_tp_methods, rtpager_methods},
    {0, nullptr},
};

PyType_Spec rtpager_spec = {"pelorin._core.RtPager", sizeof(RtPagerObject), 0,
                            Py_TPFLAGS_DEFAULT, rtpager_slots};

}  // namespace

PyMethodDef numpy_set_handler_def = {
    "numpy_set_handler", PELORIN_FN(numpy_set_handler), PELORIN_ARGS,
    "numpy_set_handler(handler)\n--\n\n"
    "Make `handler` (a `mem_handler` capsule, or None for NumPy's default) NumPy's memory\n"
    "handler in the current context; returns the previous one."};

PyTypeObject* rtpager_type() {
  static PyObject* cell = nullptr;
  return cached_type(&cell, &rtpager_spec, "RtPager");
}

}  // namespace pelorin::py
