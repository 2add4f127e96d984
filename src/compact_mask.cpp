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

[[noreturn]] void index_out_of_bounds() { panic("ndarray: index out of bounds"); }

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
    // The shape must be representable even when it is empty.
    std::uint64_t cells = 0;
    if (__builtin_mul_overflow(std::max<std::uint64_t>(height, 1), std::max<std::uint64_t>(width, 1), &cells) ||
        cells > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        panic("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }

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

}  // namespace ostrel
