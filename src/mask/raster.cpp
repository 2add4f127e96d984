#include "mask/raster.hpp"

#include <limits>

namespace ostrel {

bool shape_fits(std::uint64_t width, std::uint64_t height) {
    std::uint64_t cells = 0;
    return !__builtin_mul_overflow(std::max<std::uint64_t>(height, 1), std::max<std::uint64_t>(width, 1), &cells) &&
           cells <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

Mask8 reconstruct_ndarray(const CompactMaskModel& model, std::uint64_t width, std::uint64_t height) {
    Canvas<std::uint8_t> canvas(width, height, kIdentityLevels.levels);
    for (std::size_t i = 0; i < model.row_count(); ++i) {
        const std::span<const Run> runs = model.row(i);
        auto pen = canvas.begin_row(runs.size());
        for (const Run& run : runs) canvas.run(pen, run.column, run.value);
        canvas.end_row(pen);
    }
    return Mask8{height, width, canvas.finish()};
}

}  // namespace ostrel
