// Chunked digests, spill files and verified reads.
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {
constexpr const char* kDigests = "chunked digests";
constexpr const char* kSpill = "spill files and verified reads";
}  // namespace

PELORIN_NOT_YET(engine_digest, "engine_digest", kDigests)
PELORIN_NOT_YET(engine_digest_parts, "engine_digest_parts", kDigests)
PELORIN_NOT_YET(engine_digest_combine, "engine_digest_combine", kDigests)
PELORIN_NOT_YET(engine_read_source_into, "engine_read_source_into", kSpill)
PELORIN_NOT_YET(engine_write, "engine_write", kSpill)

PyMethodDef engine_digest_def = {"engine_digest", PELORIN_FN(engine_digest), PELORIN_ARGS,
                                 "engine_digest(data)\n--\n\nDigest (16 bytes) of a buffer."};
PyMethodDef engine_digest_parts_def = {
    "engine_digest_parts", PELORIN_FN(engine_digest_parts), PELORIN_ARGS,
    "engine_digest_parts(data)\n--\n\n"
    "Per-chunk hashes of a buffer (16 bytes per `DIGEST_CHUNK`, concatenated); see\n"
    "`engine_digest_combine`. Lets Python verify large tensors piece by piece (0061 F1)."};
PyMethodDef engine_digest_combine_def = {
    "engine_digest_combine", PELORIN_FN(engine_digest_combine), PELORIN_ARGS,
    "engine_digest_combine(length, parts)\n--\n\n"
    "Digest (16 bytes) of `length` bytes whose chunk hashes are `parts` (from "
    "`engine_digest_parts`\n"
    "over consecutive pieces whose lengths are multiples of `DIGEST_CHUNK`)."};
PyMethodDef engine_read_source_into_def = {
    "engine_read_source_into", PELORIN_FN(engine_read_source_into), PELORIN_ARGS,
    "engine_read_source_into(path, offset, dst, expected=None)\n--\n\n"
    "Fill `dst` from `len(dst)` bytes of `path` at `offset`; verify against `expected` if "
    "given.\n"
    "Returns the digest of what was read."};
PyMethodDef engine_write_def = {
    "engine_write", PELORIN_FN(engine_write), PELORIN_ARGS,
    "engine_write(data, directory)\n--\n\n"
    "Write a buffer to a new `0600` spill file in `directory`; returns `(path, length, "
    "digest)`."};

}  // namespace pelorin::py
