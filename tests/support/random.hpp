// The seeded random source of the native tests' election generators: the
// same seed gives the same elections on every machine (the distributions of
// libstdc++ are fixed for a given 64-bit Mersenne twister sequence).
#ifndef TARVEK_SUPPORT_RANDOM_HPP
#define TARVEK_SUPPORT_RANDOM_HPP

#include <cstdint>
#include <random>

namespace tarvek_support {

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    // A whole number in [low, high].
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
    // True with probability p.
    bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
    // A real number in [low, high).
    double real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(engine_); }

private:
    std::mt19937_64 engine_;
};

}  // namespace tarvek_support

#endif  // TARVEK_SUPPORT_RANDOM_HPP
