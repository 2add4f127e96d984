// The input both C++ benchmarks run on: Gaussian noise at a tenth of full
// scale, the same samples every run.
#pragma once

#include <cstddef>
#include <random>
#include <vector>

inline std::vector<float> noise(std::size_t n) {
    std::mt19937 rng(7);
    std::normal_distribution<float> dist(0.0f, 0.1f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}
