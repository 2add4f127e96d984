// The resize engine: one two-pass resampler over source rows, a block of
// kBlockRows output rows and a strip of output columns at a time, into the
// result. The source rows come from a drawn 8-bit mask, or are drawn from
// the record's runs for the tiles that need them.
//
// What keeps the bits: every value written is the sum the two passes define
// for that pixel (resize.hpp), over the taps and weights of taps.hpp, from
// +0 in ascending tap order, each product and sum rounded on its own, then
// rounded to an 8-bit v and written as v / 255 (unit_float.hpp). A dense
// tile computes those sums on the kernels of resize_lanes.hpp. From runs,
// a block's outputs are split by where the runs of its source rows change:
// - An output whose window holds a column where a piece of one of the
//   block's source rows starts is summed in a dense tile, from its rows
//   drawn into 8-bit values.
// - Every other output's window lies inside one stretch of columns where
//   each of its row's tap rows holds one value, so every column of the
//   window has the same vertical sum c, summed once over the row's taps in
//   their order. Its value is then the sum of c * w_k over its weights,
//   which rounds to the 8-bit value of c itself where c lies farther from
//   the values where the rounding changes than that sum can lie from c
//   (windows_keep, a bound on the rounding of the sum), and +0 for c = +0
//   whatever the weights: each product is then +0, -0 or NaN, a sum of
//   zeros from +0 stays +0, and NaN rounds to 0. Those outputs are left as
//   the zero-filled result's +0.
// - A block whose source rows are all 0 is left as it is, likewise.
// A change that computed a value any other way (a different order, a
// different set of taps, a shortcut without such a proof) would break these
// bits.
#include "mask/resize.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "mask/resize_kernels.hpp"
#include "mask/unit_float.hpp"
#include "support/memory.hpp"

namespace ostrel::mask {
namespace {

using namespace taps;

std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }

// The value of a window whose taps all read c.
float constant_window(float c, const float* w, std::size_t n) {
    float acc = 0.0f;
    for (std::size_t k = 0; k < n; ++k) acc = acc + c * w[k];
    return unit_float_of_sum<float, std::int32_t>(acc);
}

// A source row's piece holding some column: pieces begin .. end - 1 are the
// row's; a row without pieces has at == end and is 0.
struct Cursor {
    std::size_t begin = 0, at = 0, end = 0;
};

// A dense span in a tile: its outputs, the source columns lo .. hi - 1 they
// read, and where those lie among the tile's columns.
struct TileSpan {
    std::size_t x0 = 0, x1 = 0;
    std::uint64_t lo = 0, hi = 0;
    std::size_t at = 0;
};

class Engine {
public:
    Engine(const ResizePlan& plan, const RunMask* runs, const Mask8* drawn, SimdPath path, bool zeroed, float* out)
        : plan_(plan), runs_(runs), drawn_(drawn), kernels_(kernels_for<ResizeKernels>(path)), zeroed_(zeroed), out_(out),
          w_out_(static_cast<std::size_t>(plan.width_out)), h_out_(static_cast<std::size_t>(plan.height_out)),
          rows_axis_(plan.rows), columns_axis_(plan.columns) {
        if (plan.all_rows) rows_of_.fill_all(rows_axis_, h_out_, true);
        trim_columns_ = sums_of_values_are_finite(rows_axis_, h_out_, plan.all_rows ? &rows_of_ : nullptr);
        if (plan.all_columns) new_columns(0, w_out_);
        // The first block has the most rows; the column layout has a lane for
        // each of kBlockRows.
        const std::size_t rows = std::min(kBlockRows, h_out_);
        sums_.resize(rows * plan.tile_columns);
        if (rows >= kRowLayoutRows) block_.resize(kBlockRows * plan.tile_columns);
        rebased_.resize(plan.strip_outputs);
        if (runs_ == nullptr) return;
        marks_.assign(static_cast<std::size_t>(std::min(plan.width, kRunColumns) / 64 + 1), 0);
        rows_.resize(plan.drawn_bytes + kDrawSlack);
        zero_.resize(plan.drawn_rows);
        if (plan.block_bytes != 0) block_rows_.resize(plan.block_bytes + kDrawSlack);
    }

    void run() {
        for (std::size_t y0 = 0; y0 < h_out_; y0 += kBlockRows) {
            if (!begin_block(y0)) {
                if (!zeroed_) std::fill_n(out_ + y0 * w_out_, count_ * w_out_, 0.0f);
                continue;
            }
            for (std::size_t x0 = 0; x0 < w_out_; x0 += plan_.strip_outputs) {
                const std::size_t x1 = std::min(w_out_, x0 + plan_.strip_outputs);
                if (!plan_.all_columns) new_columns(x0, x1);
                classify(x0, x1);
                flush_tile();
            }
            clear_marks();
        }
    }

private:
    std::uint64_t first(std::size_t j) const { return columns_of_.first[j - columns_of_.base]; }
    std::uint64_t end(std::size_t j) const {
        const std::size_t i = j - columns_of_.base;
        return columns_of_.first[i] + (columns_of_.offsets[i + 1] - columns_of_.offsets[i]);
    }
    std::uint64_t row_end(std::size_t y) const {
        const std::size_t i = y - rows_of_.base;
        return rows_of_.first[i] + (rows_of_.offsets[i + 1] - rows_of_.offsets[i]);
    }

    // The taps of output columns x0 .. x1 - 1, all at once (kept between
    // calls) or a strip's.
    void new_columns(std::size_t x0, std::size_t x1) {
        if (plan_.all_columns) {
            columns_of_.fill_all(columns_axis_, w_out_, trim_columns_);
        } else {
            columns_of_.fill(columns_axis_, x0, x1, trim_columns_);
        }
        strip_x0_ = x0;
        strip_x1_ = x1;
        forward_known_ = false;
    }

    // Whether the strip's windows move forward: their first and end columns
    // never decrease from one output to the next. Found when first asked.
    bool columns_forward() {
        if (forward_known_) return columns_forward_;
        forward_known_ = columns_forward_ = true;
        for (std::size_t j = strip_x0_ + 1; j < strip_x1_ && columns_forward_; ++j) {
            columns_forward_ = first(j) >= first(j - 1) && end(j) >= end(j - 1);
        }
        return columns_forward_;
    }

    // Whether every window of c among the columns' rounds to the 8-bit
    // value c itself rounds to: the 8-bit value changes only at k + 0.5 (k
    // from 0 to 254), and c lies farther from the nearest of those than
    // the window's sum can lie from c (window_error, and below 2^-100 for
    // products that underflow).
    bool windows_keep(float c) const {
        const double t = c;
        const double boundary = !(t >= 0.0) ? 0.5 : t >= 254.0 ? 254.5 : static_cast<int>(t) + 0.5;
        return std::fabs(t - boundary) > std::fabs(t) * (columns_of_.error * (1.0 + 0x1p-40)) + 0x1p-100;
    }

    bool begin_block(std::size_t y0);
    void mark_boundaries();
    void clear_marks() {
        if (any_mark_) std::fill(marks_.begin() + marked_lo_, marks_.begin() + marked_hi_ + 1, 0);
        any_mark_ = false;
    }
    void draw_block();
    std::uint64_t next_mark(std::uint64_t from) const;
    void classify(std::size_t x0, std::size_t x1);
    void sum(std::size_t x0, std::size_t x1, bool dense) { dense ? add_dense(x0, x1) : calm(x0, x1); }
    // Whether the block's source rows lie drawn across the width.
    bool rows_drawn() const { return drawn_ != nullptr || block_drawn_; }
    void add_dense(std::size_t x0, std::size_t x1);
    void flush_tile() {
        if (tile_.empty()) return;
        vertical();
        horizontal();
        tile_.clear();
        tile_width_ = 0;
    }
    void vertical();
    void sum_rows(std::size_t y, std::uint64_t g0, std::uint64_t g1, bool& started);
    void draw_rows(std::uint64_t g0, std::uint64_t g1);
    std::uint8_t draw(Cursor& c, std::uint64_t lo, std::uint64_t hi, std::uint8_t* dst) const;
    void horizontal();
    void calm(std::size_t x0, std::size_t x1);
    void calm_row(std::size_t y, std::size_t x0, std::size_t x1);
    std::size_t first_ending_past(std::size_t j, std::size_t x1, std::uint64_t limit) const;
    void seek(Cursor& c, std::uint64_t x) const;

    const ResizePlan& plan_;
    const RunMask* runs_;
    const Mask8* drawn_;
    const ResizeKernels kernels_;
    const bool zeroed_;  // whether the result starts as +0
    float* out_;
    const std::size_t w_out_, h_out_;
    const Axis &rows_axis_, &columns_axis_;
    Taps rows_of_, columns_of_;
    bool trim_columns_ = false, forward_known_ = false, columns_forward_ = true;
    std::size_t strip_x0_ = 0, strip_x1_ = 0;
    // The block: its output rows, the source rows they read, whether rows
    // of 0 may be left out of their sums.
    std::size_t y0_ = 0, count_ = 0;
    std::uint64_t rlo_ = 0, rhi_ = 0;
    bool skip_zero_rows_ = true;
    // The columns where the block's source rows' pieces start, one bit each
    // (pieces start at or below column kRunColumns).
    std::vector<std::uint64_t> marks_;
    std::size_t marked_lo_ = 0, marked_hi_ = 0;
    bool any_mark_ = false;
    std::vector<TileSpan> tile_;
    std::size_t tile_width_ = 0;
    std::vector<std::uint64_t> rebased_;
    std::vector<float> sums_, block_;
    std::vector<std::uint8_t> rows_;
    std::vector<bool> zero_;
    // From runs, a block's source rows drawn across the width, when it is.
    std::vector<std::uint8_t> block_rows_;
    bool block_drawn_ = false;
    std::vector<Cursor> draw_at_, calm_at_, walk_;
};

// The block's rows' taps and the source rows they read; from runs, the
// cursors of the rows the record holds (those past them are 0) and the
// columns where their pieces start. False when every row read is 0, so
// that the block is left +0.
bool Engine::begin_block(std::size_t y0) {
    y0_ = y0;
    count_ = std::min(kBlockRows, h_out_ - y0);
    if (!plan_.all_rows) rows_of_.fill(rows_axis_, y0, y0 + count_, true);
    rlo_ = UINT64_MAX;
    rhi_ = 0;
    for (std::size_t y = y0; y < y0 + count_; ++y) {
        rlo_ = std::min(rlo_, rows_of_.first[y - rows_of_.base]);
        rhi_ = std::max(rhi_, row_end(y));
    }
    any_mark_ = false;
    if (runs_ == nullptr) return true;
    // 0 * w is +0 or -0 for finite w alone; w - w is 0 for finite w alone.
    skip_zero_rows_ = true;
    const std::size_t i0 = y0 - rows_of_.base;
    for (std::size_t k = rows_of_.offsets[i0]; k < rows_of_.offsets[i0 + count_]; ++k) {
        skip_zero_rows_ = skip_zero_rows_ && rows_of_.weights[k] - rows_of_.weights[k] == 0.0f;
    }
    const std::uint64_t held = std::clamp<std::uint64_t>(runs_->row_count(), rlo_, rhi_);
    draw_at_.resize(static_cast<std::size_t>(held - rlo_));
    bool any = false;
    for (std::uint64_t r = rlo_; r < held; ++r) {
        draw_at_[r - rlo_] = {runs_->begin[r], runs_->begin[r], runs_->begin[r + 1]};
        any = any || runs_->begin[r] < runs_->begin[r + 1];
    }
    calm_at_ = draw_at_;
    // The nearest filter's windows, one column each and in order, hold no
    // column strictly inside: its outputs are all calm, and its marks only
    // tell whether the block is drawn whole instead.
    const bool nearest = plan_.filter == FilterType::Nearest;
    if (any && (!nearest || plan_.block_bytes != 0)) mark_boundaries();
    block_drawn_ = any_mark_ && (rhi_ - rlo_) * plan_.width <= plan_.block_bytes &&
                   calm_stretches_are_short(plan_, [&](std::uint64_t from) { return next_mark(from); });
    if (block_drawn_) draw_block();
    if (nearest && !block_drawn_) clear_marks();
    return any;
}

// The block's source rows drawn across the width into block_rows_, a row
// every width bytes from row rlo_.
void Engine::draw_block() {
    const auto width = static_cast<std::size_t>(plan_.width);
    for (std::uint64_t r = rlo_; r < rhi_; ++r) {
        Cursor c = r - rlo_ < draw_at_.size() ? draw_at_[r - rlo_] : Cursor{};
        draw(c, 0, plan_.width, block_rows_.data() + (r - rlo_) * width);
    }
}

// Marks every column but 0 where a piece of one of the block's source rows
// starts: the columns where the block's vertical sums may change.
void Engine::mark_boundaries() {
    const std::uint32_t* pieces = runs_->pieces.get();
    marked_lo_ = marks_.size();
    marked_hi_ = 0;
    for (std::uint64_t r = rlo_; r < rlo_ + draw_at_.size(); ++r) {
        const std::size_t b = runs_->begin[r] + 1, e = runs_->begin[r + 1];
        if (b >= e) continue;
        for (std::size_t p = b; p < e; ++p) {
            const std::uint32_t column = RunMask::start_of(pieces[p]);
            marks_[column >> 6] |= std::uint64_t{1} << (column & 63);
        }
        marked_lo_ = std::min<std::size_t>(marked_lo_, RunMask::start_of(pieces[b]) >> 6);
        marked_hi_ = std::max<std::size_t>(marked_hi_, RunMask::start_of(pieces[e - 1]) >> 6);
    }
    any_mark_ = marked_lo_ <= marked_hi_;
}

// The first marked column from `from` on, or the width.
std::uint64_t Engine::next_mark(std::uint64_t from) const {
    std::size_t word = static_cast<std::size_t>(from >> 6);
    if (word > marked_hi_) return plan_.width;
    std::uint64_t bits = marks_[word] & (~std::uint64_t{0} << (from & 63));
    while (bits == 0) {
        if (++word > marked_hi_) return plan_.width;
        bits = marks_[word];
    }
    return word * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
}

// Splits outputs x0 .. x1 - 1 into spans, each summed as it is found: dense
// where a marked column lies strictly inside an output's window (its
// vertical sums differ across it), calm elsewhere. From an output j, every
// output whose window ends at or before the first mark above j's first
// column lies in one stretch of every output row, where the windows move
// forward; an output whose window passes it is dense, and so is a calm
// group of fewer than kCalmOutputs outputs. A drawn mask is dense, a block
// without marks calm, and a block with marks whose windows do not move
// forward (a calm span's cursors move forward only) dense.
void Engine::classify(std::size_t x0, std::size_t x1) {
    if (rows_drawn() || !any_mark_ || !columns_forward()) {
        sum(x0, x1, rows_drawn() || any_mark_);
        return;
    }
    std::size_t from = x0;  // the span found so far: outputs from .. j - 1
    bool dense = false;
    for (std::size_t j = x0; j < x1;) {
        const std::size_t k = first_ending_past(j, x1, next_mark(first(j) + 1));
        if ((k - j < kCalmOutputs) != dense && j > from) {
            sum(from, j, dense);
            from = j;
        }
        dense = k - j < kCalmOutputs;
        j = std::max(k, j + 1);
    }
    sum(from, x1, dense);
}

// Adds dense outputs x0 .. x1 - 1 to the tile, whose source columns lie side
// by side in its rows, at most plan_.tile_columns of them (always room for
// one output's window); a drawn mask's tile is one stretch of its own columns.
void Engine::add_dense(std::size_t x0, std::size_t x1) {
    for (std::size_t j = x0; j < x1;) {
        std::uint64_t lo = first(j), hi = end(j);
        if (tile_width_ + (hi - lo) > plan_.tile_columns) flush_tile();
        std::size_t k = j + 1;
        if (columns_forward()) {
            // The windows move forward: the span ends before the first whose end passes the room left.
            k = std::max(k, first_ending_past(j, x1, lo + (plan_.tile_columns - tile_width_)));
            hi = end(k - 1);
        }
        for (; k < x1; ++k) {
            const std::uint64_t next_lo = std::min(lo, first(k)), next_hi = std::max(hi, end(k));
            if (tile_width_ + (next_hi - next_lo) > plan_.tile_columns) break;
            lo = next_lo;
            hi = next_hi;
        }
        tile_.push_back({j, k, lo, hi, tile_width_});
        tile_width_ += static_cast<std::size_t>(hi - lo);
        if (rows_drawn()) flush_tile();
        j = k;
    }
}

// The vertical sums of the tile's columns for each output row of the block,
// in sums_ (tile_width_ floats a row), each over its taps in order from +0.
// A drawn mask's rows are read where they lie; from runs, the block's source
// rows are drawn a group at a time into rows_, and rows of 0 there are left
// out: a row of 0 adds +0 or -0 to a sum that is never -0, which leaves it
// as it was, unless a weight is not finite (0 * inf is NaN), and an output
// row with none left is +0.
void Engine::vertical() {
    if (rows_drawn()) {
        const std::uint8_t* rows = drawn_ != nullptr ? drawn_->data.data() : block_rows_.data();
        const std::uint64_t row0 = drawn_ != nullptr ? 0 : rlo_;
        for (std::size_t y = 0; y < count_; ++y) {
            const std::size_t i = y0_ + y - rows_of_.base;
            kernels_.accumulate_rows(rows + (rows_of_.first[i] - row0) * plan_.width + tile_[0].lo, plan_.width,
                                     tile_width_, rows_of_.weights.data() + rows_of_.offsets[i],
                                     rows_of_.offsets[i + 1] - rows_of_.offsets[i], true, sums_.data() + y * tile_width_);
        }
        return;
    }
    std::array<bool, kBlockRows> started{};
    const std::uint64_t group = std::min(plan_.drawn_bytes / tile_width_, plan_.drawn_rows);
    for (std::uint64_t g0 = rlo_; g0 < rhi_; g0 += group) {
        const std::uint64_t g1 = std::min(rhi_, g0 + group);
        draw_rows(g0, g1);
        for (std::size_t y = 0; y < count_; ++y) sum_rows(y, g0, g1, started[y]);
    }
    for (std::size_t y = 0; y < count_; ++y) {
        if (!started[y]) std::fill_n(sums_.data() + y * tile_width_, tile_width_, 0.0f);
    }
}

// Adds to output row y's sums its taps among source rows g0 .. g1 - 1, a
// stretch of rows that are not left out at a time.
void Engine::sum_rows(std::size_t y, std::uint64_t g0, std::uint64_t g1, bool& started) {
    const std::size_t i = y0_ + y - rows_of_.base;
    const std::uint64_t first_row = rows_of_.first[i], hi = std::min(row_end(y0_ + y), g1);
    const auto left_out = [&](std::uint64_t r) { return skip_zero_rows_ && zero_[r - g0]; };
    for (std::uint64_t a = std::max(first_row, g0); a < hi;) {
        if (left_out(a)) {
            ++a;
            continue;
        }
        std::uint64_t b = a + 1;
        while (b < hi && !left_out(b)) ++b;
        kernels_.accumulate_rows(rows_.data() + (a - g0) * tile_width_, tile_width_, tile_width_,
                                 rows_of_.weights.data() + rows_of_.offsets[i] + (a - first_row), b - a, !started,
                                 sums_.data() + y * tile_width_);
        started = true;
        a = b;
    }
}

// Source rows g0 .. g1 - 1 over the tile's columns, drawn from the runs into
// rows_ (tile_width_ bytes a row), and whether each is 0 there.
void Engine::draw_rows(std::uint64_t g0, std::uint64_t g1) {
    for (std::uint64_t r = g0; r < g1; ++r) {
        zero_[r - g0] = true;
        Cursor none;
        Cursor& c = r - rlo_ < draw_at_.size() ? draw_at_[r - rlo_] : none;
        if (c.at == c.end && skip_zero_rows_) continue;
        std::uint8_t any = 0;
        for (const TileSpan& s : tile_) any |= draw(c, s.lo, s.hi, rows_.data() + (r - g0) * tile_width_ + s.at);
        zero_[r - g0] = any == 0;
    }
}

// Columns lo .. hi - 1 of the row at cursor c as 8-bit values, or'ed
// together for the result; c is left at the piece holding hi - 1. Up to
// kDrawSlack bytes past them may be overwritten: a piece no longer than that
// is one 16-byte store, the next piece or span writing over the excess.
std::uint8_t Engine::draw(Cursor& c, std::uint64_t lo, std::uint64_t hi, std::uint8_t* dst) const {
    if (c.at == c.end) {
        std::memset(dst, 0, static_cast<std::size_t>(hi - lo));
        return 0;
    }
    seek(c, lo);
    using Bytes = std::uint8_t __attribute__((vector_size(kDrawSlack)));
    const std::uint32_t* pieces = runs_->pieces.get();
    std::uint8_t any = 0;
    for (std::uint64_t x = lo;; ++c.at) {
        const std::uint64_t next = c.at + 1 < c.end ? RunMask::start_of(pieces[c.at + 1]) : plan_.width;
        const std::uint64_t stop = std::min(next, hi);
        const std::uint8_t value = RunMask::value_of(pieces[c.at]);
        if (stop - x <= kDrawSlack) {
            const Bytes splat = Bytes{} + value;
            std::memcpy(dst + (x - lo), &splat, sizeof splat);
        } else {
            std::memset(dst + (x - lo), value, static_cast<std::size_t>(stop - x));
        }
        any |= value;
        x = stop;
        if (x == hi) return any;
    }
}

// The tile's outputs from its vertical sums: the block's rows across the
// lanes (the sums turned into the column layout first), or for blocks of
// few rows a row at a time with output columns across the lanes. Each
// span's taps are rebased to where its source columns lie in the tile.
void Engine::horizontal() {
    const bool by_rows = count_ < kRowLayoutRows;
    if (!by_rows) kernels_.to_block(sums_.data(), tile_width_, tile_width_, count_, block_.data());
    std::uint64_t* rebased = rebased_.data();
    for (const TileSpan& s : tile_) {
        for (std::size_t j = s.x0; j < s.x1; ++j) rebased[j - s.x0] = first(j) - s.lo + s.at;
        const TapsView view{rebased, columns_of_.offsets.data() + (s.x0 - columns_of_.base),
                            columns_of_.weights.data(), s.x0};
        for (std::size_t y = 0; by_rows && y < count_; ++y) {
            kernels_.row_unit_floats(sums_.data() + y * tile_width_, view, s.x0, s.x1, out_ + (y0_ + y) * w_out_ + s.x0);
        }
        if (!by_rows) kernels_.horizontal_unit_floats(block_.data(), view, s.x0, s.x1, y0_, count_, out_, w_out_);
        rebased += s.x1 - s.x0;
    }
}

// Calm outputs x0 .. x1 - 1, a row of the block at a time, from the source
// rows' cursors at their first column.
void Engine::calm(std::size_t x0, std::size_t x1) {
    for (Cursor& c : calm_at_) {
        if (c.at < c.end) seek(c, first(x0));
    }
    for (std::size_t y = y0_; y < y0_ + count_; ++y) calm_row(y, x0, x1);
}

// Output row y over a calm span: each stretch where all of the row's tap
// rows hold one value has one vertical sum c, summed over the row's taps in
// their order, and the outputs whose windows lie inside the stretch take
// the value of a window of c: c's own, one fill, where their sums keep it.
void Engine::calm_row(std::size_t y, std::size_t x0, std::size_t x1) {
    const std::size_t i = y - rows_of_.base;
    const std::size_t n = rows_of_.offsets[i + 1] - rows_of_.offsets[i];
    const float* w = rows_of_.weights.data() + rows_of_.offsets[i];
    const auto from = static_cast<std::size_t>(rows_of_.first[i] - rlo_);
    walk_.assign(n, Cursor{});
    for (std::size_t k = 0; k < n && from + k < calm_at_.size(); ++k) walk_[k] = calm_at_[from + k];
    const std::uint32_t* pieces = runs_->pieces.get();
    float* row = out_ + y * w_out_;
    for (std::size_t j = x0; j < x1;) {
        const std::uint64_t x = first(j);
        std::uint64_t hi = plan_.width;
        float c = 0.0f;
        for (std::size_t k = 0; k < n; ++k) {
            Cursor& at = walk_[k];
            std::uint8_t v = 0;
            if (at.at < at.end) {
                while (at.at + 1 < at.end && RunMask::start_of(pieces[at.at + 1]) <= x) ++at.at;
                v = RunMask::value_of(pieces[at.at]);
                if (at.at + 1 < at.end) hi = std::min<std::uint64_t>(hi, RunMask::start_of(pieces[at.at + 1]));
            }
            c = c + static_cast<float>(v) * w[k];
        }
        const std::size_t stop = first_ending_past(j, x1, hi);
        if (bits_of(c) == 0) {
            if (!zeroed_) std::fill(row + j, row + stop, 0.0f);
        } else if (windows_keep(c)) {
            std::fill(row + j, row + stop, unit_float_of_sum<float, std::int32_t>(c));
        } else {
            for (std::size_t o = j; o < stop; ++o) {
                const std::size_t at = o - columns_of_.base;
                row[o] = constant_window(c, columns_of_.weights.data() + columns_of_.offsets[at],
                                         columns_of_.offsets[at + 1] - columns_of_.offsets[at]);
            }
        }
        j = stop;
    }
}

// The first output from j on, up to x1, whose window ends past `limit`;
// the windows' ends never decrease.
std::size_t Engine::first_ending_past(std::size_t j, std::size_t x1, std::uint64_t limit) const {
    if (end(j) > limit) return j;
    std::size_t lo = j, step = 1;
    while (lo + step < x1 && end(lo + step) <= limit) {
        lo += step;
        step *= 2;
    }
    std::size_t hi = std::min(lo + step, x1);  // end(hi) > limit, or hi == x1
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        (end(mid) <= limit ? lo : hi) = mid;
    }
    return hi;
}

// Moves cursor c, of a row with pieces, to the piece holding column x.
void Engine::seek(Cursor& c, std::uint64_t x) const {
    const std::uint32_t* pieces = runs_->pieces.get();
    if (RunMask::start_of(pieces[c.at]) > x) {
        const std::uint32_t key = RunMask::piece(static_cast<std::uint32_t>(x), 0xFF);
        c.at = static_cast<std::size_t>(std::upper_bound(pieces + c.begin, pieces + c.end, key) - pieces) - 1;
    }
    while (c.at + 1 < c.end && RunMask::start_of(pieces[c.at + 1]) <= x) ++c.at;
}

UnitFloatImage resize_with(const ResizePlan& plan, const RunMask* runs, const Mask8* drawn, SimdPath path) {
    // From runs, outputs that read only zeros are left as they are where the
    // result's zeros cost nothing until written; below that size they are
    // written, as a drawn mask's tiles write every output.
    const std::uint64_t count = multiply_bytes(plan.width_out, plan.height_out);
    const bool zeroed = runs != nullptr && count <= SIZE_MAX && Buffer<float>::zeroing_is_lazy(static_cast<std::size_t>(count));
    UnitFloatImage result{plan.width_out, plan.height_out,
                          zeroed ? Buffer<float>::zeroed(count) : Buffer<float>::uninitialised(count)};
    if (!result.data.empty()) Engine(plan, runs, drawn, path, zeroed, result.data.data()).run();
    return result;
}

}  // namespace

UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter, SimdPath path) {
    return resize_with(plan_resize(mask.width, mask.height, scale, filter, false, mask.height), nullptr, &mask, path);
}

UnitFloatImage resize_to_unit_floats(const RunMask& mask, const ResizePlan& plan, SimdPath path) {
    if (mask.drawn) return resize_with(plan, nullptr, &*mask.drawn, path);
    return resize_with(plan, &mask, nullptr, path);
}

ResizePlan plan_resize(const RunMask& mask, float scale, FilterType filter) {
    return plan_resize(mask.width, mask.height, scale, filter, !mask.drawn, mask.drawn ? mask.height : mask.row_count());
}

std::optional<UnitFloatImage> reconstruct_resized(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                                  std::uint64_t height, float scale, FilterType filter) {
    std::optional<RunMask> mask = decode_runs(bytes, width, height);
    if (!mask) return std::nullopt;
    const ResizePlan plan = plan_resize(*mask, scale, filter);
    if (!fits_in_memory(plan.memory_bound)) throw std::bad_alloc();
    return resize_to_unit_floats(*mask, plan);
}

}  // namespace ostrel::mask
