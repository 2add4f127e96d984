#include "compact_mask.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include <msgpack/null_visitor.hpp>
#include <msgpack/unpack.hpp>

#include "support/panic.hpp"

namespace ostrel {
namespace {

// Containers may nest this deep in the whole input, the record's own array or
// map counting as level 1. The parser keeps its own heap stack and never
// recurses, so the limit bounds memory, not the machine stack.
constexpr std::size_t kMaxDepth = 1023;

// Declared lengths are not trusted for memory: at most 1 MiB of elements is
// reserved ahead of their arrival, the rest grows as elements come in.
constexpr std::size_t kReserveBytes = std::size_t{1} << 20;
// Rows are budgeted as three machine words each, the footprint of a row held
// as a list of its own, which keeps the budget valid whatever the layout.
constexpr std::size_t kMaxReservedRows = kReserveBytes / 24;
constexpr std::size_t kMaxReservedRuns = kReserveBytes / sizeof(Run);

constexpr std::string_view kDataKey = "data";

// The decoder is a state machine over the parser's events. Each open container
// has a frame saying what its elements must be; the value that arrives next is
// judged by the frame on top (or, with no frame, as the record itself).
enum class Frame : std::uint8_t {
    RecordArray,  // [data]
    RecordMap,    // {key: value, ...}, one key must select `data`
    Rows,         // the `data` list
    Runs,         // one row
    Run,          // [column, value]
    Skip,         // anything inside the value of an unknown map entry
};

enum class Expect : std::uint8_t { Record, Data, Row, Run, Number, Key, Skip };

// Returning false from any callback stops the parser, which then reports
// failure; every rejection goes that way.
class Decoder : public msgpack::null_visitor {
public:
    CompactMaskModel model;

    bool visit_nil() { return accept_scalar(); }
    bool visit_boolean(bool) { return accept_scalar(); }
    bool visit_float32(float) { return accept_scalar(); }
    bool visit_float64(double) { return accept_scalar(); }
    bool visit_str(const char* p, std::uint32_t size) {
        if (expect() == Expect::Key) return accept_key_bytes(p, size);
        return accept_scalar();
    }
    bool visit_ext(const char*, std::uint32_t) {
        // An ext value counts as a level of nesting though it holds no values.
        if (stack_.size() >= kMaxDepth) return false;
        return accept_scalar();
    }

    bool visit_positive_integer(std::uint64_t v) {
        switch (expect()) {
        case Expect::Number:
            return v <= 0xFFFF && accept_number(static_cast<std::uint16_t>(v));
        case Expect::Key:
            return accept_key(v == 0);
        case Expect::Skip:
            return true;
        default:
            return false;
        }
    }

    // The parser reports every signed encoding here, whatever its value, so a
    // key written as a signed 0 lands here and is refused.
    bool visit_negative_integer(std::int64_t v) {
        switch (expect()) {
        case Expect::Number:
            return v >= 0 && v <= 0xFFFF && accept_number(static_cast<std::uint16_t>(v));
        case Expect::Skip:
            return true;
        default:
            return false;
        }
    }

    bool visit_bin(const char* p, std::uint32_t size) {
        switch (expect()) {
        case Expect::Data:
            // An empty bin stands for an empty list.
            if (size != 0) return false;
            data_seen_ = true;
            return true;
        case Expect::Row:
            if (size != 0) return false;
            model.row_ends.push_back(model.runs.size());
            return true;
        case Expect::Run:
            // The first two bytes are column and value; the rest is ignored.
            if (size < 2) return false;
            model.runs.push_back(Run{static_cast<std::uint8_t>(p[0]), static_cast<std::uint8_t>(p[1])});
            return true;
        case Expect::Key:
            return accept_key_bytes(p, size);
        case Expect::Skip:
            return true;
        default:
            return false;
        }
    }

    bool start_array(std::uint32_t n) {
        if (stack_.size() >= kMaxDepth) return false;
        switch (expect()) {
        case Expect::Record:
            if (n != 1) return false;
            return push(Frame::RecordArray);
        case Expect::Data:
            data_seen_ = true;
            model.row_ends.reserve(std::min<std::size_t>(n, kMaxReservedRows));
            return push(Frame::Rows);
        case Expect::Row:
            reserve_runs(n);
            return push(Frame::Runs);
        case Expect::Run:
            if (n != 2) return false;
            return push(Frame::Run);
        case Expect::Skip:
            return push(Frame::Skip);
        default:
            return false;
        }
    }

    bool end_array() {
        const Frame done = stack_.back().frame;
        stack_.pop_back();
        if (done == Frame::Runs) model.row_ends.push_back(model.runs.size());
        if (done == Frame::Run) model.runs.push_back(pending_);
        return true;
    }

    bool end_array_item() {
        ++stack_.back().index;
        return true;
    }

    bool start_map(std::uint32_t) {
        if (stack_.size() >= kMaxDepth) return false;
        switch (expect()) {
        case Expect::Record:
            return push(Frame::RecordMap);
        case Expect::Skip:
            return push(Frame::Skip);
        default:
            return false;
        }
    }

    bool start_map_value() {
        stack_.back().in_value = true;
        return true;
    }

    bool end_map_value() {
        stack_.back().in_value = false;
        stack_.back().value_is_data = false;
        return true;
    }

    bool end_map() {
        const Frame done = stack_.back().frame;
        stack_.pop_back();
        // A record map must have named its data.
        return done != Frame::RecordMap || data_seen_;
    }

    bool complete() const { return data_seen_ && stack_.empty(); }

private:
    struct Level {
        Frame frame;
        bool in_value = false;       // RecordMap: between a key and the next key
        bool value_is_data = false;  // RecordMap: the current value is `data`
        std::uint32_t index = 0;     // elements completed so far
    };

    Expect expect() const {
        if (stack_.empty()) return Expect::Record;
        const Level& top = stack_.back();
        switch (top.frame) {
        case Frame::RecordArray:
            return Expect::Data;
        case Frame::RecordMap:
            if (!top.in_value) return Expect::Key;
            return top.value_is_data ? Expect::Data : Expect::Skip;
        case Frame::Rows:
            return Expect::Row;
        case Frame::Runs:
            return Expect::Run;
        case Frame::Run:
            return Expect::Number;
        case Frame::Skip:
            return Expect::Skip;
        }
        return Expect::Skip;
    }

    bool push(Frame frame) {
        stack_.push_back(Level{frame});
        return true;
    }

    bool accept_scalar() { return expect() == Expect::Skip; }

    bool accept_number(std::uint16_t v) {
        if (stack_.back().index == 0) {
            pending_.column = v;
        } else {
            pending_.value = v;
        }
        return true;
    }

    bool accept_key_bytes(const char* p, std::uint32_t size) {
        return accept_key(size == kDataKey.size() && std::memcmp(p, kDataKey.data(), size) == 0);
    }

    bool accept_key(bool is_data) {
        if (is_data && data_seen_) return false;
        stack_.back().value_is_data = is_data;
        return true;
    }

    // Runs of all rows share one vector; growing it geometrically keeps many
    // small rows from reallocating once each.
    void reserve_runs(std::uint32_t declared) {
        std::vector<Run>& runs = model.runs;
        const std::size_t wanted = runs.size() + std::min<std::size_t>(declared, kMaxReservedRuns);
        if (wanted > runs.capacity()) runs.reserve(std::max(wanted, 2 * runs.capacity()));
    }

    std::vector<Level> stack_;
    Run pending_{0, 0};
    bool data_seen_ = false;
};

constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
constexpr const char* kShapeTooLarge = "ndarray: Shape too large, product of non-zero axis lengths overflows isize";

[[noreturn]] void index_out_of_bounds() { panic(kIndexOutOfBounds); }

// The shape must be representable even when it is empty.
bool shape_fits(std::uint64_t width, std::uint64_t height) {
    std::uint64_t cells = 0;
    return !__builtin_mul_overflow(std::max<std::uint64_t>(height, 1), std::max<std::uint64_t>(width, 1), &cells) &&
           cells <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}

}  // namespace

std::optional<CompactMaskModel> decode_compact_mask(std::span<const std::uint8_t> bytes) {
    Decoder decoder;
    std::size_t offset = 0;
    // parse() succeeds only when one whole value was read; it reports a
    // stopped visitor, a reserved marker and a value cut short all as failure,
    // and leaves whatever follows the value unread.
    const bool ok = msgpack::v2::parse(reinterpret_cast<const char*>(bytes.data()), bytes.size(), offset,
                                       decoder);
    if (!ok || !decoder.complete()) return std::nullopt;
    return std::move(decoder.model);
}

Mask8 reconstruct_ndarray(const CompactMaskModel& model, std::uint64_t width, std::uint64_t height) {
    if (!shape_fits(width, height)) panic(kShapeTooLarge);

    // Zero-filled from calloc: pages nobody writes are never touched, so a
    // large mask with few non-zero rows stays cheap.
    Mask8 mask{height, width, Buffer<std::uint8_t>::zeroed(static_cast<std::size_t>(height * width))};

    for (std::size_t i = 0; i < model.row_count(); ++i) {
        const std::span<const Run> runs = model.row(i);
        if (runs.empty() && width == 0) continue;
        if (i >= height) index_out_of_bounds();
        if (runs.empty()) continue;  // the row is already zero

        std::uint8_t* row = mask.data.data() + i * width;
        // Columns at or beyond `dirty` still hold the zeros they were born
        // with, so filling them with zero can be skipped.
        std::uint64_t dirty = 0;
        auto fill = [&](std::uint64_t from, std::uint64_t to, std::uint8_t v) {
            if (v == 0) to = std::min(to, dirty);
            if (from >= to) return;
            std::memset(row + from, v, static_cast<std::size_t>(to - from));
            dirty = std::max(dirty, to);
        };

        std::uint64_t next = 0;
        std::uint8_t carried = 0;
        for (const Run& run : runs) {
            // The gap before the run could only overrun the row if the run's
            // own column does, and the message is the same either way.
            if (run.column >= width) index_out_of_bounds();
            if (run.column > next) fill(next, run.column, carried);
            carried = static_cast<std::uint8_t>(run.value & 0xFF);
            fill(run.column, std::uint64_t{run.column} + 1, carried);
            next = std::uint64_t{run.column} + 1;
        }
        if (next < width) fill(next, width, carried);
    }
    return mask;
}

namespace {

// Reads the array form of a record, [[[column, value], ...], ...], from the
// bytes and draws each run as it arrives. It handles every encoding that
// form allows; anything else (the map form, a rejected or truncated value)
// makes it give up, and the caller then decodes with the full decoder,
// which is the one that decides what such bytes mean.
template <class T>
class OnePassRaster {
public:
    // With `drawing` false the bytes are only read (there is no mask to draw
    // into). A `zeroed` mask starts as zeros, and cells that stay zero are not
    // written; otherwise it starts uninitialised and every cell is written,
    // through finish().
    OnePassRaster(std::span<const std::uint8_t> bytes, bool drawing, bool zeroed, T* out, std::uint64_t width,
                  std::uint64_t height, const T (&levels)[256])
        : p_(bytes.data()), end_(bytes.data() + bytes.size()), out_(out), width_(width), height_(height),
          levels_(levels), drawing_(drawing), zeroed_(zeroed) {}

    // False: the bytes are not a record this reader completes; nothing it
    // found (error included) counts then.
    bool run() {
        std::uint64_t n = 0;
        if (!array_header(n) || n != 1) return false;
        if (!list_header(n)) return false;
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t runs = 0;
            if (!list_header(runs)) return false;
            if (!row(i, runs)) return false;
        }
        return true;
    }

    // The first rasterisation error in the order of reconstruct_ndarray(), if any.
    const char* error() const { return error_; }

    // After a run() that completed without error: writes the zeros of the
    // rows the record did not reach, unless the mask started zeroed.
    void finish() {
        if (!drawing_ || zeroed_ || rows_seen_ >= height_) return;
        T* from = out_ + rows_seen_ * width_;
        std::fill(from, out_ + height_ * width_, levels_[0]);
    }

private:
    bool row(std::uint64_t i, std::uint64_t runs) {
        // After the first error nothing more is drawn or checked, only read.
        rows_seen_ = i + 1;
        if (runs == 0) {
            if (drawing_ && width_ != 0 && i >= height_) fail(kIndexOutOfBounds);
            if (drawing_ && !zeroed_ && i < height_) std::fill(out_ + i * width_, out_ + (i + 1) * width_, levels_[0]);
            return true;
        }
        if (drawing_ && i >= height_) fail(kIndexOutOfBounds);
        if (drawing_ && !zeroed_) return whole_row(out_ + i * width_, runs);
        // Every write is checked before it happens, so a zero-sized mask is never written.
        T* line = drawing_ ? out_ + i * width_ : nullptr;
        std::uint64_t dirty = 0;  // columns from here on still hold the zeros they were born with
        std::uint64_t next = 0;
        T carried = levels_[0];
        std::uint8_t carried_level = 0;
        for (std::uint64_t k = 0; k < runs; ++k) {
            std::uint16_t column = 0, value = 0;
            if (!common_run_pair(column, value) && !run_pair(column, value)) return false;
            if (!drawing_) continue;
            if (column >= width_) {
                fail(kIndexOutOfBounds);
                line = nullptr;
                continue;
            }
            if (column > next) fill(line, next, column, carried, carried_level, dirty);
            carried_level = static_cast<std::uint8_t>(value & 0xFF);
            carried = levels_[carried_level];
            fill(line, column, std::uint64_t{column} + 1, carried, carried_level, dirty);
            next = std::uint64_t{column} + 1;
        }
        if (drawing_ && next < width_) fill(line, next, width_, carried, carried_level, dirty);
        return true;
    }

    // row() for a mask that did not start zeroed, where every cell of the row
    // is written: the gap before each run holds the value carried from the
    // run before it, as in row(), without the bookkeeping for zeros.
    bool whole_row(T* line, std::uint64_t runs) {
        std::uint64_t next = 0;
        T carried = levels_[0];
        for (std::uint64_t k = 0; k < runs; ++k) {
            std::uint16_t column = 0, value = 0;
            if (!common_run_pair(column, value) && !run_pair(column, value)) return false;
            if (column >= width_) {
                fail(kIndexOutOfBounds);
                return skip_runs(runs - k - 1);
            }
            if (column > next) std::fill(line + next, line + column, carried);
            carried = levels_[value & 0xFF];
            line[column] = carried;
            next = std::uint64_t{column} + 1;
        }
        if (next < width_) std::fill(line + next, line + width_, carried);
        return true;
    }

    bool skip_runs(std::uint64_t runs) {
        for (std::uint64_t k = 0; k < runs; ++k) {
            std::uint16_t column = 0, value = 0;
            if (!common_run_pair(column, value) && !run_pair(column, value)) return false;
        }
        return true;
    }

    static void fill(T* line, std::uint64_t from, std::uint64_t to, T v, std::uint8_t level, std::uint64_t& dirty) {
        if (level == 0) to = std::min(to, dirty);
        if (from >= to) return;
        std::fill(line + from, line + to, v);
        dirty = std::max(dirty, to);
    }

    void fail(const char* message) {
        error_ = message;
        drawing_ = false;
    }

    bool byte(std::uint8_t& b) {
        if (p_ == end_) return false;
        b = *p_++;
        return true;
    }

    bool big_endian(std::size_t size, std::uint64_t& v) {
        if (static_cast<std::size_t>(end_ - p_) < size) return false;
        v = 0;
        for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p_[i];
        p_ += size;
        return true;
    }

    bool array_header(std::uint64_t& n) {
        std::uint8_t m = 0;
        if (!byte(m)) return false;
        if (m >= 0x90 && m <= 0x9F) {
            n = m & 0x0F;
            return true;
        }
        if (m == 0xDC) return big_endian(2, n);
        if (m == 0xDD) return big_endian(4, n);
        return false;
    }

    // A list of rows or of runs: an array, or an empty bin.
    bool list_header(std::uint64_t& n) {
        if (p_ == end_) return false;
        const std::uint8_t m = *p_;
        if (m == 0xC4 || m == 0xC5 || m == 0xC6) {
            ++p_;
            std::uint64_t size = 0;
            if (!big_endian(m == 0xC4 ? 1 : m == 0xC5 ? 2 : 4, size) || size != 0) return false;
            n = 0;
            return true;
        }
        return array_header(n);
    }

    // The encodings a packer picks for a run of a mask up to 65535 wide, read
    // without the general path's checks where enough bytes remain; anything
    // else is left to run_pair(), untouched.
    bool common_run_pair(std::uint16_t& column, std::uint16_t& value) {
        if (end_ - p_ < 7 || p_[0] != 0x92) return false;
        const std::uint8_t* p = p_ + 1;
        if (!common_number(p, column) || !common_number(p, value)) return false;
        p_ = p;
        return true;
    }

    // Reads p[0] .. p[2] whatever the encoding, and picks without branching:
    // the encodings alternate unpredictably along a feathered edge.
    static bool common_number(const std::uint8_t*& p, std::uint16_t& out) {
        const std::uint8_t m = p[0];
        const bool fixed = m <= 0x7F, one = m == 0xCC, two = m == 0xCD;
        if (!(fixed | one | two)) return false;
        const unsigned wide = static_cast<unsigned>(p[1]) << 8 | p[2];
        out = static_cast<std::uint16_t>(fixed ? m : one ? p[1] : wide);
        p += fixed ? 1 : one ? 2 : 3;
        return true;
    }

    bool run_pair(std::uint16_t& column, std::uint16_t& value) {
        if (p_ == end_) return false;
        const std::uint8_t m = *p_;
        if (m == 0xC4 || m == 0xC5 || m == 0xC6) {
            // A bin of two or more bytes: column and value are its first two.
            ++p_;
            std::uint64_t size = 0;
            if (!big_endian(m == 0xC4 ? 1 : m == 0xC5 ? 2 : 4, size) || size < 2) return false;
            if (static_cast<std::uint64_t>(end_ - p_) < size) return false;
            column = p_[0];
            value = p_[1];
            p_ += size;
            return true;
        }
        std::uint64_t n = 0;
        return array_header(n) && n == 2 && number(column) && number(value);
    }

    // Unsigned and signed integer encodings whose value lies in 0 ..= 65535.
    bool number(std::uint16_t& out) {
        std::uint8_t m = 0;
        if (!byte(m)) return false;
        if (m <= 0x7F) {
            out = m;
            return true;
        }
        std::uint64_t v = 0;
        switch (m) {
        case 0xCC: case 0xD0: if (!big_endian(1, v)) return false; if (m == 0xD0 && v > 0x7F) return false; break;
        case 0xCD: case 0xD1: if (!big_endian(2, v)) return false; if (m == 0xD1 && v > 0x7FFF) return false; break;
        case 0xCE: case 0xD2: if (!big_endian(4, v)) return false; if (m == 0xD2 && v > 0x7FFFFFFF) return false; break;
        case 0xCF: case 0xD3: if (!big_endian(8, v)) return false; if (m == 0xD3 && v > 0x7FFFFFFFFFFFFFFF) return false; break;
        default: return false;
        }
        if (v > 0xFFFF) return false;
        out = static_cast<std::uint16_t>(v);
        return true;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    T* out_;
    std::uint64_t width_, height_;
    const T (&levels_)[256];
    bool drawing_;
    bool zeroed_;
    std::uint64_t rows_seen_ = 0;
    const char* error_ = nullptr;
};

template <class T>
std::optional<Buffer<T>> one_pass(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height,
                                  const T (&levels)[256], bool& handled) {
    handled = false;
    // Without a buffer (a shape too large, or memory that cannot be had) the
    // bytes are still read through, so that a record that does not decode is
    // reported as such first.
    const bool fits = shape_fits(width, height);
    const std::size_t count = fits ? static_cast<std::size_t>(height * width) : 0;
    // Large masks are often mostly empty: their zeros come lazily from the
    // kernel. Smaller ones are written cell by cell, which is cheaper than
    // having them cleared first.
    const bool zeroed = Buffer<T>::zeroing_is_lazy(count);
    Buffer<T> buffer;
    bool no_memory = false;
    if (fits) {
        try {
            buffer = zeroed ? Buffer<T>::zeroed(count) : Buffer<T>::uninitialised(count);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    }
    OnePassRaster<T> reader(bytes, fits && !no_memory, zeroed, buffer.data(), width, height, levels);
    if (!reader.run()) return std::nullopt;
    handled = true;
    if (!fits) panic(kShapeTooLarge);
    if (no_memory) throw std::bad_alloc();
    if (reader.error() != nullptr) panic(reader.error());
    reader.finish();
    return buffer;
}

}  // namespace

std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height) {
    std::uint8_t levels[256];
    for (std::size_t v = 0; v < 256; ++v) levels[v] = static_cast<std::uint8_t>(v);
    bool handled = false;
    std::optional<Buffer<std::uint8_t>> data = one_pass(bytes, width, height, levels, handled);
    if (handled) return Mask8{height, width, std::move(*data)};
    const std::optional<CompactMaskModel> model = decode_compact_mask(bytes);
    if (!model) return std::nullopt;
    return reconstruct_ndarray(*model, width, height);
}

std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height) {
    float levels[256];
    for (std::size_t v = 0; v < 256; ++v) levels[v] = static_cast<float>(v) / 255.0f;
    bool handled = false;
    std::optional<Buffer<float>> data = one_pass(bytes, width, height, levels, handled);
    if (handled) return UnitFloatImage{height, width, std::move(*data)};
    const std::optional<CompactMaskModel> model = decode_compact_mask(bytes);
    if (!model) return std::nullopt;
    const Mask8 mask = reconstruct_ndarray(*model, width, height);
    Buffer<float> values = Buffer<float>::uninitialised(mask.data.size());
    for (std::size_t i = 0; i < mask.data.size(); ++i) values[i] = levels[mask.data[i]];
    return UnitFloatImage{height, width, std::move(values)};
}

}  // namespace ostrel
