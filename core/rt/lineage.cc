// Ways back for buffers that can be dropped: re-computation from their inputs, re-reading
// from their file, and the service thread's queue. Buffers of these kinds cannot be made
// yet, so nothing here is reached; the stubs keep the pin path whole.
#include "rt/internal.h"

namespace pelorin::rt {

Result<void> release_dependents(Inner&, std::uint64_t) {
  // No derived buffers exist yet, so nothing can still need these bytes.
  return {};
}

void forget_lineage(Inner& in, std::uint64_t id) { in.bufs.at(id).lineage.reset(); }

Result<bool> restore_source(Shared&, Guard&, std::uint64_t, bool, double) {
  return fail(Error::not_implemented("file-backed buffers", "re-reading from the file"));
}

Result<bool> restore_lineage(const std::shared_ptr<Shared>&, Guard&, std::uint64_t) {
  return fail(Error::not_implemented("derived buffers", "re-computation"));
}

void schedule(Shared&, Inner&, std::uint64_t) {}

}  // namespace pelorin::rt
