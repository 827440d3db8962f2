// Gaps a listener hears in a recording of a steady tone, fitted block by block: a block
// whose tone is under half the amplitude is wrong (a silence), and so is a block whose
// phase does not follow on from the last sounding one (a skip or an inserted silence
// that moved the tone). A run of wrong blocks is one gap, as a listener hears one
// silence however long; two runs with a sound block between are two. Silence before
// the tone first sounds does not count. A rate held by resampling (at most 0.5 %)
// moves the phase by far less than the tolerance.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace strataeq::bench {

// samples: 16-bit interleaved, channels per frame, the first channel fitted; blocks of
// block frames from frame offset on. starts, if given, gets the first frame of each gap.
inline int HeardGaps(const std::int16_t* samples, std::size_t frames, int channels, double rate, double hz,
                     int block, std::size_t offset, double amplitude, std::vector<std::size_t>* starts = nullptr) {
  const double step = 2 * M_PI * hz / rate;
  const auto n = static_cast<std::size_t>(block);
  int gaps = 0;
  bool sounding = false;
  bool inGap = false;
  double last = 0;
  for (std::size_t b = offset; b + n <= frames; b += n) {
    double re = 0, im = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const double v = samples[static_cast<std::size_t>(channels) * (b + k)];
      re += v * std::cos(step * static_cast<double>(k));
      im -= v * std::sin(step * static_cast<double>(k));
    }
    const double amp = 2 * std::hypot(re, im) / block;
    bool wrong = amp < amplitude / 2;
    if (!wrong) {
      const double phase = std::atan2(im, re);
      if (sounding) wrong = std::abs(std::remainder(phase - last - step * block, 2 * M_PI)) > 0.3;
      sounding = true;
      last = phase;
    }
    if (wrong && sounding && !inGap) {
      ++gaps;
      if (starts) starts->push_back(b);
    }
    inGap = wrong && sounding;
  }
  return gaps;
}

// 16-bit stereo at 44100 Hz, as the drivers' tests record it.
inline int HeardGaps(const std::vector<std::uint8_t>& pcm, double hz, int block, int offset, double amplitude) {
  return HeardGaps(reinterpret_cast<const std::int16_t*>(pcm.data()), pcm.size() / 4, 2, 44100, hz, block,
                   static_cast<std::size_t>(offset), amplitude);
}

}  // namespace strataeq::bench
