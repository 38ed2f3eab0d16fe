// RtPin objects made outside runtime.cc: the derive callback hands its input pins to
// Python as RtPins.
#pragma once

#include "python/py.h"
#include "rt/pin.h"

namespace pelorin::py {

// A new RtPin owning `pin`; nullptr with the error set (the buffer is unpinned then).
PyObject* make_rtpin(rt::Pin pin);

// release() of an RtPin: no new views, and unpinned now if no view is alive.
void release_rtpin(PyObject* pin);

}  // namespace pelorin::py
