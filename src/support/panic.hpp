// Internal fatal errors of the numeric core.
//
// A violated internal check ends the current call. The core throws a Panic
// carrying the message and the place of the failed check; the call guard in
// python/errors.hpp reports it on standard error and raises it as PanicException.
// The core itself never prints.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace ostrel {

struct Panic {
    std::string message;
    std::source_location location;
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location location = std::source_location::current()) {
    throw Panic{std::move(message), location};
}

}  // namespace ostrel
