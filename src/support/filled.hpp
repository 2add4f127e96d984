// A vector of copies of one value, built the way a constant expression
// allows: the compiler's tables (the taper, the filterbank) are made of them.
#pragma once

#include <cstddef>
#include <vector>

namespace ostrel {

// `count` copies of `value`, each constructed in place: a constant
// expression may not fill a vector's memory before its elements exist, as
// some libraries' vector(count, value) does.
template <class T>
constexpr std::vector<T> filled(std::size_t count, T value) {
    std::vector<T> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(value);
    return out;
}

}  // namespace ostrel
