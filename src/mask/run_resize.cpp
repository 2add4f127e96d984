// The resampler working from the runs of a RunMask, a block of output rows at
// a time, into a zero-filled result.
//
// What keeps the bits: every value written is the sum the dense passes
// (resize.cpp) compute for that pixel, over the same taps and weights
// (taps.hpp), from +0 in ascending tap order, each product and sum rounded on
// its own, then clamped and rounded to an 8-bit v and written as v / 255.
// Only the number of times a sum is computed changes:
// - Vertical pass: between consecutive run boundaries of an output row's tap
//   rows, every column reads the same values with the same weights, so one
//   sum stands for the whole stretch. The intermediate row, over the source
//   columns a strip of outputs reads, is a list of pieces holding exactly
//   the values the dense pass writes column by column.
// - Horizontal pass: an output whose window holds only +0 is 0 whatever its
//   weights, since each product is +0, -0 or NaN (a degenerate weight), a sum
//   of zeros from +0 stays +0, and NaN rounds to 0 as well; it is left as the
//   zero-filled result's +0. An output whose window lies inside one piece of
//   value c sums c * w_k over its weights, so outputs whose weights are the
//   same bit for bit share one computed value for each c. Every other output
//   is summed tap by tap over the pieces.
// - Strips of a block whose source rows have about as many runs as pixels
//   are drawn into a small 8-bit buffer and run through
//   the dense kernels with their tap indices rebased to that buffer.
// - Nearest copies each output's one source pixel, found run by run.
// A change that computed a value any other way (a different order, a
// different set of taps, a shortcut by a bound) would break these bits.
#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <vector>

#include "mask/resize_kernels.hpp"
#include "mask/runs.hpp"
#include "mask/taps.hpp"
#include "mask/unit_float.hpp"

namespace ostrel::mask {
namespace {

using namespace taps;

// A strip of a block whose output rows have more stretches, estimated, than
// its source columns / kDenseStretches is resampled by the dense kernels: a
// stretch costs about as much as that many columns of the vector pass
// (counted on a Zen 3 EPYC, AVX2, with 1080p masks of feathered edges).
constexpr std::uint64_t kDenseStretches = 2;

// Output columns a block decides on together, dense or from the runs: a
// feathered mask's busy columns lie in bands near its edges, and a strip
// narrower than this costs more in drawing its rows than it saves.
constexpr std::size_t kDecideColumns = 256;

std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }

// A sum rounded to its 8-bit value and written as v / 255, as the kernels'
// lanes do it: below one half (NaN included) 0, at or above 255 255, else
// t + 0.5 truncated.
float unit_float_of_sum(float t) {
    t = t >= 0.5f ? t : 0.0f;
    t = t < 255.0f ? t : 255.0f;
    return unit_float(static_cast<float>(static_cast<std::int32_t>(t + 0.5f)));
}

// One row of the intermediate image: values[p] from starts[p] up to
// starts[p + 1]; starts ends with the width.
struct Pieces {
    std::vector<std::uint64_t> starts;
    std::vector<float> values;
};

struct Cursor {
    std::size_t at = 0, end = 0;
};

// The intermediate row of one output row over source columns lo .. hi - 1,
// whose taps are source rows first .. first + n - 1 with weights w; at[r]
// is the piece of source row rlo + r holding column lo.
void vertical_pieces(const RunMask& m, std::uint64_t first, const float* w, std::size_t n, std::uint64_t rlo,
                     const std::vector<std::size_t>& at, std::uint64_t lo, std::uint64_t hi,
                     std::vector<Cursor>& cursors, Pieces& out) {
    out.starts.clear();
    out.values.clear();
    cursors.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t row = first + k;
        cursors[k] = row < m.row_count() ? Cursor{at[row - rlo], m.begin[row + 1]} : Cursor{};
    }
    std::uint64_t x = lo;
    for (;;) {
        float acc = 0.0f;
        std::uint64_t next = hi;
        for (std::size_t k = 0; k < n; ++k) {
            const Cursor& c = cursors[k];
            const std::uint8_t v = c.at < c.end ? m.values[c.at] : 0;
            acc = acc + static_cast<float>(v) * w[k];
            if (c.at + 1 < c.end) next = std::min<std::uint64_t>(next, m.starts[c.at + 1]);
        }
        if (out.values.empty() || bits_of(out.values.back()) != bits_of(acc)) {
            out.starts.push_back(x);
            out.values.push_back(acc);
        }
        if (next >= hi) break;
        x = next;
        for (Cursor& c : cursors) {
            while (c.at + 1 < c.end && m.starts[c.at + 1] <= x) ++c.at;
        }
    }
    out.starts.push_back(hi);
}

// The output columns x0 .. x1 - 1 of the current taps, each with the id of
// its weights (equal ids: the same count and the same weights, bit for bit)
// and, per id, the value last computed for a constant window.
class Patterns {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    void assign(const Taps& taps, std::size_t x0, std::size_t x1) {
        taps_ = &taps;
        base_ = x0;
        of_.resize(x1 - x0);
        monotone_ = true;
        any_none_ = false;
        uniform_known_ = false;
        for (std::size_t j = x0; j < x1; ++j) {
            const std::size_t i = j - taps.base;
            if (j > x0) {
                monotone_ = monotone_ && taps.first[i] >= taps.first[i - 1] && end(j) >= end(j - 1);
            }
            of_[j - x0] = id_of(weights(j), count(j), j - x0);
            any_none_ = any_none_ || of_[j - x0] == kNone;
        }
    }

    // Whether the windows' first and end indices never decrease from one
    // output to the next.
    bool monotone() const { return monotone_; }

    std::uint64_t first(std::size_t j) const { return taps_->first[j - taps_->base]; }
    std::size_t count(std::size_t j) const {
        const std::size_t i = j - taps_->base;
        return taps_->offsets[i + 1] - taps_->offsets[i];
    }
    std::uint64_t end(std::size_t j) const { return first(j) + count(j); }
    const float* weights(std::size_t j) const { return taps_->weights.data() + taps_->offsets[j - taps_->base]; }

    // Output j's value when every tap reads c.
    float constant(std::size_t j, float c) {
        const std::uint32_t id = of_[j - base_];
        if (id != kNone && cache_[id].valid && cache_[id].tag == bits_of(c)) return cache_[id].value;
        const float* w = weights(j);
        const std::size_t n = count(j);
        float acc = 0.0f;
        for (std::size_t k = 0; k < n; ++k) acc = acc + c * w[k];
        const float value = unit_float_of_sum(acc);
        if (id != kNone) cache_[id] = {bits_of(c), value, true};
        return value;
    }

    // Whether every output of the current taps gives the same value for a
    // window holding only c, and that value: computed for each pattern, so
    // that a stretch of such windows is one fill.
    bool uniform(float c, float& value) {
        if (any_none_ || cache_.size() > kUniformPatterns) return false;
        if (!uniform_known_ || uniform_tag_ != bits_of(c)) {
            uniform_known_ = true;
            uniform_tag_ = bits_of(c);
            uniform_ = true;
            for (std::uint32_t id = 0; id < cache_.size() && uniform_; ++id) {
                float acc = 0.0f;
                for (std::size_t k = begin_[id]; k < begin_[id + 1]; ++k) acc = acc + c * kept_[k];
                const float v = unit_float_of_sum(acc);
                uniform_ = id == 0 || bits_of(v) == bits_of(uniform_value_);
                uniform_value_ = v;
            }
        }
        value = uniform_value_;
        return uniform_;
    }

private:
    struct Cached {
        std::uint32_t tag = 0;
        float value = 0.0f;
        bool valid = false;
    };
    static constexpr std::size_t kMaxPatterns = 4096;
    static constexpr std::size_t kRecent = 4;
    // Fills are tried when the scale repeats its weights with a short period.
    static constexpr std::size_t kUniformPatterns = 32;

    bool same(std::uint32_t id, const float* w, std::size_t n) const {
        return begin_[id + 1] - begin_[id] == n &&
               std::memcmp(kept_.data() + begin_[id], w, n * sizeof(float)) == 0;
    }

    // Scales such as 0.5 or 1.5 repeat their weights every few columns, so
    // the last few outputs' ids are tried before the table.
    std::uint32_t id_of(const float* w, std::size_t n, std::size_t at) {
        for (std::size_t back = 1; back <= kRecent && back <= at; ++back) {
            const std::uint32_t id = of_[at - back];
            if (id != kNone && same(id, w, n)) return id;
        }
        std::uint64_t h = 0xCBF29CE484222325u ^ n;
        for (std::size_t k = 0; k < n; ++k) h = (h ^ bits_of(w[k])) * 0x100000001B3u;
        const auto found = by_hash_.find(h);
        if (found != by_hash_.end()) return same(found->second, w, n) ? found->second : kNone;
        if (cache_.size() >= kMaxPatterns) return kNone;
        const auto id = static_cast<std::uint32_t>(cache_.size());
        kept_.insert(kept_.end(), w, w + n);
        begin_.push_back(kept_.size());
        cache_.emplace_back();
        by_hash_.emplace(h, id);
        return id;
    }

    const Taps* taps_ = nullptr;
    std::size_t base_ = 0;
    bool monotone_ = true;
    bool any_none_ = false;
    bool uniform_known_ = false, uniform_ = false;
    std::uint32_t uniform_tag_ = 0;
    float uniform_value_ = 0.0f;
    std::vector<std::uint32_t> of_;
    std::vector<std::size_t> begin_{0};
    std::vector<float> kept_;
    std::vector<Cached> cache_;
    // An ordered map: a hashed one's growth rule calls ceilf, a maths import
    // the module keeps out of its release builds.
    std::map<std::uint64_t, std::uint32_t> by_hash_;
};

// The first output after j, up to x1, whose window ends past `limit`; the
// windows' ends never decrease, and j's does not pass it.
std::size_t first_ending_past(const Patterns& pat, std::size_t j, std::size_t x1, std::uint64_t limit) {
    std::size_t lo = j, step = 1;
    while (lo + step < x1 && pat.end(lo + step) <= limit) {
        lo += step;
        step *= 2;
    }
    std::size_t hi = std::min(lo + step, x1);  // end(hi) > limit, or hi == x1
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        (pat.end(mid) <= limit ? lo : hi) = mid;
    }
    return hi;
}

// Output columns x0 .. x1 - 1 of one output row from its intermediate row;
// `out` is the row, column 0 first.
void horizontal_row(const Pieces& p, Patterns& pat, std::size_t x0, std::size_t x1, float* out) {
    const std::uint64_t* s = p.starts.data();
    const float* v = p.values.data();
    const std::size_t np = p.values.size();
    std::size_t q = 0;
    std::size_t j = x0;
    while (j < x1) {
        const std::uint64_t f = pat.first(j), e = pat.end(j);
        if (s[q] > f) q = static_cast<std::size_t>(std::upper_bound(s, s + np, f) - s) - 1;
        while (s[q + 1] <= f) ++q;
        const std::uint64_t lo = s[q], hi = s[q + 1];
        if (e <= hi) {
            const float c = v[q];
            if (bits_of(c) == 0) {
                j = pat.monotone() ? first_ending_past(pat, j, x1, hi) : j + 1;
                continue;
            }
            float same = 0.0f;
            if (pat.monotone() && pat.uniform(c, same)) {
                const std::size_t stop = first_ending_past(pat, j, x1, hi);
                std::fill(out + j, out + stop, same);
                j = stop;
                continue;
            }
            do {
                out[j] = pat.constant(j, c);
                ++j;
            } while (j < x1 && pat.first(j) >= lo && pat.end(j) <= hi);
            continue;
        }
        const float* w = pat.weights(j);
        const std::size_t n = pat.count(j);
        float acc = 0.0f;
        std::size_t r = q;
        for (std::size_t k = 0; k < n; ++k) {
            while (s[r + 1] <= f + k) ++r;
            acc = acc + v[r] * w[k];
        }
        out[j] = unit_float_of_sum(acc);
        ++j;
    }
}

// Bytes a drawn segment may write past its end: room its buffer keeps.
constexpr std::size_t kDrawSlack = 16;

// Columns lo .. hi - 1 of source row `row`, as 8-bit values. Up to
// kDrawSlack bytes past them may be overwritten: a piece no longer than that
// is one 16-byte store (a feathered edge's pieces are mostly one pixel), the
// next piece or row writing over the excess.
void draw_segment(const RunMask& m, std::uint64_t row, std::uint64_t lo, std::uint64_t hi, std::uint8_t* dst) {
    if (row >= m.row_count() || m.begin[row] == m.begin[row + 1]) {
        std::memset(dst, 0, static_cast<std::size_t>(hi - lo));
        return;
    }
    using Bytes = std::uint8_t __attribute__((vector_size(kDrawSlack)));
    const std::uint32_t* s = m.starts.data();
    const std::size_t b = m.begin[row], e = m.begin[row + 1];
    std::size_t p = static_cast<std::size_t>(std::upper_bound(s + b, s + e, lo) - s) - 1;
    for (std::uint64_t x = lo; x < hi; ++p) {
        const std::uint64_t piece_end = std::min<std::uint64_t>(p + 1 < e ? s[p + 1] : m.width, hi);
        const auto length = static_cast<std::size_t>(piece_end - x);
        if (length <= kDrawSlack) {
            const Bytes splat = Bytes{} + m.values[p];
            std::memcpy(dst + (x - lo), &splat, sizeof splat);
        } else {
            std::memset(dst + (x - lo), m.values[p], length);
        }
        x = piece_end;
    }
}

// Whether every row of `pieces` (the first `rows`) is one piece of +0, so
// that every output reading only them is 0 (horizontal_row says why) and
// their taps need not be made.
bool pieces_are_zeros(const std::vector<Pieces>& pieces, std::size_t rows) {
    for (std::size_t r = 0; r < rows; ++r) {
        if (pieces[r].values.size() != 1 || bits_of(pieces[r].values[0]) != 0) return false;
    }
    return true;
}

// Buffers of the dense fallback, kept across blocks.
struct DenseScratch {
    std::vector<std::uint8_t> drawn;
    std::vector<float> rows, block;
    std::vector<std::uint64_t> rows_first, columns_first;
};

// Output rows y0 .. y0 + count - 1, columns x0 .. x1 - 1, through the dense
// kernels: the source rows and columns the taps reach are drawn, and the
// taps rebased to them.
void dense_block(const RunMask& m, const ResizeKernels& kernels, const Taps& rows_of, std::size_t y0,
                 std::size_t count, const Taps& columns_of, std::size_t x0, std::size_t x1, float* out,
                 std::size_t w_out, DenseScratch& d) {
    std::uint64_t rlo = UINT64_MAX, rhi = 0;
    for (std::size_t y = y0; y < y0 + count; ++y) {
        const std::size_t i = y - rows_of.base;
        rlo = std::min(rlo, rows_of.first[i]);
        rhi = std::max<std::uint64_t>(rhi, rows_of.first[i] + rows_of.offsets[i + 1] - rows_of.offsets[i]);
    }
    d.rows_first.resize(count);
    for (std::size_t y = y0; y < y0 + count; ++y) d.rows_first[y - y0] = rows_of.first[y - rows_of.base] - rlo;
    const TapsView rows_view{d.rows_first.data(), rows_of.offsets.data() + (y0 - rows_of.base), rows_of.weights.data(),
                             y0};
    for (std::size_t s0 = x0; s0 < x1; s0 += kStripColumns) {
        const std::size_t s1 = std::min(x1, s0 + kStripColumns);
        std::uint64_t lo = UINT64_MAX, hi = 0;
        for (std::size_t x = s0; x < s1; ++x) {
            const std::size_t i = x - columns_of.base;
            lo = std::min(lo, columns_of.first[i]);
            hi = std::max<std::uint64_t>(hi, columns_of.first[i] + columns_of.offsets[i + 1] - columns_of.offsets[i]);
        }
        const auto span = static_cast<std::size_t>(hi - lo);
        const auto rows = static_cast<std::size_t>(rhi - rlo);
        d.drawn.resize(checked_product(rows, span, 1) + kDrawSlack);
        for (std::uint64_t r = rlo; r < rhi; ++r) draw_segment(m, r, lo, hi, d.drawn.data() + (r - rlo) * span);
        d.rows.resize(checked_product(kBlockRows, span, sizeof(float)));
        d.block.resize(d.rows.size());
        kernels.vertical_rows(d.drawn.data(), span, 0, span, rows_view, y0, count, d.rows.data(), span);
        kernels.to_block(d.rows.data(), span, span, count, d.block.data());
        d.columns_first.resize(s1 - s0);
        for (std::size_t x = s0; x < s1; ++x) d.columns_first[x - s0] = columns_of.first[x - columns_of.base] - lo;
        const TapsView columns_view{d.columns_first.data(), columns_of.offsets.data() + (s0 - columns_of.base),
                                    columns_of.weights.data(), s0};
        kernels.horizontal_unit_floats(d.block.data(), columns_view, s0, s1, y0, count, out, w_out);
    }
}

// The two passes into `out`, a zero-filled row-major image of width_out
// floats a row, with the taps the dense passes make (PassTaps).
void run_passes(const RunMask& m, std::uint64_t height_out, std::uint64_t width_out, Filter filter, SimdPath path,
                float* out) {
    const ResizeKernels kernels = kernels_for<ResizeKernels>(path);
    const std::size_t h_out = static_cast<std::size_t>(height_out);
    const std::size_t w_out = static_cast<std::size_t>(width_out);
    PassTaps pass(m.width, m.height, width_out, height_out, filter);
    Taps columns_of;

    // With more than one block every block writes every output column, so
    // the columns' taps are made once; with one block, a strip at a time.
    const bool all_columns = h_out > kBlockRows;
    Patterns patterns;
    if (all_columns) {
        columns_of.fill_all(pass.columns_axis, w_out, pass.trim_columns);
        patterns.assign(columns_of, 0, w_out);
    }
    std::vector<Pieces> pieces(std::min(h_out, kBlockRows));
    std::vector<Cursor> cursors;
    // Source columns lo .. hi - 1 of each strip hold every window of the
    // strip: the untrimmed windows of its first and last outputs bound those
    // between them, since their ends never decrease with the output index
    // and trimming only narrows a window.
    std::vector<std::uint64_t> strip_lo, strip_hi;
    std::vector<float> bound;
    for (std::size_t x0 = 0; x0 < w_out; x0 += kDecideColumns) {
        const std::size_t x1 = std::min(w_out, x0 + kDecideColumns);
        strip_lo.push_back(pass.columns_axis.taps(x0, bound));
        strip_hi.push_back(pass.columns_axis.taps(x1 - 1, bound) + bound.size());
    }
    std::vector<std::size_t> at;
    DenseScratch scratch;
    for (std::size_t y0 = 0; y0 < h_out; y0 += kBlockRows) {
        const std::size_t count = std::min(kBlockRows, h_out - y0);
        if (!pass.all_rows) pass.rows_of.fill(pass.rows_axis, y0, y0 + count, true);
        std::uint64_t rlo = UINT64_MAX, rhi = 0;
        for (std::size_t y = y0; y < y0 + count; ++y) {
            const std::size_t i = y - pass.rows_of.base;
            rlo = std::min(rlo, pass.rows_of.first[i]);
            rhi = std::max<std::uint64_t>(rhi, pass.rows_of.first[i] + pass.rows_of.offsets[i + 1] - pass.rows_of.offsets[i]);
        }
        const std::uint64_t taps_of_block = pass.rows_of.offsets[y0 + count - pass.rows_of.base] - pass.rows_of.offsets[y0 - pass.rows_of.base];
        const std::uint64_t rows_with_pieces = std::min<std::uint64_t>(rhi, m.row_count());
        at.resize(static_cast<std::size_t>(rhi - rlo));
        for (std::uint64_t r = rlo; r < rows_with_pieces; ++r) at[r - rlo] = m.begin[r];
        for (std::size_t x0 = 0; x0 < w_out; x0 += kDecideColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kDecideColumns);
            const std::uint64_t lo = strip_lo[x0 / kDecideColumns], hi = strip_hi[x0 / kDecideColumns];
            // The pieces of the block's source rows that meet the strip.
            std::uint64_t met = 0;
            for (std::uint64_t r = rlo; r < rows_with_pieces; ++r) {
                std::size_t& p = at[r - rlo];
                const std::size_t e = m.begin[r + 1];
                if (p == e) continue;
                while (p + 1 < e && m.starts[p + 1] <= lo) ++p;
                std::size_t q = p;
                while (q + 1 < e && m.starts[q + 1] < hi) ++q;
                met += q - p + 1;
            }
            // An output row's stretches are about its tap rows' pieces
            // together; each costs a sum over the taps, where the dense pass
            // sums every column a vector at a time.
            std::uint64_t cells = 0, stretches = 0;
            const bool dense = !__builtin_mul_overflow((rhi - rlo) * count, hi - lo, &cells) &&
                               (__builtin_mul_overflow(met, taps_of_block * kDenseStretches, &stretches) ||
                                stretches > cells);
            if (!dense) {
                for (std::size_t y = y0; y < y0 + count; ++y) {
                    const std::size_t i = y - pass.rows_of.base;
                    vertical_pieces(m, pass.rows_of.first[i], pass.rows_of.weights.data() + pass.rows_of.offsets[i],
                                    pass.rows_of.offsets[i + 1] - pass.rows_of.offsets[i], rlo, at, lo, hi, cursors,
                                    pieces[y - y0]);
                }
                if (pieces_are_zeros(pieces, count)) continue;
            }
            if (!all_columns) {
                columns_of.fill(pass.columns_axis, x0, x1, pass.trim_columns);
                patterns.assign(columns_of, x0, x1);
            }
            if (dense) {
                dense_block(m, kernels, pass.rows_of, y0, count, columns_of, x0, x1, out, w_out, scratch);
                continue;
            }
            for (std::size_t y = y0; y < y0 + count; ++y) horizontal_row(pieces[y - y0], patterns, x0, x1, out + y * w_out);
        }
    }
}

// Nearest: each output copies one source pixel, read from its row's runs.
// Output columns go a strip at a time, with their source columns kept; an
// output row whose source row is the previous one's copies that row.
void nearest_from_runs(const RunMask& m, std::uint64_t height_out, std::uint64_t width_out, float* out) {
    constexpr std::size_t kNearestStrip = 4096;
    const Filter filter = filter_of(FilterType::Nearest);
    const Axis rows_axis(m.height, height_out, filter), columns_axis(m.width, width_out, filter);
    const auto h_out = static_cast<std::size_t>(height_out), w_out = static_cast<std::size_t>(width_out);
    std::vector<float> weights;
    std::vector<std::uint64_t> columns;
    const std::uint32_t* s = m.starts.data();
    for (std::size_t x0 = 0; x0 < w_out; x0 += kNearestStrip) {
        const std::size_t x1 = std::min(w_out, x0 + kNearestStrip), n = x1 - x0;
        columns.clear();
        for (std::size_t x = x0; x < x1; ++x) columns.push_back(columns_axis.taps(x, weights));
        std::uint64_t previous = UINT64_MAX;
        for (std::size_t y = 0; y < h_out; ++y) {
            const std::uint64_t src = rows_axis.taps(y, weights);
            float* row = out + y * w_out + x0;
            if (src >= m.row_count() || m.begin[src] == m.begin[src + 1]) continue;
            if (src == previous) {
                std::memcpy(row, row - w_out, n * sizeof(float));
                continue;
            }
            previous = src;
            const std::size_t b = m.begin[src], e = m.begin[src + 1];
            std::size_t p = static_cast<std::size_t>(std::upper_bound(s + b, s + e, columns[0]) - s) - 1;
            if ((e - b) * 4 > n) {
                // About a piece an output or more: each output finds its own.
                for (std::size_t j = 0; j < n; ++j) {
                    while (p + 1 < e && s[p + 1] <= columns[j]) ++p;
                    row[j] = kUnitFloatPalette.cells[m.values[p]];
                }
                continue;
            }
            for (std::size_t j = 0; j < n;) {
                const std::uint64_t piece_end = p + 1 < e ? s[p + 1] : m.width;
                // The first output from j on whose source column is past the piece.
                std::size_t lo = j, step = 1;
                while (lo + step < n && columns[lo + step] < piece_end) {
                    lo += step;
                    step *= 2;
                }
                std::size_t hi = std::min(lo + step, n);
                while (hi - lo > 1) {
                    const std::size_t mid = lo + (hi - lo) / 2;
                    (columns[mid] < piece_end ? lo : hi) = mid;
                }
                if (m.values[p] != 0) std::fill(row + j, row + hi, kUnitFloatPalette.cells[m.values[p]]);
                j = hi;
                while (j < n && p + 1 < e && s[p + 1] <= columns[j]) ++p;
            }
        }
    }
}

}  // namespace

UnitFloatImage resize_runs_to_unit_floats(const RunMask& mask, float scale, FilterType filter_type, SimdPath path) {
    if (mask.drawn) return resize_to_unit_floats(*mask.drawn, scale, filter_type, path);
    const std::uint64_t w = mask.width, h = mask.height;
    const std::uint64_t w_out = scaled_size(w, scale), h_out = scaled_size(h, scale);
    UnitFloatImage result{w_out, h_out, Buffer<float>::zeroed(checked_product(w_out, h_out, sizeof(float)))};
    if (w == 0 || h == 0 || w_out == 0 || h_out == 0) return result;
    float* dst = result.data.data();
    if (w_out == w && h_out == h) {
        // The mask itself, its zeros already in place.
        for (std::size_t r = 0; r < mask.row_count(); ++r) {
            for (std::size_t p = mask.begin[r]; p < mask.begin[r + 1]; ++p) {
                if (mask.values[p] == 0) continue;
                const std::uint64_t end = p + 1 < mask.begin[r + 1] ? mask.starts[p + 1] : w;
                std::fill(dst + r * w + mask.starts[p], dst + r * w + end, kUnitFloatPalette.cells[mask.values[p]]);
            }
        }
        return result;
    }
    if (filter_type == FilterType::Nearest) {
        nearest_from_runs(mask, h_out, w_out, dst);
        return result;
    }
    run_passes(mask, h_out, w_out, filter_of(filter_type), path, dst);
    return result;
}

}  // namespace ostrel::mask
