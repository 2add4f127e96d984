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
    struct Pen {
        std::size_t first = 0;  // the row's first run in raw_
        bool live = false;
    };

    RunSink(std::uint64_t width, std::uint64_t height) : width_(width), height_(height) {
        mask_.width = width;
        mask_.height = height;
        fits_ = shape_fits(width, height);
        keeping_ = fits_;
    }

    void begin_rows(std::uint64_t) {}

    Pen begin_row(std::uint64_t declared_runs) {
        const std::uint64_t i = rows_++;
        Pen pen;
        if (!keeping_) return pen;
        if (i >= height_ && (declared_runs != 0 || width_ != 0)) {
            fail(kIndexOutOfBounds);
            return pen;
        }
        pen.first = raw_.size();
        pen.live = true;
        return pen;
    }

    void run(Pen& pen, std::uint16_t column, std::uint16_t value) {
        if (!pen.live) return;
        if (column >= width_) {
            pen.live = false;
            fail(kIndexOutOfBounds);
            return;
        }
        try {
            raw_.push_back({column, static_cast<std::uint8_t>(value & 0xFF)});
        } catch (const std::bad_alloc&) {
            pen.live = false;
            no_memory_ = true;
            keeping_ = false;
        }
    }

    void end_row(Pen& pen) {
        if (!pen.live) return;
        try {
            keep_row(std::span<const Raw>(raw_).subspan(pen.first));
        } catch (const std::bad_alloc&) {
            no_memory_ = true;
            keeping_ = false;
        }
        raw_.resize(pen.first);
    }

    RunMask finish() {
        if (!fits_) panic(kShapeTooLarge);
        if (no_memory_) throw std::bad_alloc();
        if (error_ != nullptr) panic(error_);
        return std::move(mask_);
    }

private:
    struct Raw {
        std::uint16_t column;
        std::uint8_t value;
    };

    // Appends to the row being kept a piece from `start` on, unless it
    // continues the last piece's value; the row is 0 left of its first run.
    void piece(std::uint64_t start, std::uint8_t value) {
        if (mask_.values.size() == mask_.begin.back()) {
            mask_.starts.push_back(0);
            mask_.values.push_back(start == 0 ? value : 0);
            if (start == 0) return;
        }
        if (mask_.values.back() == value) return;
        mask_.starts.push_back(static_cast<std::uint32_t>(start));
        mask_.values.push_back(value);
    }

    void keep_row(std::span<const Raw> runs) {
        bool ascending = true;
        for (std::size_t k = 1; k < runs.size() && ascending; ++k) ascending = runs[k].column > runs[k - 1].column;
        if (ascending) {
            for (const Raw& r : runs) piece(r.column, r.value);
        } else {
            // The rule drawn into one row: a gap carries the previous value,
            // and a run at or left of an earlier one moves the fill back.
            std::uint64_t next = 0;
            std::uint8_t carried = 0;
            for (const Raw& r : runs) {
                if (r.column > next) std::fill(row_.begin() + next, row_.begin() + r.column, carried);
                row_[r.column] = carried = r.value;
                next = std::uint64_t{r.column} + 1;
            }
            for (std::uint64_t c = 0; c < next; ++c) piece(c, row_[c]);
            if (next < width_) piece(next, carried);
        }
        // A row that is 0 throughout keeps no piece.
        if (mask_.values.size() == mask_.begin.back() + 1 && mask_.values.back() == 0) {
            mask_.starts.pop_back();
            mask_.values.pop_back();
        }
        mask_.begin.push_back(mask_.values.size());
    }

    void fail(const char* error) {
        error_ = error;
        keeping_ = false;
    }

    std::uint64_t width_, height_;
    RunMask mask_;
    std::vector<Raw> raw_;
    std::array<std::uint8_t, 65536> row_{};
    std::uint64_t rows_ = 0;
    const char* error_ = nullptr;
    bool fits_ = false;
    bool no_memory_ = false;
    bool keeping_ = false;
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
