// Input decoding, failure reports and call tracing of the flat-interface fuzzer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "powergpu.h"

namespace powergpu::fuzz {

inline int code(PowerStatusCode status) {
    return static_cast<int>(status);
}

[[noreturn]] inline void violated(const std::string& what) {
    std::fprintf(stderr, "\n*** powergpu fuzz invariant violated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// With POWERGPU_FUZZ_TRACE set, every call is printed as C, so that a
// crashing input reads as a reproducer: run the fuzzer on the input alone.
inline bool tracing = false;

__attribute__((format(printf, 1, 2))) inline void trace(const char* format, ...) {
    if (!tracing) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

// ------------------------------------------------------------ input decoding

// Reads the input front to back; an exhausted input reads as zeros, so every
// prefix of an input is itself a valid sequence.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    uint8_t byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    bool flag() { return (byte() & 1) != 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | byte();
        }
        return value;
    }
    uint64_t u64() { return (static_cast<uint64_t>(u32()) << 32) | u32(); }
    double rawDouble() {
        const uint64_t bits = u64();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    template <typename T, size_t N>
    T pick(const T (&table)[N]) {
        return table[byte() % N];
    }

private:
    const uint8_t* data_;
    size_t size_;
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr double kPi = 3.14159265358979323846;

}  // namespace powergpu::fuzz
