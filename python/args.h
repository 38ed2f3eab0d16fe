// Argument conventions shared by every entry point: conversions and borrowed buffers.
#pragma once

#include "python/py.h"

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::py {

// Each conversion returns false with a Python error set on failure. When `name` is given,
// the exception keeps its type and message and gets the note "while processing '<name>'".

// A non-negative int that fits 64 bits (OverflowError otherwise; TypeError for a non-int).
bool to_u64(PyObject* o, const char* name, std::uint64_t* out);
// An int that fits a signed 32-bit value.
bool to_i32(PyObject* o, const char* name, std::int32_t* out);
// Anything with the float protocol (ints included).
bool to_f64(PyObject* o, const char* name, double* out);
// A bool, or a NumPy boolean scalar.
bool to_bool(PyObject* o, const char* name, bool* out);
// A str, as UTF-8.
bool to_str(PyObject* o, const char* name, std::string* out);
// A str, bytes or path-like object, in the file-system encoding. A NUL byte is kept: the
// core refuses such a path with an I/O error when it opens it.
bool to_path(PyObject* o, const char* name, std::string* out);
// None or a missing argument (nullptr) means absent.
bool to_opt_u64(PyObject* o, const char* name, std::optional<std::uint64_t>* out);

// A sequence (collections.abc.Sequence, but not a str) of ints as to_u64 takes them;
// TypeError "expected a sequence of ints, not <type>" for anything else.
bool to_u64_list(PyObject* o, const char* name, std::vector<std::uint64_t>* out);

// 1 when `o` is a collections.abc.Sequence other than a str, 0 when it is not, -1 with the
// error set when the check itself failed.
int sequence_not_str(PyObject* o);

// True when the call got no arguments; the usual TypeError (naming the function given
// after ':' in `format`) otherwise.
bool no_arguments(PyObject* args, PyObject* kwds, const char* format);

// A dict made of (key, new reference) pairs in the order given; a null value fails it
// (its error set) and the remaining values are dropped.
PyObject* ordered_dict(std::initializer_list<std::pair<const char*, PyObject*>> items);

// Adds the note "while processing '<name>'" to the pending exception.
void add_argument_note(const char* name);

// A C-contiguous unsigned-byte buffer argument, held for one call. The buffer is released
// (the interpreter lock must be held then) when the Borrowed goes.
class Borrowed {
 public:
  // Acquires `obj`; on failure returns false with the error set.
  bool acquire(PyObject* obj, bool writable);
  ~Borrowed();
  Borrowed() = default;
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  std::byte* data() const { return static_cast<std::byte*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace pelorin::py
