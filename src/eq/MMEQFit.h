// Band lists from equalizer texts: the gains that make the equalizer's designed
// response (the FIR filter the bands build, not the band gains) follow a GraphicEQ or
// ParametricEQ curve, the preset loader that takes any form, and the GraphicEQ export.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eq/MMEQText.h"
#include "eq/MMObjLst.h"

namespace strataeq {

enum class TEQFitBands {
  fbWindow,  // the window's fifteen bands
  fbExact    // one band per GraphicEQ point, or per 1/48 octave of a parametric curve
};

struct TEQFitOptions {
  TEQFitBands Bands = TEQFitBands::fbWindow;
  // The response is fitted at this rate; at another rate the bands' bins move a little.
  std::int32_t SampleRate = 44100;
  // Stored with the preset. Its length sets the finest detail the response can follow
  // (coarse at 256); the filter uses at most 1024 points, so longer ones gain nothing.
  // 0: the length the text records (our export writes it), else 1024.
  std::int32_t FFTLength = 0;
  TMMFFTWindow Window = TMMFFTWindow::fwHamming;
};

struct TEQBand {
  float F1 = 0, F2 = 0, Gain = 0;
};

struct TEQFit {
  std::vector<TEQBand> Bands;
  std::int32_t FFTLength = 1024;
  // Added to the text's curve (its preamp included) so that its peak is at most 0 dB,
  // and then to every band if the designed response still rose above 0 dB.
  double CurveHeadroomDb = 0;
  double RippleHeadroomDb = 0;
  // Designed response against the target (the curve plus its headroom) on a 1/48-octave
  // grid from 20 Hz to ErrorTo (20 kHz, or half a lower sample rate).
  double ErrorTo = 20000;
  double RmsError = 0;
  double MaxError = 0;
  double MaxErrorFrequency = 0;
  // From this frequency up the response stays within 1 dB of the target; the filter's
  // length limits the low end below it.
  double FollowsFrom = 20;
  double ResponsePeakDb = 0;  // over 0 Hz .. half the sample rate
  std::string Description;
  std::vector<std::string> Warnings;
};

// sourceName goes into the description (a file name without its folder reads best).
TEQFit FitEQText(const TEQText& text, const TEQFitOptions& options, const std::string& sourceName);

// The designed response in dB at each frequency of the bands applied as the equalizer
// applies them: flat 0 dB from 0 Hz to half the rate, then every band in order.
std::vector<double> DesignedResponseDb(const std::vector<TEQBand>& bands, std::int32_t sampleRate,
                                       std::int32_t fftLength, TMMFFTWindow window,
                                       const std::vector<double>& frequencies);
// The enabled bands of a list.
std::vector<TEQBand> EnabledBands(const TMMEQFilterList& list);

// Replaces the list's bands, description and FFT length with the fit, as reading a
// preset does (one change notification).
void ApplyFit(const TEQFit& fit, TMMEQFilterList& list);

// A band whose gain the filter cannot give at some sample rate and FFT length: it owns
// no bin, or too few for its gain.
struct TBandReach {
  int Band = 0;          // index in the list
  double Gain = 0;       // asked, dB
  double Reached = 0;    // the response at the band's centre, every band applied, dB
  // The shortest FFT length (up to the filter's 1024) at which the band reaches its
  // gain; 0 when none does.
  std::int32_t ReachingLength = 0;
  double AtLongest = 0;  // the change at 1024, when no length reaches the gain
};
// The enabled bands with a non-zero gain where the list's response at the band's centre
// misses that gain by more than 1 dB and a quarter of the gain (a cut beyond 40 dB
// counts as given when the response is beyond 40 dB down too).
std::vector<TBandReach> UnreachedBands(const TMMEQFilterList& list, std::int32_t sampleRate, std::int32_t fftLength);
// One line for a band of UnreachedBands: "band 1 (0 Hz - 60 Hz) at +6.0 dB gives ...".
std::string BandReachText(const TMMEQFilterList& list, const TBandReach& reach, std::int32_t fftLength);

// Holds the list's gains to -99 .. 16 dB (a preset file may carry any number there);
// one warning per band changed, naming the file and the band.
std::vector<std::string> ClampPresetGains(TMMEQFilterList& list, const std::string& fileName);

// Loads a preset of any form into list: an "sqp" file (by its "EQU" signature or its
// extension) through the list's LoadFromFile, anything else as a GraphicEQ or
// ParametricEQ text fitted with options (an "sqp" file's gains clamped as by
// ClampPresetGains). Returns the warnings, each beginning with the
// file name; fills fit when given and a text was read. Failures raise EStreamError
// (EFOpenError, or EEQTextError naming the line) and leave the list as it was.
std::vector<std::string> LoadPresetFile(const std::string& fileName, TMMEQFilterList& list,
                                        const TEQFitOptions& options = {}, TEQFit* fit = nullptr);

// The list's designed response as a GraphicEQ line of points 1/48 octave apart from
// 5 Hz to 20 kHz (the grid the fit uses, so that an import gives the same bands back),
// at the given rate and the list's FFT length, after a comment recording that length
// and "Preamp: 0 dB", so that an import keeps both the length and the levels.
std::string ExportGraphicEQ(const TMMEQFilterList& list, std::int32_t sampleRate = 44100);

}  // namespace strataeq
