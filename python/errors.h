// Turning core errors into Python exceptions, and the fatal path of a Python call.
#pragma once

#include "python/py.h"

#include <string>

#include "error/error.h"

namespace pelorin::py {

// Sets the exception `pelorin._errors.<name>(text)`, or RuntimeError(text) when the
// package module or the class cannot be had. Looked up anew each time. Returns nullptr.
PyObject* pelorin_error(const char* name, const std::string& text);

// The general mapping to built-in exceptions. Returns nullptr.
PyObject* to_py_err(const Error& e);

// The runtime mapping: the package's classes where one exists, else to_py_err.
PyObject* rt_err(const Error& e);

// Raises the not-implemented error of a feature a later release provides.
PyObject* not_implemented(const char* feature, const char* plan);

// Raises the fatal-error exception (derived from BaseException) with `text`.
PyObject* raise_fatal(const char* text);

// Runs `body` and turns a fatal error escaping from the core into the fatal exception.
// Every entry point runs its work through this.
template <typename F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const FatalError& e) {
    raise_fatal(e.what());
    if constexpr (std::is_same_v<decltype(body()), int>)
      return -1;
    else
      return nullptr;
  }
}

// Releases the interpreter lock for its lifetime (exception-safe).
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace pelorin::py
