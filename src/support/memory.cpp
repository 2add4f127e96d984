// The memory a call may still take: physical memory and the headroom of the
// process's memory cgroups, read from /proc and the mounted cgroup trees.
#include "support/memory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "support/fork.hpp"

namespace ostrel {
namespace {

// The whole of a small file (the files read here are a few KiB at most);
// false when it cannot be read.
bool read_file(const std::string& path, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// Splits `text` at `separator`, calling `each` with every piece.
template <class Each>
void for_each_piece(std::string_view text, char separator, Each&& each) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        each(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

bool has_item(std::string_view list, std::string_view item) {
    bool found = false;
    for_each_piece(list, ',', [&](std::string_view piece) { found = found || piece == item; });
    return found;
}

bool parse_number(std::string_view text, std::uint64_t& value) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// A file holding one number; "max" (cgroup v2's no limit) reads as unlimited.
bool read_number(const std::string& path, std::uint64_t& value) {
    std::string text;
    if (!read_file(path, text)) return false;
    if (text.starts_with("max")) {
        value = kUnlimitedBytes;
        return true;
    }
    return parse_number(text, value);
}

// The value of `key` among the "key value" lines of memory.stat, 0 when absent.
std::uint64_t stat_value(std::string_view stat, std::string_view key) {
    std::uint64_t value = 0;
    for_each_piece(stat, '\n', [&](std::string_view line) {
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ') {
            parse_number(line.substr(key.size() + 1), value);
        }
    });
    return value;
}

// Mount points in /proc/self/mountinfo hold spaces and the like as octal escapes.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto octal = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '7'; };
        if (text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// One mounted cgroup tree of the memory controller.
struct Tree {
    bool v2 = false;
    std::string root;         // the cgroup at the top of the mount
    std::string mount_point;  // where it is mounted
};

std::vector<Tree> memory_trees(const std::string& mountinfo) {
    std::vector<Tree> trees;
    for_each_piece(mountinfo, '\n', [&](std::string_view line) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::vector<std::string_view> fields;
        for_each_piece(line, ' ', [&](std::string_view field) { fields.push_back(field); });
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) return;
        const std::string_view type = dash[1], options = dash[3];
        const bool v2 = type == "cgroup2";
        if (!v2 && !(type == "cgroup" && has_item(options, "memory"))) return;
        trees.push_back(Tree{v2, unescape(fields[3]), unescape(fields[4])});
    });
    return trees;
}

// The process's cgroup in the v1 memory hierarchy or the v2 one.
bool cgroup_path(std::string_view cgroups, bool v2, std::string& path) {
    bool found = false;
    for_each_piece(cgroups, '\n', [&](std::string_view line) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (found || second == std::string_view::npos) return;
        const std::string_view id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
        if (v2 ? (id == "0" && controllers.empty()) : has_item(controllers, "memory")) {
            path = line.substr(second + 1);
            found = true;
        }
    });
    return found;
}

// The limit of one cgroup folder, when it has one below `ceiling`.
bool read_limit(const std::string& folder, bool v2, std::uint64_t ceiling, std::uint64_t& limit) {
    return read_number(folder + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit) && limit < ceiling;
}

}  // namespace

std::vector<LimitedCgroup> limited_cgroups(const std::string& root, std::uint64_t ceiling) {
    std::vector<LimitedCgroup> limited;
    std::string mountinfo, cgroups;
    if (!read_file(root + "/proc/self/mountinfo", mountinfo) || !read_file(root + "/proc/self/cgroup", cgroups)) {
        return limited;
    }
    for (const Tree& tree : memory_trees(mountinfo)) {
        std::string path;
        if (!cgroup_path(cgroups, tree.v2, path)) continue;
        // The cgroup as seen inside the mount; a mount of another part of
        // the hierarchy does not show it.
        std::string_view inside = path;
        if (tree.root != "/") {
            if (!(inside.starts_with(tree.root) &&
                  (inside.size() == tree.root.size() || inside[tree.root.size()] == '/'))) {
                continue;
            }
            inside.remove_prefix(tree.root.size());
        }
        // The cgroup itself, then each ancestor up to the top of the mount.
        for (;;) {
            while (inside.ends_with('/')) inside.remove_suffix(1);
            LimitedCgroup cgroup{root + tree.mount_point + std::string(inside), tree.v2, 0};
            if (read_limit(cgroup.folder, cgroup.v2, ceiling, cgroup.limit)) limited.push_back(std::move(cgroup));
            if (inside.empty()) break;
            const std::size_t parent = inside.rfind('/');
            inside = parent == std::string_view::npos ? std::string_view() : inside.substr(0, parent);
        }
    }
    return limited;
}

std::uint64_t cgroup_headroom(std::span<const LimitedCgroup> cgroups, std::uint64_t enough) {
    std::uint64_t headroom = kUnlimitedBytes;
    for (const LimitedCgroup& cgroup : cgroups) {
        std::uint64_t usage = 0;
        if (!read_number(cgroup.folder + (cgroup.v2 ? "/memory.current" : "/memory.usage_in_bytes"), usage)) continue;
        std::uint64_t free = cgroup.limit > usage ? cgroup.limit - usage : 0;
        std::string stat;
        if (free < enough && read_file(cgroup.folder + "/memory.stat", stat)) {
            // v1 counts a cgroup's descendants in its usage and in the total_ lines.
            const std::uint64_t cache =
                cgroup.v2 ? add_bytes(stat_value(stat, "active_file"), stat_value(stat, "inactive_file"))
                          : add_bytes(stat_value(stat, "total_active_file"), stat_value(stat, "total_inactive_file"));
            const std::uint64_t used = usage > cache ? usage - cache : 0;
            free = cgroup.limit > used ? cgroup.limit - used : 0;
        }
        headroom = std::min(headroom, free);
    }
    return headroom;
}

std::uint64_t physical_memory_bytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return kUnlimitedBytes;
    return multiply_bytes(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size));
}

namespace {

using Cgroups = std::shared_ptr<const std::vector<LimitedCgroup>>;

// The physical memory, the process's cgroups and their limits, read again a
// second after they were last read. The mutex guards these fields alone: the
// limits are read, and the cgroups' list made and freed, outside it, so that
// a fork never waits for an allocation (support/fork.hpp). Made as the
// module loads, so that its mutex is one the fork handlers know.
struct Limits {
    ForkSafeMutex mutex;
    std::chrono::steady_clock::time_point read_at;
    bool read = false;
    std::uint64_t physical = kUnlimitedBytes;
    Cgroups cgroups;
};
Limits limits;  // never destroyed before the calls of the process end

// The limits as last read, read again when a second old. Threads that read
// them at once each read them, and the last one's stay.
std::pair<std::uint64_t, Cgroups> current_limits() {
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(limits.mutex);
        if (limits.read && now - limits.read_at < std::chrono::seconds(1)) return {limits.physical, limits.cgroups};
    }
    const std::uint64_t physical = physical_memory_bytes();
    const Cgroups fresh = std::make_shared<std::vector<LimitedCgroup>>(limited_cgroups("", physical));
    Cgroups replaced;  // freed once the mutex is released
    {
        const std::lock_guard lock(limits.mutex);
        limits.physical = physical;
        limits.read_at = now;
        limits.read = true;
        replaced = std::exchange(limits.cgroups, fresh);
    }
    return {physical, fresh};
}

}  // namespace

bool fits_in_memory(std::uint64_t bytes) {
    if (bytes < kMemoryCheckedFrom) return true;
    // The usage is read on every check.
    const auto [physical, cgroups] = current_limits();
    return bytes < physical && (cgroups->empty() || bytes < cgroup_headroom(*cgroups, bytes));
}

}  // namespace ostrel
