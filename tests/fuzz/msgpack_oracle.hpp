// The mask record decoded by a MessagePack library, as an oracle for the
// module's own reader: the library parses, and a small state machine over its
// events says what the record's grammar makes of each value. It builds the
// plain model and nothing else, so that it can be judged by reading.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <msgpack/null_visitor.hpp>
#include <msgpack/unpack.hpp>

#include "reference/mask_model.hpp"

namespace oracle {

using ostrel::mask::CompactMaskModel;
using ostrel::mask::Run;

// Open containers and ext values, the record's own counting as level 1.
constexpr std::size_t kMaxDepth = 1023;

// What the value that arrives next must be, by the container it is in.
enum class Frame : std::uint8_t { RecordArray, RecordMap, Rows, Runs, Run, Skip };
enum class Expect : std::uint8_t { Record, Data, Row, Run, Number, Key, Skip };

// Returning false from any callback stops the parser, which then reports
// failure; every rejection goes that way.
class Decoder : public msgpack::null_visitor {
public:
    CompactMaskModel model;

    bool visit_nil() { return expect() == Expect::Skip; }
    bool visit_boolean(bool) { return expect() == Expect::Skip; }
    bool visit_float32(float) { return expect() == Expect::Skip; }
    bool visit_float64(double) { return expect() == Expect::Skip; }
    bool visit_str(const char* p, std::uint32_t size) {
        if (expect() == Expect::Key) return key(size == 4 && std::memcmp(p, "data", 4) == 0);
        return expect() == Expect::Skip;
    }
    bool visit_ext(const char*, std::uint32_t) { return stack_.size() < kMaxDepth && expect() == Expect::Skip; }

    bool visit_positive_integer(std::uint64_t v) {
        switch (expect()) {
        case Expect::Number: return v <= 0xFFFF && number(static_cast<std::uint16_t>(v));
        case Expect::Key: return key(v == 0);
        case Expect::Skip: return true;
        default: return false;
        }
    }

    // The library reports every signed encoding here, whatever its value.
    bool visit_negative_integer(std::int64_t v) {
        switch (expect()) {
        case Expect::Number: return v >= 0 && v <= 0xFFFF && number(static_cast<std::uint16_t>(v));
        case Expect::Skip: return true;
        default: return false;
        }
    }

    bool visit_bin(const char* p, std::uint32_t size) {
        switch (expect()) {
        case Expect::Data: data_seen_ = true; return size == 0;
        case Expect::Row:
            model.row_ends.push_back(model.runs.size());
            return size == 0;
        case Expect::Run:
            if (size < 2) return false;
            model.runs.push_back(Run{static_cast<std::uint8_t>(p[0]), static_cast<std::uint8_t>(p[1])});
            return true;
        case Expect::Key: return key(size == 4 && std::memcmp(p, "data", 4) == 0);
        case Expect::Skip: return true;
        default: return false;
        }
    }

    bool start_array(std::uint32_t n) {
        if (stack_.size() >= kMaxDepth) return false;
        switch (expect()) {
        case Expect::Record: return n == 1 && push(Frame::RecordArray);
        case Expect::Data: data_seen_ = true; return push(Frame::Rows);
        case Expect::Row: return push(Frame::Runs);
        case Expect::Run: return n == 2 && push(Frame::Run);
        case Expect::Skip: return push(Frame::Skip);
        default: return false;
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
        if (expect() == Expect::Record) return push(Frame::RecordMap);
        return expect() == Expect::Skip && push(Frame::Skip);
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
        case Frame::RecordArray: return Expect::Data;
        case Frame::RecordMap:
            if (!top.in_value) return Expect::Key;
            return top.value_is_data ? Expect::Data : Expect::Skip;
        case Frame::Rows: return Expect::Row;
        case Frame::Runs: return Expect::Run;
        case Frame::Run: return Expect::Number;
        case Frame::Skip: return Expect::Skip;
        }
        return Expect::Skip;
    }

    bool push(Frame frame) {
        stack_.push_back(Level{frame});
        return true;
    }

    bool number(std::uint16_t v) {
        (stack_.back().index == 0 ? pending_.column : pending_.value) = v;
        return true;
    }

    bool key(bool is_data) {
        if (is_data && data_seen_) return false;
        stack_.back().value_is_data = is_data;
        return true;
    }

    std::vector<Level> stack_;
    Run pending_{0, 0};
    bool data_seen_ = false;
};

// One record from the start of the bytes, whatever follows it.
inline std::optional<CompactMaskModel> decode(std::span<const std::uint8_t> bytes) {
    Decoder decoder;
    std::size_t offset = 0;
    const bool ok = msgpack::v2::parse(reinterpret_cast<const char*>(bytes.data()), bytes.size(), offset, decoder);
    if (!ok || !decoder.complete()) return std::nullopt;
    return std::move(decoder.model);
}

}  // namespace oracle
