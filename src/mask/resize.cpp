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

#include "mask/record.hpp"
#include "mask/resize_kernels.hpp"
#include "mask/unit_float.hpp"
#include "support/memory.hpp"

namespace ostrel::mask {
namespace {

using namespace taps;

std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }

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
static_assert(sizeof(TileSpan) == kSpanBytes && sizeof(Cursor) == kCursorBytes);

// Moves cursor c, of a row with pieces, to the piece holding column x.
void seek(const RunMask& runs, Cursor& c, std::uint64_t x) {
    const std::uint32_t* pieces = runs.pieces.get();
    if (RunMask::start_of(pieces[c.at]) > x) {
        const std::uint32_t key = RunMask::piece(static_cast<std::uint32_t>(x), 0xFF);
        c.at = static_cast<std::size_t>(std::upper_bound(pieces + c.begin, pieces + c.end, key) - pieces) - 1;
    }
    while (c.at + 1 < c.end && RunMask::start_of(pieces[c.at + 1]) <= x) ++c.at;
}

// Columns lo .. hi - 1 of the row at cursor c as 8-bit values, or'ed
// together for the result; c is left at the piece holding hi - 1. Up to
// kDrawSlack bytes past them may be overwritten: a piece no longer than that
// is one 16-byte store, the next piece or span writing over the excess.
std::uint8_t draw(const RunMask& runs, Cursor& c, std::uint64_t lo, std::uint64_t hi, std::uint8_t* dst) {
    if (c.at == c.end) {
        std::memset(dst, 0, static_cast<std::size_t>(hi - lo));
        return 0;
    }
    seek(runs, c, lo);
    using Bytes = std::uint8_t __attribute__((vector_size(kDrawSlack)));
    const std::uint32_t* pieces = runs.pieces.get();
    std::uint8_t any = 0;
    for (std::uint64_t x = lo;; ++c.at) {
        const std::uint64_t next = c.at + 1 < c.end ? RunMask::start_of(pieces[c.at + 1]) : runs.width;
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

// What the engine's parts share: the plan and the result, the taps of the
// output rows and columns being made, and the block of output rows.
struct ResizeState {
    const ResizePlan& plan;
    const ResizeKernels kernels;
    float* const out;
    const std::size_t w_out, h_out;
    const bool zeroed;  // whether the result starts as +0
    Taps rows_of, columns_of;
    bool trim_columns = false;
    // The strip of output columns whose taps are made, and whether their
    // windows move forward: first and end columns never decrease from one
    // output to the next (found when first asked).
    std::size_t strip_x0 = 0, strip_x1 = 0;
    bool forward_known = false, forward = true;
    // The block: its output rows, the source rows they read, whether rows
    // of 0 may be left out of their sums.
    std::size_t y0 = 0, count = 0;
    std::uint64_t rlo = 0, rhi = 0;
    bool skip_zero_rows = true;

    ResizeState(const ResizePlan& p, SimdPath path, bool starts_zeroed, float* result)
        : plan(p), kernels(kernels_for<ResizeKernels>(path)), out(result), w_out(static_cast<std::size_t>(p.width_out)),
          h_out(static_cast<std::size_t>(p.height_out)), zeroed(starts_zeroed) {}

    std::uint64_t first(std::size_t j) const { return columns_of.first[j - columns_of.base]; }
    std::uint64_t end(std::size_t j) const {
        const std::size_t i = j - columns_of.base;
        return columns_of.first[i] + (columns_of.offsets[i + 1] - columns_of.offsets[i]);
    }
    std::uint64_t row_end(std::size_t y) const {
        const std::size_t i = y - rows_of.base;
        return rows_of.first[i] + (rows_of.offsets[i + 1] - rows_of.offsets[i]);
    }

    // The taps of output columns x0 .. x1 - 1, all at once (kept between
    // calls) or a strip's.
    void new_columns(std::size_t x0, std::size_t x1) {
        if (plan.all_columns) {
            columns_of.fill_all(plan.columns, w_out, trim_columns);
        } else {
            columns_of.fill(plan.columns, x0, x1, trim_columns);
        }
        strip_x0 = x0;
        strip_x1 = x1;
        forward_known = false;
    }

    bool columns_forward() {
        if (forward_known) return forward;
        forward_known = forward = true;
        for (std::size_t j = strip_x0 + 1; j < strip_x1 && forward; ++j) {
            forward = first(j) >= first(j - 1) && end(j) >= end(j - 1);
        }
        return forward;
    }

    // The first output from j on, up to x1, whose window ends past `limit`;
    // the windows' ends never decrease.
    std::size_t first_ending_past(std::size_t j, std::size_t x1, std::uint64_t limit) const {
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
};

// The dense tiles: outputs whose sums are computed on the kernels of
// resize_lanes.hpp from their source rows, side by side in a tile of at
// most plan.tile_columns source columns. The rows are read where they lie
// drawn across the width (a drawn mask's, or a block's drawn whole), or else
// drawn from the runs a group at a time.
class DenseTiles {
public:
    DenseTiles(ResizeState& s, const RunMask* runs, const EngineBuffers& b) : s_(s), runs_(runs) {
        tile_.reserve(b.spans);
        rebased_.resize(b.rebased);
        sums_ = Buffer<float>::uninitialised(b.sums);
        block_ = Buffer<float>::uninitialised(b.block);
        rows_ = Buffer<std::uint8_t>::uninitialised(b.drawn);
        zero_.resize(b.drawn_rows);
        draw_at.reserve(b.cursors);
    }

    // The block's source rows from row `row0` on, `width` bytes apart, or
    // null where they are drawn from the runs.
    void read_rows(const std::uint8_t* rows, std::uint64_t row0) {
        drawn_rows_ = rows;
        row0_ = row0;
    }
    void add(std::size_t x0, std::size_t x1);
    void flush() {
        if (tile_.empty()) return;
        vertical();
        horizontal();
        tile_.clear();
        tile_width_ = 0;
    }

    // From runs, a cursor of each source row the block reads that the record
    // holds (those past them are 0).
    std::vector<Cursor> draw_at;

private:
    void vertical();
    void sum_rows(std::size_t y, std::uint64_t g0, std::uint64_t g1, bool& started);
    void draw_rows(std::uint64_t g0, std::uint64_t g1);
    void horizontal();

    ResizeState& s_;
    const RunMask* const runs_;
    const std::uint8_t* drawn_rows_ = nullptr;
    std::uint64_t row0_ = 0;
    std::vector<TileSpan> tile_;
    std::size_t tile_width_ = 0;
    std::vector<std::uint64_t> rebased_;
    Buffer<float> sums_, block_;
    Buffer<std::uint8_t> rows_;  // source rows drawn from runs, tile_width_ bytes a row
    std::vector<bool> zero_;          // whether each of those is 0 over the tile
};

// Adds dense outputs x0 .. x1 - 1 to the tile, whose source columns lie side
// by side in its rows, at most tile_columns of them (always room for one
// output's window); rows drawn across the width make a tile of one stretch
// of their own columns.
void DenseTiles::add(std::size_t x0, std::size_t x1) {
    for (std::size_t j = x0; j < x1;) {
        std::uint64_t lo = s_.first(j), hi = s_.end(j);
        if (tile_width_ + (hi - lo) > s_.plan.tile_columns) flush();
        std::size_t k = j + 1;
        if (s_.columns_forward()) {
            // The windows move forward: the span ends before the first whose end passes the room left.
            k = std::max(k, s_.first_ending_past(j, x1, lo + (s_.plan.tile_columns - tile_width_)));
            hi = s_.end(k - 1);
        }
        for (; k < x1; ++k) {
            const std::uint64_t next_lo = std::min(lo, s_.first(k)), next_hi = std::max(hi, s_.end(k));
            if (tile_width_ + (next_hi - next_lo) > s_.plan.tile_columns) break;
            lo = next_lo;
            hi = next_hi;
        }
        tile_.push_back({j, k, lo, hi, tile_width_});
        tile_width_ += static_cast<std::size_t>(hi - lo);
        if (drawn_rows_ != nullptr) flush();
        j = k;
    }
}

// The vertical sums of the tile's columns for each output row of the block,
// in sums_ (tile_width_ floats a row), each over its taps in order from +0.
// Rows drawn from runs come a group at a time, and rows of 0 there are left
// out: a row of 0 adds +0 or -0 to a sum that is never -0, which leaves it
// as it was, unless a weight is not finite (0 * inf is NaN), and an output
// row with none left is +0.
void DenseTiles::vertical() {
    const Taps& rows_of = s_.rows_of;
    if (drawn_rows_ != nullptr) {
        const std::uint64_t width = s_.plan.width;
        for (std::size_t y = 0; y < s_.count; ++y) {
            const std::size_t i = s_.y0 + y - rows_of.base;
            s_.kernels.accumulate_rows(drawn_rows_ + (rows_of.first[i] - row0_) * width + tile_[0].lo, width, tile_width_,
                                       rows_of.weights.data() + rows_of.offsets[i],
                                       rows_of.offsets[i + 1] - rows_of.offsets[i], true, sums_.data() + y * tile_width_);
        }
        return;
    }
    std::array<bool, kBlockRows> started{};
    const std::uint64_t group = std::min((rows_.size() - kDrawSlack) / tile_width_, zero_.size());
    for (std::uint64_t g0 = s_.rlo; g0 < s_.rhi; g0 += group) {
        const std::uint64_t g1 = std::min(s_.rhi, g0 + group);
        draw_rows(g0, g1);
        for (std::size_t y = 0; y < s_.count; ++y) sum_rows(y, g0, g1, started[y]);
    }
    for (std::size_t y = 0; y < s_.count; ++y) {
        if (!started[y]) std::fill_n(sums_.data() + y * tile_width_, tile_width_, 0.0f);
    }
}

// Adds to output row y's sums its taps among source rows g0 .. g1 - 1, a
// stretch of rows that are not left out at a time.
void DenseTiles::sum_rows(std::size_t y, std::uint64_t g0, std::uint64_t g1, bool& started) {
    const std::size_t i = s_.y0 + y - s_.rows_of.base;
    const std::uint64_t first_row = s_.rows_of.first[i], hi = std::min(s_.row_end(s_.y0 + y), g1);
    const auto left_out = [&](std::uint64_t r) { return s_.skip_zero_rows && zero_[r - g0]; };
    for (std::uint64_t a = std::max(first_row, g0); a < hi;) {
        if (left_out(a)) {
            ++a;
            continue;
        }
        std::uint64_t b = a + 1;
        while (b < hi && !left_out(b)) ++b;
        s_.kernels.accumulate_rows(rows_.data() + (a - g0) * tile_width_, tile_width_, tile_width_,
                                   s_.rows_of.weights.data() + s_.rows_of.offsets[i] + (a - first_row), b - a, !started,
                                   sums_.data() + y * tile_width_);
        started = true;
        a = b;
    }
}

// Source rows g0 .. g1 - 1 over the tile's columns, drawn from the runs into
// rows_, and whether each is 0 there.
void DenseTiles::draw_rows(std::uint64_t g0, std::uint64_t g1) {
    for (std::uint64_t r = g0; r < g1; ++r) {
        zero_[r - g0] = true;
        Cursor none;
        Cursor& c = r - s_.rlo < draw_at.size() ? draw_at[r - s_.rlo] : none;
        if (c.at == c.end && s_.skip_zero_rows) continue;
        std::uint8_t any = 0;
        for (const TileSpan& t : tile_) any |= draw(*runs_, c, t.lo, t.hi, rows_.data() + (r - g0) * tile_width_ + t.at);
        zero_[r - g0] = any == 0;
    }
}

// The tile's outputs from its vertical sums: the block's rows across the
// lanes (the sums turned into the column layout first), or for blocks of
// few rows a row at a time with output columns across the lanes. Each
// span's taps are rebased to where its source columns lie in the tile.
void DenseTiles::horizontal() {
    const Taps& columns_of = s_.columns_of;
    const bool by_rows = s_.count < kRowLayoutRows;
    if (!by_rows) s_.kernels.to_block(sums_.data(), tile_width_, tile_width_, s_.count, block_.data());
    std::uint64_t* rebased = rebased_.data();
    for (const TileSpan& t : tile_) {
        for (std::size_t j = t.x0; j < t.x1; ++j) rebased[j - t.x0] = s_.first(j) - t.lo + t.at;
        const TapsView view{rebased, columns_of.offsets.data() + (t.x0 - columns_of.base), columns_of.weights.data(), t.x0};
        for (std::size_t y = 0; by_rows && y < s_.count; ++y) {
            s_.kernels.row_unit_floats(sums_.data() + y * tile_width_, view, t.x0, t.x1,
                                       s_.out + (s_.y0 + y) * s_.w_out + t.x0);
        }
        if (!by_rows) s_.kernels.horizontal_unit_floats(block_.data(), view, t.x0, t.x1, s_.y0, s_.count, s_.out, s_.w_out);
        rebased += t.x1 - t.x0;
    }
}

// The engine: blocks of output rows, strips of output columns, and from runs
// the split of a block's outputs into dense and calm ones, the calm ones
// summed once a stretch and filled.
class Engine {
public:
    Engine(const ResizePlan& plan, const RunMask* runs, const Mask8* drawn, SimdPath path, bool zeroed, float* out)
        : s_(plan, path, zeroed, out), runs_(runs), dense_(s_, runs, plan.buffers) {
        const EngineBuffers& b = plan.buffers;
        if (plan.all_rows) s_.rows_of.fill_all(plan.rows, s_.h_out, true);
        s_.trim_columns = sums_of_values_are_finite(plan.rows, s_.h_out, plan.all_rows ? &s_.rows_of : nullptr);
        if (plan.all_columns) s_.new_columns(0, s_.w_out);
        if (drawn != nullptr) dense_.read_rows(drawn->data.data(), 0);
        marks_.assign(b.marks, 0);
        block_rows_ = Buffer<std::uint8_t>::uninitialised(b.block_rows);
        calm_at_.reserve(b.cursors);
        walk_.reserve(b.walk);
    }

    void run() {
        for (std::size_t y0 = 0; y0 < s_.h_out; y0 += kBlockRows) {
            if (!begin_block(y0)) {
                if (!s_.zeroed) std::fill_n(s_.out + y0 * s_.w_out, s_.count * s_.w_out, 0.0f);
                continue;
            }
            for (std::size_t x0 = 0; x0 < s_.w_out; x0 += s_.plan.strip_outputs) {
                const std::size_t x1 = std::min(s_.w_out, x0 + s_.plan.strip_outputs);
                if (!s_.plan.all_columns) s_.new_columns(x0, x1);
                classify(x0, x1);
                dense_.flush();
            }
            clear_marks();
        }
    }

private:
    bool begin_block(std::size_t y0);
    bool begin_runs();
    void mark_boundaries();
    std::uint64_t next_mark(std::uint64_t from) const;
    void clear_marks() {
        if (any_mark_) std::fill(marks_.begin() + marked_lo_, marks_.begin() + marked_hi_ + 1, 0);
        any_mark_ = false;
    }
    void draw_block();
    void classify(std::size_t x0, std::size_t x1);
    void sum(std::size_t x0, std::size_t x1, bool dense) { dense ? dense_.add(x0, x1) : calm(x0, x1); }
    void calm(std::size_t x0, std::size_t x1);
    void calm_row(std::size_t y, std::size_t x0, std::size_t x1);
    bool windows_keep(float c) const;

    ResizeState s_;
    const RunMask* const runs_;
    DenseTiles dense_;
    // The columns where the block's source rows' pieces start, one bit each
    // (pieces start at or below column kRunColumns).
    std::vector<std::uint64_t> marks_;
    std::size_t marked_lo_ = 0, marked_hi_ = 0;
    bool any_mark_ = false;
    // From runs, a block's source rows drawn across the width, when it is.
    Buffer<std::uint8_t> block_rows_;
    bool block_drawn_ = false;
    std::vector<Cursor> calm_at_, walk_;
};

// The block's rows' taps and the source rows they read. False when every
// row read is 0 (only from runs), so that the block is left +0.
bool Engine::begin_block(std::size_t y0) {
    Taps& rows_of = s_.rows_of;
    s_.y0 = y0;
    s_.count = std::min(kBlockRows, s_.h_out - y0);
    if (!s_.plan.all_rows) rows_of.fill(s_.plan.rows, y0, y0 + s_.count, true);
    s_.rlo = UINT64_MAX;
    s_.rhi = 0;
    for (std::size_t y = y0; y < y0 + s_.count; ++y) {
        s_.rlo = std::min(s_.rlo, rows_of.first[y - rows_of.base]);
        s_.rhi = std::max(s_.rhi, s_.row_end(y));
    }
    any_mark_ = false;
    if (runs_ == nullptr) return true;
    // 0 * w is +0 or -0 for finite w alone; w - w is 0 for finite w alone.
    s_.skip_zero_rows = true;
    const std::size_t i0 = y0 - rows_of.base;
    for (std::size_t k = rows_of.offsets[i0]; k < rows_of.offsets[i0 + s_.count]; ++k) {
        s_.skip_zero_rows = s_.skip_zero_rows && rows_of.weights[k] - rows_of.weights[k] == 0.0f;
    }
    return begin_runs();
}

// The cursors of the block's source rows that the record holds and the
// columns where their pieces start; the block's rows drawn whole where its
// calm stretches are short. False when none of the rows has a piece.
bool Engine::begin_runs() {
    const std::uint64_t rlo = s_.rlo, held = std::clamp<std::uint64_t>(runs_->row_count(), rlo, s_.rhi);
    std::vector<Cursor>& draw_at = dense_.draw_at;
    draw_at.resize(static_cast<std::size_t>(held - rlo));
    bool any = false;
    for (std::uint64_t r = rlo; r < held; ++r) {
        draw_at[r - rlo] = {runs_->begin[r], runs_->begin[r], runs_->begin[r + 1]};
        any = any || runs_->begin[r] < runs_->begin[r + 1];
    }
    calm_at_ = draw_at;
    // The nearest filter's windows, one column each and in order, hold no
    // column strictly inside: its outputs are all calm, and its marks only
    // tell whether the block is drawn whole instead.
    const bool nearest = s_.plan.filter == FilterType::Nearest;
    if (any && (!nearest || !block_rows_.empty())) mark_boundaries();
    block_drawn_ = any_mark_ && (s_.rhi - rlo) * s_.plan.width + kDrawSlack <= block_rows_.size() &&
                   calm_stretches_are_short(s_.plan, s_.count, [&](std::uint64_t from) { return next_mark(from); });
    if (block_drawn_) draw_block();
    if (nearest && !block_drawn_) clear_marks();
    dense_.read_rows(block_drawn_ ? block_rows_.data() : nullptr, rlo);
    return any;
}

// The block's source rows drawn across the width into block_rows_, a row
// every width bytes from row rlo.
void Engine::draw_block() {
    const auto width = static_cast<std::size_t>(s_.plan.width);
    for (std::uint64_t r = s_.rlo; r < s_.rhi; ++r) {
        Cursor c = r - s_.rlo < dense_.draw_at.size() ? dense_.draw_at[r - s_.rlo] : Cursor{};
        draw(*runs_, c, 0, s_.plan.width, block_rows_.data() + (r - s_.rlo) * width);
    }
}

// Marks every column but 0 where a piece of one of the block's source rows
// starts: the columns where the block's vertical sums may change.
void Engine::mark_boundaries() {
    const std::uint32_t* pieces = runs_->pieces.get();
    marked_lo_ = marks_.size();
    marked_hi_ = 0;
    for (std::uint64_t r = s_.rlo; r < s_.rlo + calm_at_.size(); ++r) {
        const std::size_t b = runs_->begin[r] + 1, e = runs_->begin[r + 1];
        if (b >= e) continue;
        // A row's pieces ascend: the bits of one word are gathered in a
        // register, not or'ed into memory one after the other.
        std::size_t word = RunMask::start_of(pieces[b]) >> 6;
        std::uint64_t bits = 0;
        for (std::size_t p = b; p < e; ++p) {
            const std::uint32_t column = RunMask::start_of(pieces[p]);
            if (column >> 6 != word) {
                marks_[word] |= bits;
                word = column >> 6;
                bits = 0;
            }
            bits |= std::uint64_t{1} << (column & 63);
        }
        marks_[word] |= bits;
        marked_lo_ = std::min<std::size_t>(marked_lo_, RunMask::start_of(pieces[b]) >> 6);
        marked_hi_ = std::max<std::size_t>(marked_hi_, RunMask::start_of(pieces[e - 1]) >> 6);
    }
    any_mark_ = marked_lo_ <= marked_hi_;
}

// The first marked column from `from` on, or the width.
std::uint64_t Engine::next_mark(std::uint64_t from) const {
    std::size_t word = static_cast<std::size_t>(from >> 6);
    if (word > marked_hi_) return s_.plan.width;
    std::uint64_t bits = marks_[word] & (~std::uint64_t{0} << (from & 63));
    while (bits == 0) {
        if (++word > marked_hi_) return s_.plan.width;
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
// group of fewer than kCalmOutputs outputs. Rows drawn across the width are
// dense, a block without marks calm, and a block with marks whose windows
// do not move forward (a calm span's cursors move forward only) dense.
void Engine::classify(std::size_t x0, std::size_t x1) {
    const bool drawn = runs_ == nullptr || block_drawn_;
    if (drawn || !any_mark_ || !s_.columns_forward()) {
        sum(x0, x1, drawn || any_mark_);
        return;
    }
    std::size_t from = x0;  // the span found so far: outputs from .. j - 1
    bool dense = false;
    for (std::size_t j = x0; j < x1;) {
        const std::size_t k = s_.first_ending_past(j, x1, next_mark(s_.first(j) + 1));
        if ((k - j < kCalmOutputs) != dense && j > from) {
            sum(from, j, dense);
            from = j;
        }
        dense = k - j < kCalmOutputs;
        j = std::max(k, j + 1);
    }
    sum(from, x1, dense);
}

// Calm outputs x0 .. x1 - 1, a row of the block at a time, from the source
// rows' cursors at their first column.
void Engine::calm(std::size_t x0, std::size_t x1) {
    for (Cursor& c : calm_at_) {
        if (c.at < c.end) seek(*runs_, c, s_.first(x0));
    }
    for (std::size_t y = s_.y0; y < s_.y0 + s_.count; ++y) calm_row(y, x0, x1);
}

// Output row y over a calm span: each stretch where all of the row's tap
// rows hold one value has one vertical sum c, summed over the row's taps in
// their order, and the outputs whose windows lie inside the stretch take
// the value of a window of c: c's own, one fill, where their sums keep it.
void Engine::calm_row(std::size_t y, std::size_t x0, std::size_t x1) {
    const Taps &rows_of = s_.rows_of, &columns_of = s_.columns_of;
    const std::size_t i = y - rows_of.base;
    const std::size_t n = rows_of.offsets[i + 1] - rows_of.offsets[i];
    const float* w = rows_of.weights.data() + rows_of.offsets[i];
    const auto from = static_cast<std::size_t>(rows_of.first[i] - s_.rlo);
    walk_.assign(n, Cursor{});
    for (std::size_t k = 0; k < n && from + k < calm_at_.size(); ++k) walk_[k] = calm_at_[from + k];
    const std::uint32_t* pieces = runs_->pieces.get();
    float* row = s_.out + y * s_.w_out;
    for (std::size_t j = x0; j < x1;) {
        const std::uint64_t x = s_.first(j);
        std::uint64_t hi = s_.plan.width;
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
        const std::size_t stop = s_.first_ending_past(j, x1, hi);
        if (bits_of(c) == 0) {
            if (!s_.zeroed) std::fill(row + j, row + stop, 0.0f);
        } else if (windows_keep(c)) {
            std::fill(row + j, row + stop, unit_float_of_sum<float, std::int32_t>(c));
        } else {
            for (std::size_t o = j; o < stop; ++o) {
                const std::size_t at = o - columns_of.base;
                const std::size_t taps = columns_of.offsets[at + 1] - columns_of.offsets[at];
                row[o] = unit_float_of_sum<float, std::int32_t>(
                    window_sum(&c, 0, columns_of.weights.data() + columns_of.offsets[at], taps));
            }
        }
        j = stop;
    }
}

// Whether every window of c among the columns' rounds to the 8-bit value c
// itself rounds to: the 8-bit value changes only at k + 0.5 (k from 0 to
// 254), and c lies farther from the nearest of those than the window's sum
// can lie from c (Taps::error, and below 2^-100 for products that underflow).
bool Engine::windows_keep(float c) const {
    const double t = c;
    const double boundary = !(t >= 0.0) ? 0.5 : t >= 254.0 ? 254.5 : static_cast<int>(t) + 0.5;
    return std::fabs(t - boundary) > std::fabs(t) * (s_.columns_of.error * (1.0 + 0x1p-40)) + 0x1p-100;
}

// Whether the runs change so often along their rows that the blocks will
// mostly be drawn whole: the calm stretches between boundaries as far apart
// as the record's pieces are on average are short.
bool mostly_drawn(const ResizePlan& plan, const RunMask& runs) {
    if (plan.buffers.block_rows == 0 || runs.begin.back() == 0) return false;
    // In integers, so that no C library maths (ceil) enters the module; a
    // gap as wide as the mask stands for every wider one.
    const std::uint64_t pieces = runs.begin.back(), spread = multiply_bytes(plan.width, runs.row_count());
    const std::uint64_t gap = std::clamp<std::uint64_t>(spread / pieces + (spread % pieces != 0), 1, plan.width);
    const auto rows_out = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockRows, plan.height_out));
    return calm_stretches_are_short(plan, rows_out, [&](std::uint64_t from) { return std::min(plan.width, (from + gap - 1) / gap * gap); });
}

UnitFloatImage resize_with(const ResizePlan& plan, const RunMask* runs, const Mask8* drawn, SimdPath path) {
    // From runs, outputs that read only zeros are left as they are in a
    // result that starts as zeros, which costs nothing until written where
    // the result is large. A record whose blocks are mostly drawn writes
    // nearly every output, as a drawn mask's tiles do: its zeros are written
    // where needed rather than cleared in advance.
    const std::uint64_t count = multiply_bytes(plan.width_out, plan.height_out);
    const bool lazy = count <= SIZE_MAX && Buffer<float>::zeroing_is_lazy(static_cast<std::size_t>(count));
    const bool zeroed = runs != nullptr && (lazy || !mostly_drawn(plan, *runs));
    UnitFloatImage result{plan.width_out, plan.height_out,
                          zeroed ? Buffer<float>::zeroed(count) : Buffer<float>::uninitialised(count)};
    if (!result.data.empty()) Engine(plan, runs, drawn, path, zeroed, result.data.data()).run();
    return result;
}

}  // namespace

UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter, SimdPath path) {
    return resize_with(plan_resize(mask.width, mask.height, scale, filter, nullptr), nullptr, &mask, path);
}

UnitFloatImage resize_to_unit_floats(const RunMask& mask, const ResizePlan& plan, SimdPath path) {
    if (mask.drawn) return resize_with(plan, nullptr, &*mask.drawn, path);
    return resize_with(plan, &mask, nullptr, path);
}

std::optional<UnitFloatImage> reconstruct_resized(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                                  std::uint64_t height, float scale, FilterType filter) {
    // An unchanged size is the mask itself, drawn as it is without a scale.
    if (scaled_size(width, scale) == width && scaled_size(height, scale) == height) {
        return decode_and_reconstruct_unit_floats(bytes, width, height);
    }
    std::optional<RunMask> mask = decode_runs(bytes, width, height);
    if (!mask) return std::nullopt;
    const ResizePlan plan = plan_resize(width, height, scale, filter, &*mask);
    if (!fits_in_memory(plan.memory_bound)) throw std::bad_alloc();
    return resize_to_unit_floats(*mask, plan);
}

}  // namespace ostrel::mask
