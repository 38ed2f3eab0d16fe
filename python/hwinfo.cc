// Host information and memory pressure.
#include "python/bindings.h"
#include "python/errors.h"

namespace pelorin::py {

namespace {
constexpr const char* kHost = "host information";
constexpr const char* kPressure = "memory pressure";
}  // namespace

PELORIN_NOT_YET(hwinfo_memory, "hwinfo_memory", kHost)
PELORIN_NOT_YET(hwinfo_cpu, "hwinfo_cpu", kHost)
PELORIN_NOT_YET(hwinfo_process_rss, "hwinfo_process_rss", kHost)
PELORIN_NOT_YET(hwinfo_disk, "hwinfo_disk", kHost)
PELORIN_NOT_YET(process_footprint, "process_footprint", kHost)
PELORIN_NOT_YET(pressure_current, "pressure_current", kPressure)

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
