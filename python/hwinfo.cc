// Host information and memory pressure.
#include <optional>
#include <string>
#include <utility>

#include "hwinfo/hwinfo.h"
#include "platform/platform.h"
#include "python/args.h"
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {

PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* opt_u64(std::optional<std::uint64_t> v) { return v ? u64(*v) : Py_NewRef(Py_None); }

PyObject* opt_f64(std::optional<double> v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// pathlib.Path of a file-system path held as bytes.
PyObject* path_object(const std::string& path) {
  PyObject* s = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  PyObject* pathlib = s != nullptr ? PyImport_ImportModule("pathlib") : nullptr;
  PyObject* p = pathlib != nullptr ? PyObject_CallMethod(pathlib, "Path", "O", s) : nullptr;
  Py_XDECREF(pathlib);
  Py_XDECREF(s);
  return p;
}

PyObject* hwinfo_memory(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":hwinfo_memory")) return nullptr;
    Result<hwinfo::Memory> m = fail(Error::io(""));
    {
      WithoutGil nogil;
      m = hwinfo::memory();
    }
    if (!m) return to_py_err(m.error());
    std::optional<std::uint64_t> limit, free;
    if (m->cgroup) {
      limit = m->cgroup->limit_bytes;
      free = m->cgroup->free_bytes;
    }
    return ordered_dict({
        {"total_bytes", u64(m->total_bytes)},
        {"available_bytes", u64(m->available_bytes)},
        {"kernel_available_bytes", u64(m->kernel_available_bytes)},
        {"swap_total_bytes", u64(m->swap_total_bytes)},
        {"swap_free_bytes", u64(m->swap_free_bytes)},
        {"cgroup_limit_bytes", opt_u64(limit)},
        {"cgroup_free_bytes", opt_u64(free)},
        {"usable_bytes", u64(m->usable_bytes())},
    });
  });
}

PyObject* hwinfo_cpu(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":hwinfo_cpu")) return nullptr;
    hwinfo::Cpu c;
    {
      WithoutGil nogil;
      c = hwinfo::cpu();
    }
    return ordered_dict({{"brand", text(c.brand)}, {"logical_cpus", u64(c.logical_cpus)}});
  });
}

PyObject* hwinfo_process_rss(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":hwinfo_process_rss")) return nullptr;
    Result<std::uint64_t> rss = fail(Error::io(""));
    {
      WithoutGil nogil;
      rss = hwinfo::process_rss();
    }
    if (!rss) return to_py_err(rss.error());
    return u64(*rss);
  });
}

PyObject* hwinfo_disk(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:hwinfo_disk", const_cast<char**>(kwlist),
                                     &path_arg))
      return nullptr;
    std::string path;
    if (!to_path(path_arg, "path", &path)) return nullptr;
    Result<hwinfo::Disk> d = fail(Error::io(""));
    {
      WithoutGil nogil;
      d = hwinfo::disk(path);
    }
    if (!d) return to_py_err(d.error());
    return ordered_dict({
        {"path", path_object(d->path)},
        {"total_bytes", u64(d->total_bytes)},
        {"available_bytes", u64(d->available_bytes)},
    });
  });
}

PyObject* process_footprint(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":process_footprint")) return nullptr;
    return opt_u64(platform::process_footprint());
  });
}

PyObject* pressure_current(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments(args, kwds, ":pressure_current")) return nullptr;
    Result<hwinfo::Pressure> p = fail(Error::io(""));
    {
      WithoutGil nogil;
      p = hwinfo::pressure_current();
    }
    if (!p) return to_py_err(p.error());
    return ordered_dict({
        {"level", PyUnicode_FromString(p->level)},
        {"source", PyUnicode_FromString(p->source)},
        {"some_avg10", opt_f64(p->some_avg10)},
        {"full_avg10", opt_f64(p->full_avg10)},
        {"raw_level", PyLong_FromLong(p->raw_level)},
    });
  });
}

}  // namespace

PyMethodDef hwinfo_memory_def = {
    "hwinfo_memory", PELORIN_FN(hwinfo_memory), PELORIN_ARGS,
    "hwinfo_memory()\n--\n\n"
    "Host memory snapshot (conservative `available_bytes`, see `pelorin::hwinfo`)."};
PyMethodDef hwinfo_cpu_def = {"hwinfo_cpu", PELORIN_FN(hwinfo_cpu), PELORIN_ARGS,
                              "hwinfo_cpu()\n--\n\nCPU brand and logical CPU count."};
PyMethodDef hwinfo_process_rss_def = {"hwinfo_process_rss", PELORIN_FN(hwinfo_process_rss),
                                      PELORIN_ARGS, "hwinfo_process_rss()\n--\n\n"};
PyMethodDef hwinfo_disk_def = {
    "hwinfo_disk", PELORIN_FN(hwinfo_disk), PELORIN_ARGS,
    "hwinfo_disk(path)\n--\n\nCapacity of the file system holding `path` (must exist)."};
PyMethodDef process_footprint_def = {
    "process_footprint", PELORIN_FN(process_footprint), PELORIN_ARGS,
    "process_footprint()\n--\n\n"
    "Bytes this process occupies (macOS physical footprint, Linux resident set), or None."};
PyMethodDef pressure_current_def = {
    "pressure_current", PELORIN_FN(pressure_current), PELORIN_ARGS,
    "pressure_current()\n--\n\n"
    "Resident set size of this process in bytes.\n"
    "Current OS memory pressure: "
    "``{\"level\", \"source\", \"some_avg10\", \"full_avg10\", \"raw_level\"}``."};

}  // namespace pelorin::py
