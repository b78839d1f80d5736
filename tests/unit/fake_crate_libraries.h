// A scripted in-process stand-in for the crate library and the AVR library: a few crates
// with module IDs, one flash per opened module (erased like NOR flash, writes that only
// clear bits), injected failures by call, and a log of every call with its arguments.
#pragma once

#include <stdint.h>

#include <array>
#include <map>
#include <string>
#include <vector>

struct FakeCrate {
    std::string serial;  // up to 16 bytes; 16 leaves the list entry without its zero
    std::array<uint16_t, 16> mids{};
};

struct FakeCrateSystem {
    std::vector<FakeCrate> crates;
    // Failures: the nth call (1-based) of an operation named as in `calls` returns `code`.
    // An nth of 0 fails every call.
    struct Failure {
        std::string op;
        int nth;
        int code;
    };
    std::vector<Failure> failures;
    std::map<std::pair<std::string, int>, std::vector<uint8_t>> flash;  // by crate and slot
    std::map<uint32_t, uint8_t> stuck;  // byte address -> value every read-back returns
    std::string opened_serial;          // what an open reports as the crate reached, if set

    // Every call, as "Op(arguments)", in order.
    std::vector<std::string> calls;
    std::map<std::string, int> counts;

    // The flash of a module, created erased at the size of the largest kind.
    std::vector<uint8_t> &module_flash(const std::string &serial, int slot);
};

// The fake that the library functions use; a fresh one per test.
extern FakeCrateSystem *fake;

// The calls whose name starts with `prefix` (for example "QBXAVR_").
std::vector<std::string> calls_starting_with(const std::string &prefix);
