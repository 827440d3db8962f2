// Signals and formats shared by the filter and equalizer tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "foundation/MMPCMSup.h"

namespace strataeq::eqtest {

inline constexpr double kFlat = 0.99763115;  // 10^0.3 / 2: a new filter's gain

inline TWaveFormatEx Pcm16(int channels, int rate) {
  return BuildPcmFormat(16, channels, static_cast<std::uint32_t>(rate));
}

inline std::vector<std::int16_t> Noise(std::size_t n, int amplitude, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> d(-amplitude, amplitude);
  std::vector<std::int16_t> v(n);
  for (auto& x : v) x = static_cast<std::int16_t>(d(gen));
  return v;
}

}  // namespace strataeq::eqtest
