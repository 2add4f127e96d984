// The mask types and the rasterisation rule: rows of (column, value) runs
// drawn into a row-major mask of 8-bit values or of floats.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "mask/unit_float.hpp"
#include "support/buffer.hpp"
#include "support/memory.hpp"
#include "support/panic.hpp"

namespace ostrel::mask {

// A row-major 8-bit mask: element (r, c) is data[r * width + c].
struct Mask8 {
    std::uint64_t width = 0, height = 0;
    Buffer<std::uint8_t> data;
};

// A row-major image of values v / 255, v an 8-bit value: element (r, c) is
// data[r * width + c].
struct UnitFloatImage {
    std::uint64_t width = 0, height = 0;
    Buffer<float> data;
};

inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
inline constexpr const char* kShapeTooLarge =
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize";

// Whether (height, width) is a representable shape: the product with a zero
// length counted as 1 must fit in a signed 64-bit integer, even when the mask
// would hold no element.
inline bool shape_fits(std::uint64_t width, std::uint64_t height) {
    return multiply_bytes(std::max<std::uint64_t>(height, 1), std::max<std::uint64_t>(width, 1)) <=
           static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

// The rasterisation rule, a row at a time as its runs arrive: the gap since
// the last run carries that run's value, and a run sets its own cell (so a
// run at or left of an earlier one's column overwrites just that cell);
// after the last run, its value holds to the right edge. `fill(from, to,
// value)` draws the cells from .. to - 1, `set(column, value)` one cell.
struct RowRule {
    std::uint64_t next = 0;    // the first column after the last run
    std::uint8_t carried = 0;  // the value that fills the gap before the next run

    template <class Fill, class Set>
    void run(std::uint16_t column, std::uint8_t value, Fill&& fill, Set&& set) {
        if (column > next) fill(next, std::uint64_t{column}, carried);
        set(column, value);
        carried = value;
        next = std::uint64_t{column} + 1;
    }
};

// Draws rows as their runs arrive, one call per row and per run, into a mask
// whose cells are palette[v] for the 8-bit value v (the value itself, or a
// float for the module's result): the record reader's sink. Errors are
// recorded rather than thrown, so that the caller can first learn whether
// the rest of its input is sound; finish() then reports them in the order
// the rule names them: the shape, the memory, and the first write outside
// the mask in drawing order. After an error nothing more is drawn.
template <class T>
class Canvas {
public:
    // The state of the row being drawn. Drawing is off for the row when
    // `limit` is 0: every column then fails the bounds test, whose slow path
    // tells a refused row from a real error by `live`.
    struct Pen {
        T* line = nullptr;
        std::uint64_t limit = 0;  // the width while drawing, 0 once off
        std::uint64_t dirty = 0;  // zeroed masks: columns from here on still hold their zeros
        RowRule rule;
        bool live = false;
    };

    // A mask that does not fit in the memory at hand (support/memory.hpp)
    // counts as memory that cannot be had.
    Canvas(std::uint64_t width, std::uint64_t height, const T (&palette)[256])
        : width_(width), height_(height), palette_(palette) {
        fits_ = shape_fits(width, height);
        if (!fits_) return;
        const auto count = static_cast<std::size_t>(height * width);
        // Large masks are often mostly empty: their zeros come lazily from the
        // kernel and zero cells are skipped. Smaller ones are written cell by
        // cell, which is cheaper than having them cleared first.
        zeroed_ = Buffer<T>::zeroing_is_lazy(count);
        try {
            if (!fits_in_memory(multiply_bytes(count, sizeof(T)))) throw std::bad_alloc();
            buffer_ = zeroed_ ? Buffer<T>::zeroed(count) : Buffer<T>::uninitialised(count);
        } catch (const std::bad_alloc&) {
            no_memory_ = true;
        }
        drawing_ = !no_memory_;
    }

    // Starts the next row, which announces `declared_runs` runs. A row
    // without runs is written as zeros, and needs no place in the mask when
    // the mask has no width.
    Pen begin_row(std::uint64_t declared_runs) {
        const std::uint64_t i = rows_++;
        Pen pen;
        if (!drawing_) return pen;
        if (i >= height_ && (declared_runs != 0 || width_ != 0)) {
            fail();
            return pen;
        }
        pen.line = buffer_.data() + i * width_;
        pen.limit = width_;
        pen.live = true;
        return pen;
    }

    void run(Pen& pen, std::uint16_t column, std::uint16_t value) {
        if (column >= pen.limit) [[unlikely]] {
            if (pen.live) {
                pen.live = false;
                pen.limit = 0;
                fail();
            }
            return;
        }
        // Along a feathered edge most runs are one cell wide: where every cell
        // is written anyway the run's own cell is one store. `zeroed_` stays a
        // member, not a field of the pen: as a value the loop never changes,
        // it lets the compiler split the run loop in two.
        pen.rule.run(
            column, static_cast<std::uint8_t>(value & 0xFF),
            [&](std::uint64_t from, std::uint64_t to, std::uint8_t v) { fill(pen, from, to, v); },
            [&](std::uint16_t c, std::uint8_t v) {
                if (zeroed_) {
                    fill(pen, c, std::uint64_t{c} + 1, v);
                } else {
                    pen.line[c] = palette_[v];
                }
            });
    }

    // The last run's value holds to the right edge.
    void end_row(Pen& pen) {
        if (pen.live && pen.rule.next < width_) fill(pen, pen.rule.next, width_, pen.rule.carried);
    }

    // The mask, or the first error; writes the zeros of the rows the input
    // did not reach unless the mask started zeroed.
    Buffer<T> finish() {
        if (!fits_) panic(kShapeTooLarge);
        if (no_memory_) throw std::bad_alloc();
        if (error_ != nullptr) panic(error_);
        if (!zeroed_ && rows_ < height_) {
            std::fill(buffer_.data() + rows_ * width_, buffer_.data() + height_ * width_, palette_[0]);
        }
        return std::move(buffer_);
    }

private:
    void fill(Pen& pen, std::uint64_t from, std::uint64_t to, std::uint8_t value) {
        if (zeroed_) {
            if (value == 0) to = std::min(to, pen.dirty);
            if (from >= to) return;
            pen.dirty = std::max(pen.dirty, to);
        }
        std::fill(pen.line + from, pen.line + to, palette_[value]);
    }

    void fail() {
        error_ = kIndexOutOfBounds;
        drawing_ = false;
    }

    std::uint64_t width_, height_;
    const T (&palette_)[256];
    Buffer<T> buffer_;
    std::uint64_t rows_ = 0;
    const char* error_ = nullptr;
    bool fits_ = false;
    bool zeroed_ = false;
    bool no_memory_ = false;
    bool drawing_ = false;
};

// What a Canvas stores for each 8-bit value: the value itself, or the
// module's float for it.
template <class T>
struct Palette {
    T cells[256];
    constexpr explicit Palette(T (*of)(T)) : cells{} {
        for (std::size_t v = 0; v < 256; ++v) cells[v] = of(static_cast<T>(v));
    }
};
inline constexpr Palette<std::uint8_t> kIdentityPalette([](std::uint8_t v) { return v; });
inline constexpr Palette<float> kUnitFloatPalette([](float v) { return unit_float(v); });

}  // namespace ostrel::mask
