// How much memory a call may still take before the kernel would end the
// process: the machine's physical memory, and in a container the headroom
// its memory cgroup leaves.
//
// The kernel promises address space it may not have; inside a memory cgroup
// the process is killed, not refused, when its pages outgrow the limit. A
// call therefore asks here, before its first large allocation or copy,
// whether what it will hold fits, and fails with std::bad_alloc when not.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace ostrel {

inline constexpr std::uint64_t kUnlimitedBytes = std::numeric_limits<std::uint64_t>::max();

// Byte counts that saturate at kUnlimitedBytes instead of wrapping, for
// estimates of sizes that may be absurd.
constexpr std::uint64_t add_bytes(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? kUnlimitedBytes : sum;
}
constexpr std::uint64_t multiply_bytes(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kUnlimitedBytes : product;
}

// A memory cgroup of the process with a limit: its folder, whether it holds
// cgroup v2's files (memory.max, memory.current) or v1's
// (memory.limit_in_bytes, memory.usage_in_bytes), and the limit.
struct LimitedCgroup {
    std::string folder;
    bool v2 = false;
    std::uint64_t limit = 0;
};

// The memory cgroups of the process, its own and each ancestor up to the top
// of the mounted hierarchy (v1's memory controller, v2's), whose limit lies
// below `ceiling`; none when none can be read. Paths are taken under `root`:
// "" for the running system, a folder holding proc/self/{cgroup,mountinfo}
// and the mounted cgroup trees for tests.
std::vector<LimitedCgroup> limited_cgroups(const std::string& root, std::uint64_t ceiling);

// The least headroom of `cgroups`: each one's limit less its usage, where the
// usage leaves out the page cache of files (memory.stat's active and
// inactive file pages), which the kernel reclaims before it kills. The cache
// is read only where the headroom without it is below `enough`.
// kUnlimitedBytes for none.
std::uint64_t cgroup_headroom(std::span<const LimitedCgroup> cgroups, std::uint64_t enough = kUnlimitedBytes);

// The machine's physical memory in bytes; kUnlimitedBytes when unknown.
std::uint64_t physical_memory_bytes();

// Calls below this size are let through unchecked: a process with less than
// this left is at the end of its memory whatever it calls, and reading a
// cgroup's usage costs a few system calls.
inline constexpr std::uint64_t kMemoryCheckedFrom = std::uint64_t{16} << 20;

// Whether a call that will hold `bytes` more than it holds now fits: below
// both the physical memory and the headroom of the process's limited
// cgroups. The physical memory and which cgroups have which limits are read
// at most once a second, the usage on every check.
bool fits_in_memory(std::uint64_t bytes);

}  // namespace ostrel
