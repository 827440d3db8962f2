// strataeq_gaps REC.wav HZ [SKIP_SECONDS [INPUT.wav]]: the gaps a listener hears in a
// recording of a route that played a steady tone of HZ (16-bit PCM WAV), fitted 10 ms
// at a time; prints "gaps N minutes M per-minute R". The tone's level is the median of
// the sounding blocks', so any gain of the route does. With INPUT.wav, a recording of
// the route's input started at the same moment, it adds "upstream U": the gaps that
// follow a gap of the input within kUpstreamSeconds, there before the route.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "ToneGaps.h"

namespace {

std::uint32_t Le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24; }
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

struct TFit {
  double rate = 0;
  double minutes = 0;
  std::vector<double> gaps;  // seconds from the start of the fitted span
};

// Fits the recording at path; false (and says why) when it cannot.
bool Fit(const char* path, double hz, double skipSeconds, TFit& fit) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
    std::fprintf(stderr, "strataeq_gaps: %s is not a WAV file\n", path);
    return false;
  }
  int channels = 0, bits = 0;
  double rate = 0;
  const unsigned char* data = nullptr;
  std::size_t bytes = 0;
  for (std::size_t p = 12; p + 8 <= file.size();) {
    const std::size_t size = Le32(&file[p + 4]);
    const std::size_t avail = std::min(size, file.size() - p - 8);  // a recording cut short
    if (std::memcmp(&file[p], "fmt ", 4) == 0 && avail >= 16) {
      channels = Le16(&file[p + 10]);
      rate = Le32(&file[p + 12]);
      bits = Le16(&file[p + 22]);
    } else if (std::memcmp(&file[p], "data", 4) == 0) {
      data = &file[p + 8];
      bytes = avail;
      break;
    }
    p += 8 + size + (size & 1);
  }
  if (!data || bits != 16 || channels < 1 || rate <= 0) {
    std::fprintf(stderr, "strataeq_gaps: %s is not 16-bit PCM\n", path);
    return false;
  }
  std::vector<std::int16_t> samples(bytes / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(Le16(data + 2 * i));
  const std::size_t frames = samples.size() / static_cast<std::size_t>(channels);
  const auto skip = static_cast<std::size_t>(skipSeconds * rate);
  const int block = static_cast<int>(rate / 100);
  fit.rate = rate;
  fit.minutes = static_cast<double>(frames - std::min(frames, skip)) / rate / 60;

  // The tone's level: the median of the blocks that hold more than 1 % of full scale.
  std::vector<double> levels;
  const double step = 2 * M_PI * hz / rate;
  for (std::size_t b = skip; b + static_cast<std::size_t>(block) <= frames; b += static_cast<std::size_t>(block)) {
    double re = 0, im = 0;
    for (int k = 0; k < block; ++k) {
      const double v = samples[static_cast<std::size_t>(channels) * (b + static_cast<std::size_t>(k))];
      re += v * std::cos(step * k);
      im -= v * std::sin(step * k);
    }
    if (const double amp = 2 * std::hypot(re, im) / block; amp > 327) levels.push_back(amp);
  }
  if (levels.empty()) {
    std::printf("gaps - minutes %.2f per-minute - (no tone of %g Hz in %s)\n", fit.minutes, hz, path);
    return false;
  }
  std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2), levels.end());
  std::vector<std::size_t> starts;
  strataeq::bench::HeardGaps(samples.data(), frames, channels, rate, hz, block, skip, levels[levels.size() / 2],
                             &starts);
  for (const std::size_t s : starts) fit.gaps.push_back(static_cast<double>(s - skip) / rate);
  return true;
}

// An input gap reaches the output after the route's delay; the two recordings start
// apart by however long the second recorder took to start.
constexpr double kUpstreamSeconds = 0.3;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: strataeq_gaps REC.wav HZ [SKIP_SECONDS [INPUT.wav]]\n");
    return 2;
  }
  const double hz = std::atof(argv[2]);
  const double skip = argc > 3 ? std::atof(argv[3]) : 0;
  TFit out;
  if (!Fit(argv[1], hz, skip, out)) return 1;
  const int gaps = static_cast<int>(out.gaps.size());
  std::printf("gaps %d minutes %.2f per-minute %.2f", gaps, out.minutes, out.minutes > 0 ? gaps / out.minutes : 0.0);
  if (argc > 4) {
    TFit input;
    if (!Fit(argv[4], hz, skip, input)) return 1;
    const int upstream = static_cast<int>(std::count_if(out.gaps.begin(), out.gaps.end(), [&](double t) {
      return std::any_of(input.gaps.begin(), input.gaps.end(),
                         [t](double u) { return u <= t + 0.05 && t - u <= kUpstreamSeconds; });
    }));
    std::printf(" upstream %d", upstream);
  }
  std::printf("\n");
  return 0;
}
