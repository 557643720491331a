// The benchmarks' input, and long tests': bytes that look like a compressed image (no runs, no
// pattern a shortcut could take), the same on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> benchBuffer(std::size_t size) {
    std::vector<std::uint8_t> buffer(size);
    std::uint32_t seed = 0x2545F491;
    for (auto& byte : buffer) {
        seed = seed * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return buffer;
}
