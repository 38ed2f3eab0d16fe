// Derived buffers computed by Python functions: the callback the core calls, and the
// garbage collector's view of the functions a runtime keeps.
#include "python/lineage.h"

#include <string>
#include <utility>
#include <vector>

#include "python/rtpin.h"
#include "rt/internal.h"

namespace pelorin::py {

namespace {

// `obj` rendered as str(), in UTF-8 with unencodable characters replaced; nothing when
// str() raises (that error is cleared).
std::optional<std::string> utf8_str(PyObject* obj) {
  PyObject* s = PyObject_Str(obj);
  if (s == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyObject* b = PyUnicode_AsEncodedString(s, "utf-8", "replace");
  Py_DECREF(s);
  if (b == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::string out(PyBytes_AsString(b), static_cast<std::size_t>(PyBytes_Size(b)));
  Py_DECREF(b);
  return out;
}

// The pending exception as the derive error: "<qualname>: <str>". Clears it.
Error failure_from_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string name = "<unknown exception>";
  if (type != nullptr) {
    PyObject* q = PyObject_GetAttrString(type, "__qualname__");
    if (q != nullptr) {
      if (auto text = utf8_str(q)) name = *text;
      Py_DECREF(q);
    } else {
      PyErr_Clear();
    }
  }
  std::optional<std::string> text = value != nullptr ? utf8_str(value) : std::string();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return Error::invalid_argument("the derive function failed: " + name + ": " +
                                 text.value_or("<exception str() failed>"));
}

class PyLineage final : public rt::LineageFunc {
 public:
  // Takes a new reference to `func`; the interpreter lock must be held.
  PyLineage(std::weak_ptr<rt::Shared> shared, std::vector<std::uint64_t> inputs, PyObject* func)
      : shared_(std::move(shared)), inputs_(std::move(inputs)), func_(func) {
    Py_INCREF(func_);
  }

  ~PyLineage() override {
    // Once the interpreter is gone there is nothing left to give the reference back to.
    if (func_ == nullptr || !Py_IsInitialized()) return;
    PyGILState_STATE st = PyGILState_Ensure();
    Py_CLEAR(func_);
    PyGILState_Release(st);
  }

  Result<void> compute(rt::InputSlices, std::span<std::byte> out) override {
    // A pin asking for this computation holds the runtime, so this finds it.
    std::shared_ptr<rt::Shared> shared = shared_.lock();
    if (!shared)
      return fail(Error::invalid_argument("the derive function failed: its runtime is gone"));
    std::vector<rt::Pin> pins;
    pins.reserve(inputs_.size());
    for (std::uint64_t id : inputs_) {
      auto pin = rt::pin_with(shared, id, false, false, false);
      if (!pin) return fail(pin.error());
      pins.push_back(std::move(*pin));
    }
    PyGILState_STATE st = PyGILState_Ensure();
    Result<void> r = call(std::move(pins), out);
    PyGILState_Release(st);
    return r;
  }

  // The collector's reference: visited while the runtime lives, given up by clear().
  PyObject* func() const { return func_; }
  PyObject* take_func() { return std::exchange(func_, nullptr); }

 private:
  // Calls func(out, inputs) with the interpreter lock held.
  Result<void> call(std::vector<rt::Pin> pins, std::span<std::byte> out) {
    if (func_ == nullptr)
      return fail(Error::invalid_argument(
          "the derive function failed: it was collected with its runtime"));
    PyObject* func = Py_NewRef(func_);  // the collector may clear ours during the call
    PyObject* view = PyMemoryView_FromMemory(reinterpret_cast<char*>(out.data()),
                                             static_cast<Py_ssize_t>(out.size()), PyBUF_WRITE);
    PyObject* list = view != nullptr ? PyList_New(0) : nullptr;
    bool ok = list != nullptr;
    for (rt::Pin& pin : pins) {
      if (!ok) break;
      PyObject* p = make_rtpin(std::move(pin));
      ok = p != nullptr && PyList_Append(list, p) == 0;
      Py_XDECREF(p);
    }
    PyObject* result = ok ? PyObject_CallFunctionObjArgs(func, view, list, nullptr) : nullptr;
    std::optional<Error> failure;
    if (result == nullptr) failure = failure_from_exception();
    Py_XDECREF(result);
    if (view != nullptr) {
      if (PyObject* r = PyObject_CallMethod(view, "release", nullptr)) Py_DECREF(r);
      else PyErr_Clear();
      Py_DECREF(view);
    }
    if (list != nullptr) {
      const Py_ssize_t n = PyList_Size(list);
      for (Py_ssize_t i = 0; i < n; ++i) release_rtpin(PyList_GetItem(list, i));
      Py_DECREF(list);
    }
    Py_DECREF(func);
    if (failure) return fail(std::move(*failure));
    return {};
  }

  std::weak_ptr<rt::Shared> shared_;
  std::vector<std::uint64_t> inputs_;
  PyObject* func_;  // guarded by the interpreter lock; null once cleared
};

}  // namespace

std::shared_ptr<rt::LineageFunc> make_lineage(const rt::Runtime& runtime,
                                              std::vector<std::uint64_t> inputs,
                                              PyObject* func) {
  return std::make_shared<PyLineage>(runtime.shared(), std::move(inputs), func);
}

int visit_lineages(const rt::Runtime& runtime, visitproc visit, void* arg) {
  int result = 0;
  runtime.for_each_lineage_func([&](rt::LineageFunc& f) {
    auto* py = dynamic_cast<PyLineage*>(&f);
    if (result == 0 && py != nullptr && py->func() != nullptr) result = visit(py->func(), arg);
  });
  return result;
}

void clear_lineages(const rt::Runtime& runtime) {
  std::vector<PyObject*> funcs;
  runtime.for_each_lineage_func([&](rt::LineageFunc& f) {
    if (auto* py = dynamic_cast<PyLineage*>(&f))
      if (PyObject* fn = py->take_func()) funcs.push_back(fn);
  });
  // Dropping a function may run any code, so only with the runtime mutex free.
  for (PyObject* fn : funcs) Py_DECREF(fn);
}

}  // namespace pelorin::py
