// The record read into rows of runs. What keeps the bits: the rasterisation
// rule lives in one place for rows whose columns do not strictly ascend (they
// are drawn by it into one 8-bit row and read back as maximal runs); an
// ascending row is already its own list of runs. Errors are found and ordered
// as the Canvas finds and orders them.
#include "mask/runs.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <utility>

#include "mask/record_reader.hpp"
#include "support/panic.hpp"

namespace ostrel::mask {
namespace {

// The record reader's sink: keeps each row's runs as maximal pieces. Like the
// Canvas it records errors rather than throwing them, so that a record that
// does not decode is reported as such first, and after an error keeps
// nothing more.
class RunSink {
public:
    // The row being kept. Runs whose columns ascend become pieces as they
    // arrive; from the first that does not, the row is drawn by the rule
    // into row_ and read back when it ends.
    struct Pen {
        std::uint64_t next = 0;    // the first column after the last run
        std::uint8_t carried = 0;  // the last run's value
        bool live = false;
        bool drawn = false;
        bool kept = false;  // whether the row has a piece yet
        bool drawing = false;  // the row goes to the canvas
        Canvas<std::uint8_t>::Pen canvas;
    };

    RunSink(std::uint64_t width, std::uint64_t height) : width_(width), height_(height) {
        mask_.width = width;
        mask_.height = height;
        fits_ = shape_fits(width, height);
        keeping_ = fits_;
    }

    Pen begin_row(std::uint64_t declared_runs) {
        Pen pen;
        if (keeping_ && !canvas_ && rows_ >= kRowsBeforeChoice) {
            std::uint64_t cells = 0;
            if (!__builtin_mul_overflow(rows_, width_, &cells) && mask_.values.size() * kDrawnRuns > cells) draw_instead();
        }
        if (canvas_) {
            ++rows_;
            pen.drawing = true;
            pen.canvas = canvas_->begin_row(declared_runs);
            return pen;
        }
        const std::uint64_t i = rows_++;
        if (!keeping_) return pen;
        if (i >= height_ && (declared_runs != 0 || width_ != 0)) {
            fail(kIndexOutOfBounds);
            return pen;
        }
        // Room for the runs the row announces, at most 1 MiB of them ahead
        // of their arrival, grown geometrically so that many short rows do
        // not reallocate once each.
        const std::size_t wanted =
            mask_.values.size() + static_cast<std::size_t>(std::min<std::uint64_t>(declared_runs, kMaxReservedRuns)) + 1;
        if (wanted > mask_.values.capacity()) {
            const std::size_t room = std::max(wanted, 2 * mask_.values.capacity());
            if (!keep([&] {
                    mask_.starts.reserve(room);
                    mask_.values.reserve(room);
                })) {
                return pen;
            }
        }
        pen.live = true;
        return pen;
    }

    void run(Pen& pen, std::uint16_t column, std::uint16_t value) {
        if (pen.drawing) {
            canvas_->run(pen.canvas, column, value);
            return;
        }
        if (!pen.live) return;
        if (column >= width_) {
            pen.live = false;
            fail(kIndexOutOfBounds);
            return;
        }
        const auto byte = static_cast<std::uint8_t>(value & 0xFF);
        if (!pen.drawn && column >= pen.next) {
            // The common case inline: a new value with room reserved for it.
            std::vector<std::uint32_t>& starts = mask_.starts;
            std::vector<std::uint8_t>& values = mask_.values;
            if (pen.kept && values.size() < values.capacity() && starts.size() < starts.capacity()) {
                if (byte != values.back()) {
                    starts.push_back(column);
                    values.push_back(byte);
                }
            } else if (!piece(column, byte)) {
                pen.live = false;
                return;
            }
            pen.kept = true;
        } else {
            if (!pen.drawn) draw_so_far(pen);
            // The rule: a gap carries the previous value, and a run at or
            // left of an earlier one moves the fill back.
            if (column > pen.next) std::fill(row_.begin() + pen.next, row_.begin() + column, pen.carried);
            row_[column] = byte;
        }
        pen.next = std::uint64_t{column} + 1;
        pen.carried = byte;
    }

    void end_row(Pen& pen) {
        if (pen.drawing) {
            canvas_->end_row(pen.canvas);
            return;
        }
        if (!pen.live) return;
        if (pen.drawn) {
            for (std::uint64_t c = 0; c < pen.next; ++c) {
                if (!piece(c, row_[c])) return;
            }
            if (pen.next < width_ && !piece(pen.next, pen.carried)) return;
        }
        // A row that is 0 throughout keeps no piece.
        if (mask_.values.size() == mask_.begin.back() + 1 && mask_.values.back() == 0) {
            mask_.starts.pop_back();
            mask_.values.pop_back();
        }
        if (!keep([&] { mask_.begin.push_back(mask_.values.size()); })) pen.live = false;
    }

    RunMask finish() {
        if (!fits_) panic(kShapeTooLarge);
        if (canvas_) {
            mask_.drawn = Mask8{width_, height_, canvas_->finish()};
            return std::move(mask_);
        }
        if (no_memory_) throw std::bad_alloc();
        if (error_ != nullptr) panic(error_);
        return std::move(mask_);
    }

private:
    static constexpr std::size_t kMaxReservedRuns = (std::size_t{1} << 20) / 5;
    // Once this many rows are in, a mask averaging more pieces a row than
    // width / kDrawnRuns is drawn from there on: its runs would take more
    // room than its pixels, and the resampler would read them as pixels.
    static constexpr std::uint64_t kRowsBeforeChoice = 16;
    static constexpr std::uint64_t kDrawnRuns = 4;

    // Moves to a Canvas: the rows kept so far are drawn into it as runs (a
    // row's pieces are runs of the rule), later rows go straight to it, and
    // the Canvas finds the rest of the errors.
    void draw_instead() {
        canvas_ = std::make_unique<Canvas<std::uint8_t>>(width_, height_, kIdentityPalette.cells);
        for (std::size_t r = 0; r < mask_.row_count(); ++r) {
            auto pen = canvas_->begin_row(mask_.begin[r + 1] - mask_.begin[r]);
            for (std::size_t p = mask_.begin[r]; p < mask_.begin[r + 1]; ++p) {
                canvas_->run(pen, static_cast<std::uint16_t>(mask_.starts[p]), mask_.values[p]);
            }
            canvas_->end_row(pen);
        }
        mask_.begin = {0};
        std::vector<std::uint32_t>().swap(mask_.starts);
        std::vector<std::uint8_t>().swap(mask_.values);
    }

    // Runs `grow`, which may allocate; memory that cannot be had stops the
    // keeping and is reported by finish().
    template <class Grow>
    bool keep(Grow&& grow) {
        try {
            grow();
            return true;
        } catch (const std::bad_alloc&) {
            no_memory_ = true;
            keeping_ = false;
            return false;
        }
    }

    // Appends to the row being kept a piece from `start` on, unless it
    // continues the last piece's value; the row is 0 left of its first run.
    bool piece(std::uint64_t start, std::uint8_t value) {
        const std::size_t row_first = mask_.begin.back();
        if (mask_.values.size() > row_first && mask_.values.back() == value) return true;
        if (mask_.values.size() > row_first && mask_.values.size() < mask_.values.capacity() &&
            mask_.starts.size() < mask_.starts.capacity()) {
            mask_.starts.push_back(static_cast<std::uint32_t>(start));
            mask_.values.push_back(value);
            return true;
        }
        return keep([&] {
            if (mask_.values.size() == row_first && start != 0) {
                mask_.starts.push_back(0);
                mask_.values.push_back(0);
                if (value == 0) return;
            }
            mask_.starts.push_back(static_cast<std::uint32_t>(start));
            mask_.values.push_back(value);
        });
    }

    // Draws the row's pieces so far, columns 0 .. pen.next - 1, into row_ and
    // takes them back.
    void draw_so_far(Pen& pen) {
        const std::size_t row_first = mask_.begin.back(), row_end = mask_.values.size();
        for (std::size_t p = row_first; p < row_end; ++p) {
            const std::uint64_t end = p + 1 < row_end ? mask_.starts[p + 1] : pen.next;
            std::fill(row_.begin() + mask_.starts[p], row_.begin() + end, mask_.values[p]);
        }
        mask_.starts.resize(row_first);
        mask_.values.resize(row_first);
        pen.drawn = true;
    }

    void fail(const char* error) {
        error_ = error;
        keeping_ = false;
    }

    std::uint64_t width_, height_;
    RunMask mask_;
    std::array<std::uint8_t, 65536> row_{};
    std::uint64_t rows_ = 0;
    const char* error_ = nullptr;
    bool fits_ = false;
    bool no_memory_ = false;
    bool keeping_ = false;
    std::unique_ptr<Canvas<std::uint8_t>> canvas_;
};

}  // namespace

std::size_t RunMask::pieces_in(std::uint64_t lo, std::uint64_t hi) const {
    const std::uint64_t n = row_count();
    return begin[static_cast<std::size_t>(std::min(hi, n))] - begin[static_cast<std::size_t>(std::min(lo, n))];
}

std::optional<RunMask> decode_runs(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height) {
    auto sink = std::make_unique<RunSink>(width, height);
    if (!RecordReader(bytes, *sink).read()) return std::nullopt;
    return sink->finish();
}

}  // namespace ostrel::mask
