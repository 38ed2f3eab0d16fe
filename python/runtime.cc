// RtRuntime, the budgeted buffer runtime, and RtPin, one pinned buffer.
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"
#include "rt/runtime.h"

namespace pelorin::py {

namespace {

constexpr const char* kTable = "the buffer table, pins and making room";

struct RtRuntimeObject {
  PyObject_HEAD
  rt::Runtime* runtime;  // owned; never null once constructed
};

rt::Runtime& runtime_of(PyObject* self) {
  return *reinterpret_cast<RtRuntimeObject*>(self)->runtime;
}

// `s` as a double-quoted literal with backslash escapes for quotes, backslashes and
// control characters; `s` is valid UTF-8.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(s.substr(i, n));
        }
    }
    i += n;
  }
  out += '"';
  return out;
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

void rtruntime_dealloc(PyObject* self) {
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

PELORIN_NOT_YET(rtruntime_hold_back, "RtRuntime.hold_back", "the service thread")
PELORIN_NOT_YET(rtruntime_alloc, "RtRuntime.alloc", kTable)
PELORIN_NOT_YET(rtruntime_add_file, "RtRuntime.add_file", "file-backed buffers")
PELORIN_NOT_YET(rtruntime_pin, "RtRuntime.pin", kTable)
PELORIN_NOT_YET(rtruntime_free, "RtRuntime.free", kTable)
PELORIN_NOT_YET(rtruntime_prefetch, "RtRuntime.prefetch", "the service thread")
PELORIN_NOT_YET(rtruntime_derive, "RtRuntime.derive", "derived buffers")
PELORIN_NOT_YET(rtruntime_predict, "RtRuntime.predict", "pin-cycle prediction")
PELORIN_NOT_YET(rtruntime_evict, "RtRuntime.evict", kTable)
PELORIN_NOT_YET(rtruntime_state, "RtRuntime.state", kTable)
PELORIN_NOT_YET(rtruntime_nbytes, "RtRuntime.nbytes", kTable)
PELORIN_NOT_YET(rtruntime_stats, "RtRuntime.stats", kTable)

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
    {Py_tp_methods, rtruntime_methods},
    {0, nullptr},
};

PyType_Spec rtruntime_spec = {"pelorin._core.RtRuntime", sizeof(RtRuntimeObject), 0,
                              Py_TPFLAGS_DEFAULT, rtruntime_slots};

// RtPin ---------------------------------------------------------------------------------

struct RtPinObject {
  PyObject_HEAD
};

PyObject* rtpin_getter(PyObject*, void* name) {
  return not_implemented(static_cast<const char*>(name), kTable);
}
PELORIN_NOT_YET(rtpin_release, "RtPin.release", kTable)

int rtpin_getbuffer(PyObject*, Py_buffer*, int) {
  not_implemented("RtPin buffers", kTable);
  return -1;
}
void rtpin_releasebuffer(PyObject*, Py_buffer*) {}

void rtpin_dealloc(PyObject* self) { free_instance(self); }

PyMethodDef rtpin_methods[] = {
    {"release", PELORIN_FN(rtpin_release), PELORIN_ARGS,
     "release($self)\n--\n\n"
     "Stop handing out views; the buffer is unpinned as soon as no view is left."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rtpin_getset[] = {
    {"nbytes", rtpin_getter, nullptr, nullptr, const_cast<char*>("RtPin.nbytes")},
    {"address", rtpin_getter, nullptr,
     "Address of the pinned data (page-aligned; valid while the pin is held).",
     const_cast<char*>("RtPin.address")},
    {"writable", rtpin_getter, nullptr, nullptr, const_cast<char*>("RtPin.writable")},
    {"views", rtpin_getter, nullptr, "Views still alive (numpy arrays or memoryviews of this pin).",
     const_cast<char*>("RtPin.views")},
    {"unpinned", rtpin_getter, nullptr,
     "True once the buffer is unpinned (released and no view left).",
     const_cast<char*>("RtPin.unpinned")},
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
