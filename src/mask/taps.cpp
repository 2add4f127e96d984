// The filters' names, and the taps of whole axes kept for the next resizes: a
// service resizes each frame's mask with the same sizes and scale, and making
// the weights (an expf a tap with the Gaussian) costs about as much as the
// sums over a mostly constant mask. A kept copy is the one fill() made.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "mask/taps.hpp"
#include "support/float_mode.hpp"

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
    Taps taps;
    std::uint64_t used = 0;  // when last copied or made: the oldest is replaced
};

struct KeptAxes {
    std::mutex mutex;
    Kept axes[kKeptAxes];
    std::uint64_t clock = 0;
};

// Never destroyed before the calls of the process end.
KeptAxes& kept_axes() {
    static KeptAxes kept;
    return kept;
}

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

}  // namespace

bool Taps::fill_all(const Axis& axis, std::uint64_t n_out, bool trim) {
    const Key key{axis.size(), n_out, axis.filter().apply, axis.filter().support, trim, axis.is_unchanged()};
    // Only taps made in the defined floating-point mode are kept or handed out.
    const bool keepable = taps_bytes(axis, n_out) <= kMostKeptBytes && in_defined_float_mode();
    KeptAxes& kept = kept_axes();
    if (keepable) {
        const std::lock_guard lock(kept.mutex);
        for (Kept& k : kept.axes) {
            if (k.used != 0 && k.key == key) {
                copy_taps(k.taps, *this);
                k.used = ++kept.clock;
                return true;
            }
        }
    }
    fill(axis, 0, n_out, trim);
    if (!keepable || bytes_of(*this) > kMostKeptBytes) return false;
    const std::lock_guard lock(kept.mutex);
    // Another thread may have kept the same axis meanwhile: the first stays.
    const auto same = [&](const Kept& k) { return k.used != 0 && k.key == key; };
    if (std::any_of(std::begin(kept.axes), std::end(kept.axes), same)) return false;
    Kept* oldest = std::min_element(std::begin(kept.axes), std::end(kept.axes),
                                    [](const Kept& a, const Kept& b) { return a.used < b.used; });
    // A copy that cannot be had leaves the axis unkept.
    try {
        copy_taps(*this, oldest->taps);
    } catch (const std::bad_alloc&) {
        oldest->used = 0;
        return false;
    }
    oldest->key = key;
    oldest->used = ++kept.clock;
    return false;
}

}  // namespace taps
}  // namespace ostrel::mask
