// RtRuntime, the budgeted buffer runtime, and RtPin, one pinned buffer.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <new>
#include <string>
#include <string_view>

#include "error/text.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"
#include "python/lineage.h"
#include "python/rtpin.h"
#include "rt/pin.h"
#include "rt/runtime.h"

namespace pelorin::py {

namespace {

struct RtRuntimeObject {
  PyObject_HEAD
  rt::Runtime* runtime;  // owned; never null once constructed
};

rt::Runtime& runtime_of(PyObject* self) {
  return *reinterpret_cast<RtRuntimeObject*>(self)->runtime;
}

PyObject* rtruntime_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"budget",   "compress_level", "min_saving",     "policy",
                                   "prefetch", "lookahead",      "process_budget", nullptr};
    PyObject *budget = nullptr, *level = nullptr, *saving = nullptr, *policy = nullptr,
             *prefetch = nullptr, *lookahead = nullptr, *process_budget = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOOO:RtRuntime",
                                     const_cast<char**>(kwlist), &budget, &level, &saving,
                                     &policy, &prefetch, &lookahead, &process_budget))
      return nullptr;

    rt::Options opts;
    std::string policy_text = "reuse";
    if (!to_u64(budget, "budget", &opts.budget)) return nullptr;
    if (level != nullptr && !to_i32(level, "compress_level", &opts.compress_level))
      return nullptr;
    if (saving != nullptr && !to_f64(saving, "min_saving", &opts.min_saving)) return nullptr;
    if (policy != nullptr && !to_str(policy, "policy", &policy_text)) return nullptr;
    if (prefetch != nullptr && !to_bool(prefetch, "prefetch", &opts.prefetch)) return nullptr;
    if (lookahead != nullptr && !to_u64(lookahead, "lookahead", &opts.lookahead)) return nullptr;
    if (!to_opt_u64(process_budget, "process_budget", &opts.process_budget)) return nullptr;

    if (policy_text == "reuse") {
      opts.policy = rt::Policy::Reuse;
    } else if (policy_text == "lru") {
      opts.policy = rt::Policy::Lru;
    } else {
      return pelorin_error("InvalidArgument",
                           "policy must be 'reuse' or 'lru', not " + quoted(policy_text));
    }

    auto made = rt::Runtime::create(opts);
    if (!made) return rt_err(made.error());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the runtime goes with `made`
    reinterpret_cast<RtRuntimeObject*>(self)->runtime = new rt::Runtime(std::move(*made));
    return self;
  });
}

// The functions of derived buffers may refer back to this object: the collector sees them.
int rtruntime_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* obj = reinterpret_cast<RtRuntimeObject*>(self);
  return obj->runtime != nullptr ? visit_lineages(*obj->runtime, visit, arg) : 0;
}

int rtruntime_clear(PyObject* self) {
  auto* obj = reinterpret_cast<RtRuntimeObject*>(self);
  if (obj->runtime != nullptr) clear_lineages(*obj->runtime);
  return 0;
}

void rtruntime_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<RtRuntimeObject*>(self);
  if (rt::Runtime* r = obj->runtime) {
    obj->runtime = nullptr;
    // Dropping the handle joins the service thread, which may be finishing a restore
    // that needs the interpreter lock; so wait without holding it.
    WithoutGil nogil;
    try {
      delete r;
    } catch (const FatalError&) {
      // The text is on standard error; a destructor has no caller to tell.
    }
  }
  free_instance(self);
}

PyObject* rtruntime_limit(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(runtime_of(self).limit());
}


// Parses one id argument named "id".
bool one_id(PyObject* args, PyObject* kwds, const char* format, std::uint64_t* id) {
  static const char* kwlist[] = {"id", nullptr};
  PyObject* obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), &obj))
    return false;
  return to_u64(obj, "id", id);
}

PyObject* rtruntime_alloc(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"nbytes", "elem", nullptr};
    PyObject *nbytes_obj, *elem_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:alloc", const_cast<char**>(kwlist),
                                     &nbytes_obj, &elem_obj))
      return nullptr;
    std::uint64_t nbytes, elem;
    if (!to_u64(nbytes_obj, "nbytes", &nbytes) || !to_u64(elem_obj, "elem", &elem)) return nullptr;
    rt::Runtime rt = runtime_of(self);  // our own reference while the lock is released
    Result<std::uint64_t> id = fail(Error::io(""));
    {
      WithoutGil nogil;
      id = rt.alloc(nbytes, elem);
    }
    if (!id) return rt_err(id.error());
    return PyLong_FromUnsignedLongLong(*id);
  });
}

PyObject* rtruntime_free(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::uint64_t id;
    if (!one_id(args, kwds, "O:free", &id)) return nullptr;
    rt::Runtime rt = runtime_of(self);
    Result<void> ok;
    {
      WithoutGil nogil;
      ok = rt.free(id);
    }
    if (!ok) return rt_err(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* rtruntime_evict(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::uint64_t id;
    if (!one_id(args, kwds, "O:evict", &id)) return nullptr;
    rt::Runtime rt = runtime_of(self);
    Result<bool> freed = fail(Error::io(""));
    {
      WithoutGil nogil;
      freed = rt.evict(id);
    }
    if (!freed) return rt_err(freed.error());
    return PyBool_FromLong(*freed);
  });
}

PyObject* rtruntime_state(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::uint64_t id;
    if (!one_id(args, kwds, "O:state", &id)) return nullptr;
    auto st = runtime_of(self).state(id);
    if (!st) return rt_err(st.error());
    return PyUnicode_FromString(rt::state_name(*st));
  });
}

PyObject* rtruntime_nbytes(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::uint64_t id;
    if (!one_id(args, kwds, "O:nbytes", &id)) return nullptr;
    auto n = runtime_of(self).nbytes(id);
    if (!n) return rt_err(n.error());
    return PyLong_FromUnsignedLongLong(*n);
  });
}

PyObject* rtruntime_stats(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":stats")) return nullptr;
    const rt::Stats st = runtime_of(self).stats();
    auto u = [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); };
    auto f = [](double v) { return PyFloat_FromDouble(v); };
    return ordered_dict({
        {"budget", u(st.budget)},
        {"reserve", u(st.reserve)},
        {"used", u(st.used)},
        {"peak_used", u(st.peak_used)},
        {"buffers", u(st.buffers)},
        {"resident_bytes", u(st.resident_bytes)},
        {"compressed_bytes", u(st.compressed_bytes)},
        {"pinned_bytes", u(st.pinned_bytes)},
        {"loads", u(st.loads)},
        {"load_bytes", u(st.load_bytes)},
        {"rereads", u(st.rereads)},
        {"reread_bytes", u(st.reread_bytes)},
        {"read_seconds", f(st.read_seconds)},
        {"drops", u(st.drops)},
        {"drop_bytes", u(st.drop_bytes)},
        {"compressions", u(st.compressions)},
        {"compress_in", u(st.compress_in)},
        {"compress_out", u(st.compress_out)},
        {"compress_seconds", f(st.compress_seconds)},
        {"decompressions", u(st.decompressions)},
        {"decompress_bytes", u(st.decompress_bytes)},
        {"decompress_seconds", f(st.decompress_seconds)},
        {"incompressible", u(st.incompressible)},
        {"evictions", u(st.evictions)},
        {"refusals", u(st.refusals)},
        {"restore_seconds", f(st.restore_seconds)},
        {"pins", u(st.pins)},
        {"recomputes", u(st.recomputes)},
        {"recompute_bytes", u(st.recompute_bytes)},
        {"recompute_seconds", f(st.recompute_seconds)},
        {"prefetches", u(st.prefetches)},
        {"prefetch_bytes", u(st.prefetch_bytes)},
        {"prefetch_hits", u(st.prefetch_hits)},
        {"prefetch_wasted", u(st.prefetch_wasted)},
        {"prefetch_skipped", u(st.prefetch_skipped)},
        {"written_bytes", u(st.written_bytes)},
        {"outside_peak", u(st.outside_peak)},
        {"limit_low", u(st.limit_low)},
    });
  });
}

PyObject* rtruntime_hold_back(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"nbytes", nullptr};
    PyObject* obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:hold_back", const_cast<char**>(kwlist), &obj))
      return nullptr;
    std::uint64_t nbytes;
    if (!to_u64(obj, "nbytes", &nbytes)) return nullptr;
    rt::Runtime rt = runtime_of(self);
    Result<void> ok;
    {
      WithoutGil nogil;
      ok = rt.hold_back(nbytes);
    }
    if (!ok) return rt_err(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* rtruntime_prefetch(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::uint64_t id;
    if (!one_id(args, kwds, "O:prefetch", &id)) return nullptr;
    // Only a queue insertion: the interpreter lock stays held.
    if (auto ok = runtime_of(self).prefetch(id); !ok) return rt_err(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* rtruntime_predict(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":predict")) return nullptr;
    const std::optional<rt::Prediction> p = runtime_of(self).predict();
    if (!p) Py_RETURN_NONE;
    return ordered_dict({
        {"cycle_pins", PyLong_FromUnsignedLongLong(p->cycle_pins)},
        {"cycle_bytes", PyLong_FromUnsignedLongLong(p->cycle_bytes)},
        {"restore_bytes", PyLong_FromUnsignedLongLong(p->restore_bytes)},
        {"restore_seconds", PyFloat_FromDouble(p->restore_seconds)},
        {"compute_seconds", PyFloat_FromDouble(p->compute_seconds)},
        {"seconds", PyFloat_FromDouble(p->seconds)},
        {"last_seconds", PyFloat_FromDouble(p->last_seconds)},
        {"prefetch", PyBool_FromLong(p->prefetch)},
    });
  });
}

PyObject* rtruntime_add_file(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "offset", "nbytes", "elem", nullptr};
    PyObject *path_obj, *offset_obj, *nbytes_obj, *elem_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO:add_file", const_cast<char**>(kwlist),
                                     &path_obj, &offset_obj, &nbytes_obj, &elem_obj))
      return nullptr;
    std::string path;
    std::uint64_t offset, nbytes, elem;
    if (!to_path(path_obj, "path", &path) || !to_u64(offset_obj, "offset", &offset) ||
        !to_u64(nbytes_obj, "nbytes", &nbytes) || !to_u64(elem_obj, "elem", &elem))
      return nullptr;
    // Opens the file but reads nothing, so the interpreter lock stays held.
    auto id = runtime_of(self).add_file(path, offset, nbytes, elem);
    if (!id) return rt_err(id.error());
    return PyLong_FromUnsignedLongLong(*id);
  });
}

PyObject* rtruntime_derive(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"inputs", "nbytes", "elem", "func", nullptr};
    PyObject *inputs_obj, *nbytes_obj, *elem_obj, *func;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO:derive", const_cast<char**>(kwlist),
                                     &inputs_obj, &nbytes_obj, &elem_obj, &func))
      return nullptr;
    std::vector<std::uint64_t> inputs;
    std::uint64_t nbytes, elem;
    if (!to_u64_list(inputs_obj, "inputs", &inputs) || !to_u64(nbytes_obj, "nbytes", &nbytes) ||
        !to_u64(elem_obj, "elem", &elem))
      return nullptr;
    rt::Runtime rt = runtime_of(self);
    auto callback = make_lineage(rt, inputs, func);
    Result<std::uint64_t> id = fail(Error::io(""));
    {
      // The callback takes the interpreter lock itself, around the call of `func` only.
      WithoutGil nogil;
      id = rt.derive(std::move(inputs), nbytes, elem, std::move(callback));
    }
    if (!id) return rt_err(id.error());
    return PyLong_FromUnsignedLongLong(*id);
  });
}

PyObject* rtruntime_pin(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"id", "write", nullptr};
    PyObject *id_obj, *write_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:pin", const_cast<char**>(kwlist), &id_obj,
                                     &write_obj))
      return nullptr;
    std::uint64_t id;
    bool write = false;
    if (!to_u64(id_obj, "id", &id)) return nullptr;
    if (write_obj != nullptr && !to_bool(write_obj, "write", &write)) return nullptr;
    rt::Runtime rt = runtime_of(self);
    std::optional<Result<rt::Pin>> pin;
    {
      WithoutGil nogil;
      pin.emplace(rt.pin(id, write));
    }
    if (!*pin) return rt_err(pin->error());
    return make_rtpin(std::move(**pin));
  });
}

PyMethodDef rtruntime_methods[] = {
    {"limit", rtruntime_limit, METH_NOARGS,
     "limit($self)\n--\n\n"
     "Bytes buffers may occupy (budget minus the compression headroom and what is held back)."},
    {"hold_back", PELORIN_FN(rtruntime_hold_back), PELORIN_ARGS,
     "hold_back($self, nbytes)\n--\n\n"
     "Keep `nbytes` of the budget for memory the runtime does not own (0165)."},
    {"alloc", PELORIN_FN(rtruntime_alloc), PELORIN_ARGS, "alloc($self, nbytes, elem)\n--\n\n"},
    {"add_file", PELORIN_FN(rtruntime_add_file), PELORIN_ARGS,
     "add_file($self, path, offset, nbytes, elem)\n--\n\n"},
    {"pin", PELORIN_FN(rtruntime_pin), PELORIN_ARGS, "pin($self, id, write=False)\n--\n\n"},
    {"free", PELORIN_FN(rtruntime_free), PELORIN_ARGS, "free($self, id)\n--\n\n"},
    {"prefetch", PELORIN_FN(rtruntime_prefetch), PELORIN_ARGS,
     "prefetch($self, id)\n--\n\nAsk the service thread to bring the buffer back now."},
    {"derive", PELORIN_FN(rtruntime_derive), PELORIN_ARGS,
     "derive($self, inputs, nbytes, elem, func)\n--\n\n"
     "A buffer computed by `func(out, inputs)` now and re-computed when needed. `out` is a\n"
     "memoryview valid only during the call (the Python layer copies the result into it);\n"
     "`inputs` are pins of the input buffers (buffer protocol), so arrays made from them stay\n"
     "valid as long as they live."},
    {"predict", PELORIN_FN(rtruntime_predict), PELORIN_ARGS,
     "predict($self)\n--\n\n"
     "Predicted cost of repeating the last recorded cycle of pins (None until a buffer was\n"
     "pinned twice)."},
    {"evict", PELORIN_FN(rtruntime_evict), PELORIN_ARGS, "evict($self, id)\n--\n\n"},
    {"state", PELORIN_FN(rtruntime_state), PELORIN_ARGS, "state($self, id)\n--\n\n"},
    {"nbytes", PELORIN_FN(rtruntime_nbytes), PELORIN_ARGS, "nbytes($self, id)\n--\n\n"},
    {"stats", PELORIN_FN(rtruntime_stats), PELORIN_ARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rtruntime_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("RtRuntime(budget, compress_level=1, min_saving=0.15, policy=\"reuse\", "
                       "prefetch=True, lookahead=..., process_budget=None)\n--\n\n"
                       "The runtime (`pelorin.rt.Runtime` wraps it).")},
    {Py_tp_new, reinterpret_cast<void*>(rtruntime_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rtruntime_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rtruntime_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rtruntime_clear)},
    {Py_tp_methods, rtruntime_methods},
    {0, nullptr},
};

PyType_Spec rtruntime_spec = {"pelorin._core.RtRuntime", sizeof(RtRuntimeObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, rtruntime_slots};

// RtPin ---------------------------------------------------------------------------------

struct RtPinObject {
  PyObject_HEAD
  std::mutex* mu;                   // taken before the runtime mutex, never after
  std::optional<rt::Pin>* pin;      // guarded by *mu; absent once unpinned
  std::uint64_t address;
  std::uint64_t nbytes;
  std::atomic<std::uint64_t>* views;  // buffer-protocol views handed out and alive
  std::atomic<bool>* released;        // release() was called: no new views
  bool writable;
};

RtPinObject* as_pin(PyObject* self) { return reinterpret_cast<RtPinObject*>(self); }

// Drops the pin once it is released and no view is left; exactly once.
void unpin_if_unused(RtPinObject* p) {
  if (!p->released->load() || p->views->load() != 0) return;
  std::lock_guard<std::mutex> l(*p->mu);
  p->pin->reset();
}

}  // namespace

PyObject* make_rtpin(rt::Pin pin) {
  PyTypeObject* type = rtpin_type();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // `pin` goes, unpinning the buffer
  RtPinObject* p = as_pin(self);
  p->address = reinterpret_cast<std::uintptr_t>(pin.ptr());
  p->nbytes = pin.nbytes();
  p->writable = pin.write();
  p->mu = new std::mutex;
  p->views = new std::atomic<std::uint64_t>(0);
  p->released = new std::atomic<bool>(false);
  p->pin = new std::optional<rt::Pin>(std::move(pin));
  return self;
}

void release_rtpin(PyObject* self) {
  RtPinObject* p = as_pin(self);
  p->released->store(true);
  unpin_if_unused(p);
}

namespace {

PyObject* rtpin_nbytes(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_pin(self)->nbytes); }
PyObject* rtpin_address(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_pin(self)->address);
}
PyObject* rtpin_writable(PyObject* self, void*) { return PyBool_FromLong(as_pin(self)->writable); }
PyObject* rtpin_views(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_pin(self)->views->load());
}
PyObject* rtpin_unpinned(PyObject* self, void*) {
  RtPinObject* p = as_pin(self);
  std::lock_guard<std::mutex> l(*p->mu);
  return PyBool_FromLong(!p->pin->has_value());
}

PyObject* rtpin_release(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":release", const_cast<char**>(kwlist)))
      return nullptr;
    release_rtpin(self);
    Py_RETURN_NONE;
  });
}

int rtpin_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  RtPinObject* p = as_pin(self);
  if (view == nullptr) {
    PyErr_SetString(PyExc_BufferError, "view is null");
    return -1;
  }
  if (p->released->load()) {
    PyErr_SetString(PyExc_BufferError, "this pin was released");
    return -1;
  }
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && !p->writable) {
    PyErr_SetString(PyExc_BufferError,
                    "the buffer is pinned read-only; pin it with write=True");
    return -1;
  }
  p->views->fetch_add(1);
  Py_INCREF(self);
  view->obj = self;
  view->buf = reinterpret_cast<void*>(static_cast<std::uintptr_t>(p->address));
  view->len = static_cast<Py_ssize_t>(p->nbytes);
  view->itemsize = 1;
  view->readonly = p->writable ? 0 : 1;
  view->ndim = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &view->len : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void rtpin_releasebuffer(PyObject* self, Py_buffer*) {
  RtPinObject* p = as_pin(self);
  p->views->fetch_sub(1);
  try {
    unpin_if_unused(p);
  } catch (const FatalError&) {
    std::abort();  // called by the interpreter through a plain function pointer
  }
}

void rtpin_dealloc(PyObject* self) {
  RtPinObject* p = as_pin(self);
  if (p->pin != nullptr) {
    try {
      delete p->pin;  // unpins if still pinned
    } catch (const FatalError&) {
      std::abort();
    }
    delete p->mu;
    delete p->views;
    delete p->released;
  }
  free_instance(self);
}

PyMethodDef rtpin_methods[] = {
    {"release", PELORIN_FN(rtpin_release), PELORIN_ARGS,
     "release($self)\n--\n\n"
     "Stop handing out views; the buffer is unpinned as soon as no view is left."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rtpin_getset[] = {
    {"nbytes", rtpin_nbytes, nullptr, nullptr, nullptr},
    {"address", rtpin_address, nullptr,
     "Address of the pinned data (page-aligned; valid while the pin is held).", nullptr},
    {"writable", rtpin_writable, nullptr, nullptr, nullptr},
    {"views", rtpin_views, nullptr, "Views still alive (numpy arrays or memoryviews of this pin).",
     nullptr},
    {"unpinned", rtpin_unpinned, nullptr,
     "True once the buffer is unpinned (released and no view left).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rtpin_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "A pinned buffer. Exposes the buffer protocol (so `numpy.frombuffer(pin, dtype)` views "
         "it\n"
         "without copying); the buffer stays pinned while any such view exists, even after\n"
         "`release()` (which only stops new views).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(rtpin_dealloc)},
    {Py_tp_methods, rtpin_methods},
    {Py_tp_getset, rtpin_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(rtpin_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(rtpin_releasebuffer)},
    {0, nullptr},
};

PyType_Spec rtpin_spec = {"pelorin._core.RtPin", sizeof(RtPinObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, rtpin_slots};

}  // namespace

PyTypeObject* rtruntime_type() {
  static PyObject* cell = nullptr;
  return cached_type(&cell, &rtruntime_spec, "RtRuntime");
}

PyTypeObject* rtpin_type() {
  static PyObject* cell = nullptr;
  return cached_type(&cell, &rtpin_spec, "RtPin");
}

}  // namespace pelorin::py
