// Python functions as the compute callbacks of derived buffers.
#pragma once

#include "python/py.h"

#include <memory>
#include <vector>

#include "rt/lineage.h"
#include "rt/runtime.h"

namespace pelorin::py {

// The callback of a buffer derived by `func(out, inputs)`. It holds the runtime's state
// weakly (a pin that asks for a re-computation holds it) and `func` strongly. Interpreter
// lock held.
std::shared_ptr<rt::LineageFunc> make_lineage(const rt::Runtime& runtime,
                                              std::vector<std::uint64_t> inputs, PyObject* func);

// Visits the functions the runtime's lineages hold, for the cycle collector.
int visit_lineages(const rt::Runtime& runtime, visitproc visit, void* arg);

// Gives up the references to those functions; their buffers can no longer be re-computed.
void clear_lineages(const rt::Runtime& runtime);

}  // namespace pelorin::py
