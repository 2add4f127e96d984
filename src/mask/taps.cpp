// The filters' names, and the taps of whole axes kept for the next resizes: a
// service resizes each frame's mask with the same sizes and scale, and making
// the weights (an expf a tap with the Gaussian) costs about as much as the
// sums over a mostly constant mask. A kept copy is the one fill() made.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "mask/taps.hpp"
#include "support/float_mode.hpp"
#include "support/fork.hpp"

namespace ostrel::mask {

FilterType filter_from_name(std::string_view name) {
    if (name == "nearest" || name == "lowest") return FilterType::Nearest;
    // "lanzos" and "highest" are names of the cubic, not of a kernel of their own.
    if (name == "catmullrom" || name == "cubic" || name == "medium" || name == "lanzos" || name == "highest") {
        return FilterType::CatmullRom;
    }
    if (name == "gaussian" || name == "high") return FilterType::Gaussian;
    return FilterType::Linear;
}

namespace taps {
namespace {

struct Key {
    std::uint64_t size = 0, n_out = 0;
    void (*apply)(float*, std::size_t) = nullptr;
    float support = 0.0f;
    bool trim = false, unchanged = false;

    bool operator==(const Key&) const = default;
};

struct Kept {
    Key key;
    std::shared_ptr<const Taps> taps;  // none in a slot not yet used
    std::uint64_t used = 0;             // when last copied or made: the oldest is replaced
};

// The mutex guards the slots alone: a kept copy is never changed, so it is
// made, copied out and freed outside it, and a fork never waits for an
// allocation (support/fork.hpp).
struct KeptAxes {
    ForkSafeMutex mutex;
    Kept axes[kKeptAxes];
    std::uint64_t clock = 0;
};

// Made as the module loads, so that its mutex is one the fork handlers know;
// never destroyed before the calls of the process end.
KeptAxes kept_axes;

std::size_t bytes_of(const Taps& t) {
    return t.first.size() * sizeof(std::uint64_t) + t.offsets.size() * sizeof(std::size_t) +
           t.weights.size() * sizeof(float);
}

void copy_taps(const Taps& from, Taps& to) {
    to.first.assign(from.first.begin(), from.first.end());
    to.offsets.assign(from.offsets.begin(), from.offsets.end());
    to.weights.assign(from.weights.begin(), from.weights.end());
    to.base = from.base;
    to.error = from.error;
}

std::shared_ptr<const Taps> find_kept(const Key& key) {
    const std::lock_guard lock(kept_axes.mutex);
    for (Kept& k : kept_axes.axes) {
        if (k.taps && k.key == key) {
            k.used = ++kept_axes.clock;
            return k.taps;
        }
    }
    return nullptr;
}

// Keeps `taps` in place of the oldest, unless another thread kept the same
// axis meanwhile: the first stays. Hands back what it replaced, to be freed
// once the mutex is released.
std::shared_ptr<const Taps> keep(const Key& key, std::shared_ptr<const Taps> taps) {
    const std::lock_guard lock(kept_axes.mutex);
    const auto same = [&](const Kept& k) { return k.taps && k.key == key; };
    if (std::any_of(std::begin(kept_axes.axes), std::end(kept_axes.axes), same)) return taps;
    Kept* oldest = std::min_element(std::begin(kept_axes.axes), std::end(kept_axes.axes),
                                    [](const Kept& a, const Kept& b) { return a.used < b.used; });
    oldest->key = key;
    oldest->used = ++kept_axes.clock;
    return std::exchange(oldest->taps, std::move(taps));
}

}  // namespace

bool Taps::fill_all(const Axis& axis, std::uint64_t n_out, bool trim) {
    const Key key{axis.size(), n_out, axis.filter().apply, axis.filter().support, trim, axis.is_unchanged()};
    // Only taps made in the defined floating-point mode are kept or handed out.
    const bool keepable = taps_bytes(axis, n_out) <= kMostKeptBytes && in_defined_float_mode();
    if (keepable) {
        if (const std::shared_ptr<const Taps> found = find_kept(key)) {
            copy_taps(*found, *this);
            return true;
        }
    }
    fill(axis, 0, n_out, trim);
    if (!keepable || bytes_of(*this) > kMostKeptBytes) return false;
    // A copy that cannot be had leaves the axis unkept.
    try {
        auto copy = std::make_shared<Taps>();
        copy_taps(*this, *copy);
        keep(key, std::move(copy));
    } catch (const std::bad_alloc&) {
    }
    return false;
}

}  // namespace taps
}  // namespace ostrel::mask
