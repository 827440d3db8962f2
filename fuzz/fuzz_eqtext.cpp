// GraphicEQ / ParametricEQ text reader from memory. Beyond crashes and sanitizer
// reports it checks the reader's promises:
// - a refused text raises EEQTextError naming the source first, nothing else;
// - an accepted text has points rising within 1 Hz .. half the rate, gains within
//   -99 .. 16 dB, enabled filters with a finite gain in range, Fc in range and Q > 0,
//   and a finite target curve;
// - its points written as GraphicEQ read back as the same points.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "eq/MMEQText.h"

using namespace strataeq;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_eqtext: %s\n", what);
    std::abort();
  }
}

bool InRange(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const double rate = size > 0 && (data[0] & 1) ? 48000 : 44100;
  TEQText text;
  try {
    text = ParseEQText(input, "fuzz.txt", rate);
  } catch (const EEQTextError& e) {
    Check(std::string_view(e.what()).starts_with("fuzz.txt: "), "message does not name the source");
    return 0;
  }
  const double nyquist = rate / 2;
  Check(InRange(text.Preamp, kEQTextMinGain, kEQTextMaxGain), "preamp out of range");
  Check(text.Points.size() <= kEQTextMaxPoints, "too many points");
  for (std::size_t i = 0; i < text.Points.size(); ++i) {
    Check(InRange(text.Points[i].Frequency, kEQTextMinFrequency, nyquist), "point frequency out of range");
    Check(InRange(text.Points[i].Gain, kEQTextMinGain, kEQTextMaxGain), "point gain out of range");
    Check(i == 0 || text.Points[i].Frequency > text.Points[i - 1].Frequency, "points do not rise");
  }
  Check(text.Filters.size() <= kEQTextMaxFilters, "too many filters");
  for (const TEQTextFilter& f : text.Filters) {
    Check(InRange(f.Frequency, kEQTextMinFrequency, nyquist), "filter frequency out of range");
    Check(InRange(f.Gain, kEQTextMinGain, kEQTextMaxGain), "filter gain out of range");
    Check(std::isfinite(f.Q) && f.Q > 0, "filter Q not above 0");
  }
  for (double f : {1.0, 20.0, 1000.0, 19999.0, nyquist})
    Check(std::isfinite(text.TargetDb(f)), "target not finite");

  if (text.Points.empty()) return 0;
  // Two decimals: points closer than that may merge, which the reader refuses.
  TEQText again;
  try {
    again = ParseEQText(FormatGraphicEQ(text.Points), "again.txt", rate);
  } catch (const EEQTextError& e) {
    Check(std::string_view(e.what()).find("does not rise") != std::string_view::npos, "written points refused");
    return 0;
  }
  Check(again.Points.size() <= text.Points.size(), "written points grew");
  if (again.Points.size() == text.Points.size() && again.Warnings.empty())
    for (std::size_t i = 0; i < text.Points.size(); ++i)
      Check(std::abs(again.Points[i].Gain - text.Points[i].Gain) <= 0.0051, "written gain differs");
  return 0;
}
