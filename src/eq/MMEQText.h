// The equalizer text forms that desktop equalizers share: "GraphicEQ" (one line of
// frequency/gain points) and "ParametricEQ" ("Preamp:" and "Filter" lines of peak and
// shelf biquads). Reading them into a target curve, and writing points back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eq/MMObjLst.h"

namespace strataeq {

// A text that cannot be read: the message names the source, the line and what was
// expected there. A stream error, so that a caller treats every preset failure alike.
class EEQTextError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

inline constexpr double kEQTextMinGain = -99.0;
inline constexpr double kEQTextMaxGain = 16.0;
inline constexpr double kEQTextMinFrequency = 1.0;
// Beyond these a filter's response is no longer a number (0/0 at its frequency).
inline constexpr double kEQTextMinQ = 0.01;
inline constexpr double kEQTextMaxQ = 100.0;
inline constexpr std::size_t kEQTextMaxPoints = 4096;
inline constexpr std::size_t kEQTextMaxFilters = 256;
inline constexpr std::size_t kEQTextMaxBytes = 1 << 20;

struct TEQTextPoint {
  double Frequency = 0;  // Hz
  double Gain = 0;       // dB
};

enum class TEQTextFilterType { ftPeak, ftLowShelf, ftHighShelf };

// One biquad as the usual cookbook defines it (f0 = Fc; a shelf's Fc is where it has
// half its gain).
struct TEQTextFilter {
  TEQTextFilterType Type = TEQTextFilterType::ftPeak;
  double Frequency = 1000;  // Hz
  double Gain = 0;          // dB
  double Q = 0.70710678118654752;
  int Line = 0;
};

struct TEQText {
  double Preamp = 0;                   // dB, the sum of every "Preamp:" line
  bool HasPreamp = false;              // a "Preamp:" line sets the headroom itself
  // From a "# StrataEq FFT length: N" comment (our export writes it); 0 without one.
  std::int32_t FFTLength = 0;
  std::vector<TEQTextPoint> Points;    // the GraphicEQ line, frequencies rising
  std::vector<TEQTextFilter> Filters;  // the enabled filters
  double SampleRate = 44100;           // what the filters are evaluated at
  // Numbers that were clamped or points and filters that were left out, each as
  // "line n: ...".
  std::vector<std::string> Warnings;

  bool IsGraphic() const { return !Points.empty(); }
  // Preamp + GraphicEQ curve (linear in log frequency between points, held beyond
  // the ends) + every filter's magnitude, in dB.
  double TargetDb(double frequency) const;
  // "GraphicEQ, 127 points" or "ParametricEQ, 10 filters".
  std::string Summary() const;
};

// Reads either form (both may share a file; their responses add). Lines are
// "Preamp: x dB", "Filter[ n]: ON|OFF PK|LSC|HSC Fc f Hz Gain g dB [Q q]" (Q is
// required for PK; the units are optional), "GraphicEQ: f g; f g; ...", blank lines
// and "#" comments ("# StrataEq FFT length: N" is read into FFTLength). Frequencies outside 1 Hz .. sampleRate / 2 are left out and gains
// outside -99 .. 16 dB clamped, each with a warning; anything else that is not as
// expected (a comma as the decimal mark, a missing semicolon, NaN, an unknown filter
// type, more than kEQTextMaxPoints points) raises EEQTextError "<source>: line n: ...".
TEQText ParseEQText(std::string_view text, const std::string& source, double sampleRate = 44100);

// "GraphicEQ: f g; f g; ..." and a line feed; frequencies and gains with up to two
// decimals.
std::string FormatGraphicEQ(const std::vector<TEQTextPoint>& points);

}  // namespace strataeq
