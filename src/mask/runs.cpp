// The record read into rows of runs. An ascending row is already its own
// list of runs; a row whose columns do not ascend is drawn by the rule
// (RowRule, raster.hpp) into one 8-bit row and read back as maximal pieces.
// Errors are found and ordered as the Canvas finds and orders them.
#include "mask/runs.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "mask/record.hpp"
#include "support/panic.hpp"

namespace ostrel::mask {
namespace {

// The record reader's sink: keeps each row's runs as maximal pieces. Like the
// Canvas it records errors rather than throwing them, so that a record that
// does not decode is reported as such first, and after an error keeps
// nothing more.
class RunSink {
public:
    // The row being read. While `limit` is the width, runs whose columns
    // ascend below it become pieces at `out` as they arrive, one 32-bit store
    // each, in room made for every run the row announces; with `limit` 0
    // every run takes the slow path, which follows the row's mode. The pen's
    // address is never taken, so that it lives in registers: it is passed by
    // value.
    struct Pen {
        std::uint32_t* out = nullptr;
        std::uint64_t next = 0;  // the first column after the last run
        std::uint64_t limit = 0;
        std::uint8_t last = 0;  // the value of the row's last piece
    };

    // `record_bytes`: the size of the bytes the record is read from, which
    // bounds the pieces its runs make.
    RunSink(std::uint64_t width, std::uint64_t height, std::size_t record_bytes) : width_(width), height_(height) {
        mask_.width = width;
        mask_.height = height;
        fits_ = shape_fits(width, height);
        keeping_ = fits_;
        if (keeping_) reserve(record_bytes);
    }

    // Asked before each row: once kRowsBeforeChoice rows are kept, a record
    // whose rows take more room as runs than as pixels is drawn from here on,
    // into a Canvas that reads the rest of the rows itself.
    Canvas<std::uint8_t>* handover() {
        if (rows_ >= kRowsBeforeChoice && keeping_ && !canvas_ && runs_outgrow_pixels(rows_, n_, width_)) {
            draw_instead();
        }
        return canvas_.get();
    }

    Pen begin_row(std::uint64_t declared_runs) {
        Pen pen;
        const std::uint64_t i = rows_++;
        mode_ = Mode::Off;
        if (!keeping_) return pen;
        if (i >= height_ && (declared_runs != 0 || width_ != 0)) {
            fail();
            return pen;
        }
        // Room for the row's first piece and the runs it announces: at most
        // kMostRuns, a column each, where they ascend; a row announcing more
        // cannot, and is drawn from its first run.
        const bool ascending = declared_runs <= kMostRuns;
        if (!room(n_ + 1 + static_cast<std::size_t>(ascending ? declared_runs : 0))) return pen;
        // A row is 0 left of its first run: it starts as one piece of 0, which
        // a first run at column 0 replaces (settle_row()).
        row_first_ = n_;
        put(0, 0);
        mode_ = Mode::Runs;
        pen.out = pieces_ + n_;
        pen.limit = width_;
        if (!ascending) pen = draw_so_far(pen);
        return pen;
    }

    void run(Pen& pen, std::uint16_t column, std::uint16_t value) {
        const auto byte = static_cast<std::uint8_t>(value & 0xFF);
        if (column >= pen.next && column < pen.limit) [[likely]] {
            *pen.out = RunMask::piece(column, byte);
            pen.out += byte != pen.last;
            pen.last = byte;
            pen.next = std::uint64_t{column} + 1;
            return;
        }
        pen = slow_run(pen, column, byte);
    }

    void end_row(Pen pen) {
        if (mode_ == Mode::Runs) n_ = static_cast<std::size_t>(pen.out - pieces_);
        if (mode_ == Mode::Drawn && !read_back()) return;
        if (mode_ != Mode::Runs && mode_ != Mode::Drawn) return;
        settle_row();
        keep([&] { mask_.begin.push_back(n_); });
    }

    // The errors in the Canvas's order. A record with a run outside the mask
    // ends as drawing it would: where the Canvas could not have had the
    // mask, that comes first.
    RunMask finish() {
        if (!fits_) panic(kShapeTooLarge);
        if (canvas_) {
            mask_.drawn = Mask8{width_, height_, canvas_->finish()};
            return std::move(mask_);
        }
        if (no_memory_) throw std::bad_alloc();
        if (error_ != nullptr && !fits_in_memory(width_ * height_)) throw std::bad_alloc();
        if (error_ != nullptr) panic(error_);
        return std::move(mask_);
    }

private:
    // Runs: pieces as they arrive; Drawn: the row drawn into row_ by the
    // rule; Off: after an error.
    enum class Mode { Off, Runs, Drawn };

    Pen slow_run(Pen pen, std::uint16_t column, std::uint8_t byte) {
        if (mode_ == Mode::Off) return pen;
        if (column >= width_) {
            fail();
            return Pen{};
        }
        // A run at or left of an earlier one: from here the row is drawn.
        if (mode_ == Mode::Runs) draw_so_far(pen);
        rule_.run(
            column, byte,
            [&](std::uint64_t from, std::uint64_t to, std::uint8_t v) {
                std::fill(row_.begin() + static_cast<std::ptrdiff_t>(from), row_.begin() + static_cast<std::ptrdiff_t>(to), v);
            },
            [&](std::uint16_t c, std::uint8_t v) { row_[c] = v; });
        return Pen{};
    }

    // Draws the row's pieces so far, columns 0 .. pen.next - 1, into row_ and
    // takes them back; the rule goes on from there.
    Pen draw_so_far(const Pen& pen) {
        n_ = static_cast<std::size_t>(pen.out - pieces_);
        row_.resize(kRunColumns);
        for (std::size_t p = row_first_; p < n_; ++p) {
            const std::uint64_t end = p + 1 < n_ ? RunMask::start_of(pieces_[p + 1]) : pen.next;
            std::fill(row_.begin() + RunMask::start_of(pieces_[p]), row_.begin() + static_cast<std::ptrdiff_t>(end),
                      RunMask::value_of(pieces_[p]));
        }
        rule_ = RowRule{pen.next, pen.last};
        n_ = row_first_;
        mode_ = Mode::Drawn;
        return Pen{};
    }

    // A run at column 0 takes the place of the piece of 0 the row started
    // with, and a row of 0 throughout keeps no piece.
    void settle_row() {
        if (n_ > row_first_ + 1 && RunMask::start_of(pieces_[row_first_ + 1]) == 0) {
            std::copy(pieces_ + row_first_ + 1, pieces_ + n_, pieces_ + row_first_);
            --n_;
        }
        if (n_ == row_first_ + 1 && RunMask::value_of(pieces_[row_first_]) == 0) n_ = row_first_;
    }

    // The drawn row as maximal pieces: its cells up to the rule's last run,
    // then the carried value to the right edge.
    bool read_back() {
        if (!room(row_first_ + static_cast<std::size_t>(rule_.next) + 1)) return false;
        for (std::uint64_t c = 0; c < rule_.next; ++c) {
            if (c == 0 || row_[c] != RunMask::value_of(pieces_[n_ - 1])) put(static_cast<std::uint32_t>(c), row_[c]);
        }
        if (rule_.next < width_ && rule_.carried != RunMask::value_of(pieces_[n_ - 1])) {
            put(static_cast<std::uint32_t>(rule_.next), rule_.carried);
        }
        return true;
    }

    // Moves to a Canvas: the rows kept so far are drawn into it as runs (a
    // row's pieces are runs of the rule), and the Canvas finds the rest of
    // the errors.
    void draw_instead() {
        canvas_ = std::make_unique<Canvas<std::uint8_t>>(width_, height_, kIdentityPalette.cells);
        for (std::size_t r = 0; r < mask_.row_count(); ++r) {
            auto pen = canvas_->begin_row(mask_.begin[r + 1] - mask_.begin[r]);
            for (std::size_t p = mask_.begin[r]; p < mask_.begin[r + 1]; ++p) {
                canvas_->run(pen, static_cast<std::uint16_t>(RunMask::start_of(pieces_[p])), RunMask::value_of(pieces_[p]));
            }
            canvas_->end_row(pen);
        }
        mask_.begin = {0};
        mask_.pieces.reset();
        pieces_ = nullptr;
        n_ = capacity_ = 0;
    }

    void put(std::uint32_t start, std::uint8_t value) { pieces_[n_++] = RunMask::piece(start, value); }

    // Room made once, before the first row, for the pieces the record can
    // hold: a run takes 3 bytes or more, and runs that outgrow the pixels
    // are drawn instead. Its pages are only touched as pieces arrive, so
    // the memory used is that of the pieces kept, with no copy of them as
    // they grow. Growth in room() still serves the rare rows that make
    // more pieces than runs, and memory that cannot be reserved is left to
    // it.
    void reserve(std::size_t record_bytes) {
        const std::uint64_t pieces = std::min<std::uint64_t>(record_bytes / 3, width_ * height_ / kPieceBytes) + 1;
        try {
            mask_.pieces = std::make_unique_for_overwrite<std::uint32_t[]>(static_cast<std::size_t>(pieces));
            pieces_ = mask_.pieces.get();
            capacity_ = static_cast<std::size_t>(pieces);
        } catch (const std::bad_alloc&) {
        }
    }

    // Room for `wanted` pieces, grown geometrically so that many short rows
    // do not reallocate once each. The room is not written before the
    // pieces are: its pages are only touched as runs arrive.
    bool room(std::size_t wanted) {
        if (wanted <= capacity_) return true;
        const std::size_t size = std::max(wanted, 2 * capacity_);
        return keep([&] {
            auto grown = std::make_unique_for_overwrite<std::uint32_t[]>(size);
            std::copy(pieces_, pieces_ + n_, grown.get());
            mask_.pieces = std::move(grown);
            pieces_ = mask_.pieces.get();
            capacity_ = size;
        });
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
            mode_ = Mode::Off;
            return false;
        }
    }

    void fail() {
        error_ = kIndexOutOfBounds;
        keeping_ = false;
        mode_ = Mode::Off;
    }

    std::uint64_t width_, height_;
    RunMask mask_;
    std::uint32_t* pieces_ = nullptr;
    std::size_t n_ = 0, capacity_ = 0, row_first_ = 0;
    Mode mode_ = Mode::Off;
    RowRule rule_;
    std::vector<std::uint8_t> row_;
    std::uint64_t rows_ = 0;
    const char* error_ = nullptr;
    bool fits_ = false;
    bool no_memory_ = false;
    bool keeping_ = false;
    std::unique_ptr<Canvas<std::uint8_t>> canvas_;
};

}  // namespace

std::optional<RunMask> decode_runs(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height) {
    RunSink sink(width, height, bytes.size());
    if (!RecordReader(bytes, sink).read()) return std::nullopt;
    return sink.finish();
}

}  // namespace ostrel::mask
