#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/memory.hpp"

namespace ostrel {
namespace {

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kCeiling = 1024 * MiB;

// A folder standing for the root of the file system: /proc/self and the
// mounted cgroup trees, written file by file. Named by the process and a
// count, since CTest runs tests in processes side by side.
class FakeRoot {
public:
    FakeRoot()
        : path_(std::filesystem::temp_directory_path() /
                ("ostrel-cgroups-" + std::to_string(getpid()) + "-" + std::to_string(++count_))) {
        std::filesystem::remove_all(path_);
    }
    ~FakeRoot() { std::filesystem::remove_all(path_); }

    FakeRoot& file(const std::string& name, const std::string& text) {
        const std::filesystem::path file = path_ / name.substr(1);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
        return *this;
    }
    // A cgroup folder: its limit, usage and page cache, in MiB (v2 files, or v1's).
    FakeRoot& cgroup(const std::string& folder, bool v2, const std::string& limit, std::uint64_t usage,
                     std::uint64_t cache) {
        const std::string active = std::to_string(cache / 2 * MiB), inactive = std::to_string((cache - cache / 2) * MiB);
        file(folder + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit + "\n");
        file(folder + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), std::to_string(usage * MiB) + "\n");
        return file(folder + "/memory.stat", v2 ? "anon 1\nactive_file " + active + "\ninactive_file " + inactive + "\n"
                                                : "cache 1\nactive_file 0\ninactive_file 0\ntotal_active_file " + active +
                                                      "\ntotal_inactive_file " + inactive + "\n");
    }
    std::uint64_t headroom() const { return cgroup_headroom(limited_cgroups(path_.string(), kCeiling)); }

private:
    static inline int count_ = 0;
    std::filesystem::path path_;
};

std::string mib(std::uint64_t n) { return std::to_string(n * MiB); }

TEST(CgroupHeadroom, V1CountsEveryAncestorAndLeavesOutFileCache) {
    FakeRoot root;
    root.file("/proc/self/mountinfo",
              "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
              "32 31 0:29 / /sys/fs/cgroup/cpu\\040set rw - cgroup cgroup rw,cpu\n"
              "35 31 0:32 / /sys/fs/cgroup/mem\\040ory rw,relatime - cgroup cgroup rw,memory\n"
              "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n")
        .file("/proc/self/cgroup", "4:memory:/svc/job\n3:cpu:/elsewhere\n0::/job\n")
        .cgroup("/sys/fs/cgroup/mem ory", false, "9223372036854771712", 5000, 0)  // the root: no limit
        .cgroup("/sys/fs/cgroup/mem ory/svc", false, mib(300), 120, 40)          // 300 - (120 - 40)
        .cgroup("/sys/fs/cgroup/mem ory/svc/job", false, mib(500), 100, 0);
    EXPECT_EQ(root.headroom(), 220 * MiB);
    root.cgroup("/sys/fs/cgroup/mem ory/svc/job", false, mib(150), 100, 0);
    EXPECT_EQ(root.headroom(), 50 * MiB);
    root.cgroup("/sys/fs/cgroup/mem ory/svc/job", false, mib(150), 200, 10);  // over its limit
    EXPECT_EQ(root.headroom(), 0u);
}

TEST(CgroupHeadroom, V2FromAContainersMountOfItsOwnSubtree) {
    FakeRoot root;
    root.file("/proc/self/mountinfo", "41 31 0:38 /docker/c1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n")
        .file("/proc/self/cgroup", "0::/docker/c1/app\n")
        .cgroup("/sys/fs/cgroup", true, mib(256), 100, 30)
        .cgroup("/sys/fs/cgroup/app", true, "max", 90, 0);
    EXPECT_EQ(root.headroom(), 186 * MiB);
    // A mount of another part of the hierarchy does not show the process's cgroup.
    root.file("/proc/self/cgroup", "0::/other/app\n");
    EXPECT_EQ(root.headroom(), kUnlimitedBytes);
}

TEST(CgroupHeadroom, UnlimitedWithoutMemoryCgroups) {
    FakeRoot root;
    root.file("/proc/self/mountinfo", "31 23 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n")
        .file("/proc/self/cgroup", "3:cpu:/a\n");
    EXPECT_EQ(root.headroom(), kUnlimitedBytes);
    FakeRoot unreadable;
    EXPECT_EQ(unreadable.headroom(), kUnlimitedBytes);
}

}  // namespace
}  // namespace ostrel
