#include "hwinfo/hwinfo.h"
#include "platform/linux_host.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>

namespace pelorin::platform::linux_host {
namespace {

TEST(Pressure, LevelWordOfEveryCode) {
  const struct {
    std::int32_t raw;
    const char* word;
  } cases[] = {
      {4, "critical"}, {2, "warning"}, {1, "normal"},   {3, "warning"},
      {0, "normal"},   {8, "critical"}, {-1, "normal"}, {5, "critical"},
      {INT32_MIN, "normal"}, {INT32_MAX, "critical"},
  };
  for (const auto& c : cases) EXPECT_STREQ(hwinfo::level_word(c.raw), c.word) << c.raw;
}

TEST(Pressure, StallLevelAtTheThresholds) {
  const struct {
    double some;
    std::optional<double> full;
    std::int32_t level;
  } cases[] = {
      {0.0, 0.0, 1},    {9.99, 0.99, 1}, {10.0, 0.0, 2},  {0.0, 1.0, 2},
      {39.99, 9.99, 2}, {40.0, 0.0, 4},  {0.0, 10.0, 4},  {100.0, 100.0, 4},
      {5.0, std::nullopt, 1}, {45.0, std::nullopt, 4},
  };
  for (const auto& c : cases)
    EXPECT_EQ(stall_level({c.some, c.full}), c.level) << c.some << " " << c.full.value_or(-1);
}

TEST(Pressure, StallFiguresFromText) {
  auto s = stall_of(
      "some avg10=12.34 avg60=1.00 avg300=0.50 total=123456\n"
      "full avg10=0.75 avg60=0.10 avg300=0.00 total=789\n",
      "psi");
  ASSERT_TRUE(s.has_value());
  EXPECT_DOUBLE_EQ(s->some_avg10, 12.34);
  EXPECT_DOUBLE_EQ(s->full_avg10.value(), 0.75);
  EXPECT_EQ(stall_level(*s), 2);

  // Older kernels have no "full" line for some resources.
  s = stall_of("some avg10=0.00 avg60=0.00 avg300=0.00 total=0\n", "psi");
  ASSERT_TRUE(s.has_value());
  EXPECT_FALSE(s->full_avg10.has_value());

  for (const char* bad : {"", "full avg10=1.00\n", "some avg60=1.00\n", "some avg10=x\n"}) {
    auto e = stall_of(bad, "/proc/pressure/memory");
    ASSERT_FALSE(e.has_value()) << bad;
    EXPECT_EQ(e.error().kind(), Error::Kind::Io);
    EXPECT_NE(e.error().message().find("/proc/pressure/memory"), std::string::npos);
  }
}

TEST(Pressure, MissingFileIsTheOpenError) {
  auto r = pressure_from("/nonexistent/pressure/memory");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(r.error().os_errno(), ENOENT);
}

TEST(Memory, FiguresFromMeminfo) {
  const char* text =
      "MemTotal:       24683568 kB\n"
      "MemFree:         1000000 kB\n"
      "MemAvailable:    3000000 kB\n"
      "Buffers:            1308 kB\n"
      "Inactive(anon):     2688 kB\n"
      "Inactive(file):   500000 kB\n"
      "SwapTotal:       2000000 kB\n"
      "SwapFree:        1500000 kB\n"
      "HugePages_Total:       0\n";
  MemoryFigures m = memory_of(text);
  EXPECT_EQ(m.total, 24683568ull * 1024);
  EXPECT_EQ(m.available, 1500000ull * 1024);  // MemFree + Inactive(file), not anon
  EXPECT_EQ(m.kernel_available, 3000000ull * 1024);
  EXPECT_EQ(m.swap_total, 2000000ull * 1024);
  EXPECT_EQ(m.swap_free, 1500000ull * 1024);

  // The cautious figure never exceeds the kernel's.
  m = memory_of("MemTotal: 100 kB\nMemFree: 80 kB\nInactive(file): 30 kB\nMemAvailable: 90 kB\n");
  EXPECT_EQ(m.available, 90u * 1024);
  // Without MemAvailable the cautious figure stands for it; without MemTotal total is 0.
  m = memory_of("MemFree: 80 kB\nInactive(file): 30 kB\n");
  EXPECT_EQ(m.total, 0u);
  EXPECT_EQ(m.available, 110u * 1024);
  EXPECT_EQ(m.kernel_available, 110u * 1024);
}

TEST(Cpu, BrandFromCpuinfo) {
  const struct {
    const char* text;
    const char* brand;
  } cases[] = {
      {"processor\t: 0\nvendor_id\t: GenuineIntel\nmodel\t\t: 85\n"
       "model name\t:  Intel(R) Xeon(R) CPU @ 2.20GHz  \nprocessor\t: 1\n"
       "model name\t: second\n",
       "Intel(R) Xeon(R) CPU @ 2.20GHz"},
      {"processor\t: 0\nBogoMIPS\t: 108.00\n\nHardware\t: BCM2835\nModel\t\t: Raspberry Pi 4\n",
       "Raspberry Pi 4"},
      {"processor\t: 0\nHardware\t: Qualcomm\n", "Qualcomm"},
      {"processor\t: 0\nmodel\t\t: 85\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(cpu_brand_of(c.text), c.brand) << c.text;
}

TEST(Cgroup, OwnGroupsFromProcSelfCgroup) {
  CgroupPaths hybrid = cgroup_paths_of(
      "9:name=systemd:/\n5:devices:/\n4:memory:/process_api/f9b3\n"
      "3:cpu,cpuacct:/x\n0::/\n");
  EXPECT_EQ(hybrid.v2.value(), "/");
  EXPECT_EQ(hybrid.v1_memory.value(), "/process_api/f9b3");

  CgroupPaths v2 = cgroup_paths_of("0::/user.slice/user-1000.slice/session-2.scope\n");
  EXPECT_EQ(v2.v2.value(), "/user.slice/user-1000.slice/session-2.scope");
  EXPECT_FALSE(v2.v1_memory.has_value());

  CgroupPaths shared = cgroup_paths_of("7:cpuset,memory,pids:/a:b\n");
  EXPECT_EQ(shared.v1_memory.value(), "/a:b");  // a colon inside the path is kept
}

TEST(Cgroup, MountsFromMountinfo) {
  CgroupMounts m = cgroup_mounts_of(
      "22 1 0:21 / /sys rw,nosuid - sysfs sysfs rw\n"
      "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
      "35 31 0:32 /docker/abc /sys/fs/cgroup/mem\\040ory rw,relatime shared:9 - cgroup cgroup "
      "rw,memory\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n");
  ASSERT_TRUE(m.v1_memory.has_value());
  EXPECT_EQ(m.v1_memory->root, "/docker/abc");
  EXPECT_EQ(m.v1_memory->point, "/sys/fs/cgroup/mem ory");
  ASSERT_TRUE(m.v2.has_value());
  EXPECT_EQ(m.v2->point, "/sys/fs/cgroup/unified");

  EXPECT_FALSE(cgroup_mounts_of("22 1 0:21 / /sys rw - sysfs sysfs rw\n").v2.has_value());
}

TEST(Cgroup, GroupDirectoryUnderItsMount) {
  const struct {
    CgroupMount mount;
    const char* path;
    const char* dir;
  } cases[] = {
      {{"/", "/sys/fs/cgroup"}, "/", "/sys/fs/cgroup"},
      {{"/", "/sys/fs/cgroup/memory"}, "/process_api/f9b3", "/sys/fs/cgroup/memory/process_api/f9b3"},
      {{"/docker/abc", "/sys/fs/cgroup"}, "/docker/abc", "/sys/fs/cgroup"},
      {{"/docker/abc", "/sys/fs/cgroup"}, "/docker/abc/sub", "/sys/fs/cgroup/sub"},
      {{"/docker/abc", "/sys/fs/cgroup"}, "/docker/abcd", "/sys/fs/cgroup"},  // not inside
      {{"/docker/abc", "/sys/fs/cgroup"}, "/elsewhere", "/sys/fs/cgroup"},
  };
  for (const auto& c : cases) EXPECT_EQ(cgroup_dir(c.mount, c.path), c.dir) << c.path;
}

TEST(Cgroup, LimitText) {
  const struct {
    const char* text;
    std::optional<std::uint64_t> limit;
  } cases[] = {
      {"max\n", std::nullopt},
      {"9223372036854771712\n", std::nullopt},  // v1 "no limit"
      {"4611686018427387904\n", std::nullopt},  // 2^62
      {"4611686018427387903\n", 4611686018427387903ull},
      {"536870912\n", 536870912ull},
      {"0\n", 0ull},
      {"", std::nullopt},
      {"12abc\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(cgroup_limit_of(c.text), c.limit) << c.text;
}

TEST(Process, ResidentFromStatm) {
  EXPECT_EQ(resident_of("1000 250 100 10 0 300 0\n"), 250 * page_size());
  EXPECT_EQ(resident_of("1000\n"), std::nullopt);
  EXPECT_EQ(resident_of(""), std::nullopt);
}

TEST(Disk, PathErrors) {
  auto nul = hwinfo::disk(std::string_view("/tm\0p\n\xff", 7));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().display(), "invalid argument: path contains a NUL byte: \"/tm\\0p\\n\\xff\"");
  auto missing = hwinfo::disk("/nonexistent/pelorin");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
}

TEST(Memory, UsableIsLoweredByTheContainer) {
  hwinfo::Memory m{};
  m.available_bytes = 1000;
  EXPECT_EQ(m.usable_bytes(), 1000u);
  m.cgroup = hwinfo::Cgroup{4000, 300};
  EXPECT_EQ(m.usable_bytes(), 300u);
  m.cgroup = hwinfo::Cgroup{4000, 3000};
  EXPECT_EQ(m.usable_bytes(), 1000u);
}

}  // namespace
}  // namespace pelorin::platform::linux_host
