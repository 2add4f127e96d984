// The mask record: its reader, MessagePack bytes read in one pass from the
// first byte with each row and run handed to a sink as it arrives, and the
// record drawn as it is read, with no decoded model in between. The
// module's sinks draw the runs (record.cpp) or keep them (runs.cpp); the
// tests' keeps them as a model.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

#include "mask/raster.hpp"

namespace ostrel::mask {

// Containers may nest this deep in the whole input, the record's own array or
// map counting as level 1, and an ext value counting as a level of its own.
// The rows of `data` sit at fixed levels 2 to 4, so only the values of
// unknown map entries ever come near the limit.
constexpr std::size_t kMaxDepth = 1023;

// The record in MessagePack, read in one pass from the first byte:
//
//   record  = array(1) of data | map of (key, value) with exactly one data key
//   key     = str or bin "data", or unsigned 0: the data entry;
//             any other str, bin or unsigned integer: an entry read over
//   data    = array of rows | empty bin;   row = array of runs | empty bin
//   run     = array(2) of number, number | bin of 2 bytes or more (its first two)
//   number  = an unsigned or signed integer encoding holding 0 ..= 65535
//
// Each list hands its rows and runs to the sink as they arrive. Whatever
// follows the record is not read.
template <class Sink>
class RecordReader {
public:
    RecordReader(std::span<const std::uint8_t> bytes, Sink& sink)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()), sink_(sink) {}

    // True when one whole record was read; nothing the sink was handed counts
    // otherwise.
    bool read() {
        if (p_ == end_) return false;
        const std::uint8_t m = *p_;
        std::uint64_t n = 0;
        if (m >= 0x80 && m <= 0x8F) {
            ++p_;
            return map(m & 0x0F);
        }
        if (m == 0xDE || m == 0xDF) {
            ++p_;
            return big_endian(m == 0xDE ? 2 : 4, n) && map(n);
        }
        return array_header(n) && n == 1 && data();
    }

private:
    template <class>
    friend class RecordReader;

    bool map(std::uint64_t entries) {
        bool seen = false;
        for (std::uint64_t i = 0; i < entries; ++i) {
            bool is_data = false;
            if (!key(is_data) || (is_data ? seen || !data() : !skip_value())) return false;
            seen = seen || is_data;
        }
        return seen;
    }

    // A key is compared byte for byte; a signed integer is no key, even 0.
    bool key(bool& is_data) {
        std::uint8_t m = 0;
        if (!byte(m)) return false;
        std::uint64_t v = 0;
        if (m <= 0x7F) {
            is_data = m == 0;
            return true;
        }
        if (m >= 0xCC && m <= 0xCF) {
            if (!big_endian(std::size_t{1} << (m - 0xCC), v)) return false;
            is_data = v == 0;
            return true;
        }
        if (m >= 0xA0 && m <= 0xBF) {
            v = m & 0x1F;
        } else if (length_field(m) != 0) {
            if (!length(m, v)) return false;
        } else {
            return false;
        }
        if (remaining() < v) return false;
        is_data = v == 4 && std::memcmp(p_, "data", 4) == 0;
        p_ += v;
        return true;
    }

    bool data() {
        std::uint64_t rows = 0;
        if (!list_header(rows)) return false;
        // The declared count, for a sink that asks for it (the tests' model
        // reserves room); it is not trusted.
        if constexpr (requires { sink_.begin_rows(rows); }) sink_.begin_rows(rows);
        return rows_of(rows);
    }

    // The next `rows` rows. A sink that may hand the rest of them to another
    // sink is asked before each row; the other sink's reader goes on from
    // here, and this one from where that one stops.
    bool rows_of(std::uint64_t rows) {
        for (std::uint64_t i = 0; i < rows; ++i) {
            if constexpr (requires { sink_.handover(); }) {
                if (auto* next = sink_.handover()) {
                    RecordReader<std::remove_pointer_t<decltype(next)>> rest({p_, end_}, *next);
                    const bool read = rest.rows_of(rows - i);
                    p_ = rest.p_;
                    return read;
                }
            }
            std::uint64_t runs = 0;
            if (!list_header(runs)) return false;
            auto row = sink_.begin_row(runs);
            if (!row_runs(runs, row)) return false;
            sink_.end_row(row);
        }
        return true;
    }

    // The runs of one row. The position is a local here, not p_: the sink's
    // stores may alias a member, and a position reloaded from memory after
    // each of them would lengthen the chain of dependent loads that reading
    // variable-length encodings is. While the row's remaining runs certainly
    // fit in the bytes left (7 bytes a run in the common encodings), they are
    // read with no check of the end.
    template <class Row>
    bool row_runs(std::uint64_t runs, Row& row) {
        const std::uint8_t* p = p_;
        std::uint64_t k = 0;
        if (static_cast<std::uint64_t>(end_ - p) / 7 >= runs) {
            for (std::uint16_t column = 0, value = 0; k < runs && common_run_pair(p, column, value); ++k) {
                sink_.run(row, column, value);
            }
        }
        for (; k < runs; ++k) {
            std::uint16_t column = 0, value = 0;
            if (end_ - p < 7 || !common_run_pair(p, column, value)) {
                p_ = p;
                if (!run_pair(column, value)) return false;
                p = p_;
            }
            sink_.run(row, column, value);
        }
        p_ = p;
        return true;
    }

    // What follows a value's marker: `size` bytes of payload, or for an
    // array or a map `elements` values (a map's keys and values both count).
    // An ext value nests like a container, though it holds none.
    struct Header {
        std::uint64_t size = 0;
        std::uint64_t elements = 0;
        bool container = false;
        bool nests = false;
    };

    // Reads the length fields after marker m; false when they run past the
    // end, or for 0xC1, which no value uses.
    bool header(std::uint8_t m, Header& h) {
        if (m <= 0x7F || m >= 0xE0) return true;  // fixints
        if (m >= 0xA0 && m <= 0xBF) {
            h.size = m & 0x1F;
            return true;
        }
        if (m <= 0x9F) {
            h.container = h.nests = true;
            h.elements = m < 0x90 ? 2 * (m & 0x0F) : m & 0x0F;
            return true;
        }
        switch (m) {
        case 0xC0: case 0xC2: case 0xC3: return true;
        case 0xCC: case 0xD0: h.size = 1; return true;
        case 0xCD: case 0xD1: h.size = 2; return true;
        case 0xCA: case 0xCE: case 0xD2: h.size = 4; return true;
        case 0xCB: case 0xCF: case 0xD3: h.size = 8; return true;
        case 0xC4: case 0xC5: case 0xC6: case 0xD9: case 0xDA: case 0xDB: return length(m, h.size);
        case 0xD4: case 0xD5: case 0xD6: case 0xD7: case 0xD8:
            h.nests = true;
            h.size = 1 + (std::uint64_t{1} << (m - 0xD4));  // the type byte, then the data
            return true;
        case 0xC7: case 0xC8: case 0xC9:
            h.nests = true;
            if (!big_endian(std::size_t{1} << (m - 0xC7), h.size)) return false;
            ++h.size;  // the type byte
            return true;
        case 0xDC: case 0xDD:
            h.container = h.nests = true;
            return big_endian(m == 0xDC ? 2 : 4, h.elements);
        case 0xDE: case 0xDF:
            h.container = h.nests = true;
            if (!big_endian(m == 0xDE ? 2 : 4, h.elements)) return false;
            h.elements *= 2;
            return true;
        default: return false;  // 0xC1
        }
    }

    // Reads over one value of any type, containers included, as the value of
    // an entry of the record's map (level 1). Open containers are kept as
    // counts of the values they still hold, on a stack bounded by the depth
    // limit, never by recursion.
    bool skip_value() {
        std::array<std::uint64_t, kMaxDepth> enclosing;
        std::size_t open = 0;
        std::uint64_t left = 1;  // values still to read in the innermost open container
        for (;;) {
            while (left == 0) {
                if (open == 0) return true;
                left = enclosing[--open];
            }
            --left;
            std::uint8_t m = 0;
            Header h;
            if (!byte(m) || !header(m, h)) return false;
            // The record's map is level 1, so `open` containers in, the next
            // one would be level open + 2.
            if (h.nests && open + 1 >= kMaxDepth) return false;
            if (h.container) {
                enclosing[open++] = left;
                left = h.elements;
                continue;
            }
            if (remaining() < h.size) return false;
            p_ += h.size;
        }
    }

    std::uint64_t remaining() const { return static_cast<std::uint64_t>(end_ - p_); }

    bool byte(std::uint8_t& b) {
        if (p_ == end_) return false;
        b = *p_++;
        return true;
    }

    bool big_endian(std::size_t size, std::uint64_t& v) {
        if (remaining() < size) return false;
        v = 0;
        for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p_[i];
        p_ += size;
        return true;
    }

    // The bytes of the length field after a bin 8/16/32 or str 8/16/32
    // marker; 0 for any other marker.
    static constexpr std::size_t length_field(std::uint8_t m) {
        switch (m) {
        case 0xC4: case 0xD9: return 1;
        case 0xC5: case 0xDA: return 2;
        case 0xC6: case 0xDB: return 4;
        default: return 0;
        }
    }
    static constexpr bool is_bin(std::uint8_t m) { return m >= 0xC4 && m <= 0xC6; }

    // The length after marker m, one that has a length field.
    bool length(std::uint8_t m, std::uint64_t& size) { return big_endian(length_field(m), size); }

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
        if (is_bin(m)) {
            ++p_;
            std::uint64_t size = 0;
            if (!length(m, size) || size != 0) return false;
            n = 0;
            return true;
        }
        return array_header(n);
    }

    // The encodings a packer picks for a run of a mask up to 65535 wide (a
    // fixint, or an unsigned 8- or 16-bit integer for each number), read
    // without the general path's checks from 7 bytes that certainly remain;
    // anything else is left to run_pair(), untouched. Branches, not selects: the
    // encodings follow the mask's values in long stretches that the branch
    // predictor learns, and a predicted length lets the next run's reading
    // start before this one's is known.
    static bool common_run_pair(const std::uint8_t*& at, std::uint16_t& column, std::uint16_t& value) {
        if (at[0] != 0x92) return false;
        const std::uint8_t* p = at + 1;
        if (!common_number(p, column) || !common_number(p, value)) return false;
        at = p;
        return true;
    }

    static bool common_number(const std::uint8_t*& p, std::uint16_t& out) {
        const std::uint8_t m = p[0];
        if (m <= 0x7F) {
            out = m;
            p += 1;
        } else if (m == 0xCD) {
            out = static_cast<std::uint16_t>(p[1] << 8 | p[2]);
            p += 3;
        } else if (m == 0xCC) {
            out = p[1];
            p += 2;
        } else {
            return false;
        }
        return true;
    }

    bool run_pair(std::uint16_t& column, std::uint16_t& value) {
        if (p_ == end_) return false;
        const std::uint8_t m = *p_;
        if (is_bin(m)) {
            // A bin of two or more bytes: column and value are its first two.
            ++p_;
            std::uint64_t size = 0;
            if (!length(m, size) || size < 2) return false;
            if (remaining() < size) return false;
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
    Sink& sink_;
};

// Reads one record from the start of `bytes` (bytes after it are ignored) and
// draws it into a zero-filled (height, width) mask. std::nullopt for bytes
// that do not hold a record, whatever else is wrong with them; then the
// drawing's Panic (kShapeTooLarge, kIndexOutOfBounds) or std::bad_alloc. The
// first form keeps the 8-bit values (the tests' drawn masks); the second
// returns v / 255 for each value v, the module's result without a resize.
std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height);
std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height);

}  // namespace ostrel::mask
