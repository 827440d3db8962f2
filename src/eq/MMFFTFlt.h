// The FFT block filter: a linear-phase FIR filter designed from per-bin gains and
// applied to interleaved 16-bit PCM or 32-bit float samples by overlap-add fast
// convolution.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "eq/MMFFT.h"
#include "foundation/MMPCMSup.h"
#include "platform/HandOff.h"
#include "platform/Threads.h"

namespace strataeq {

inline constexpr int kMaxFilterBlock = 1024;
inline constexpr int kMaxFilterChannels = 2;
inline constexpr int kFilterTable = kMaxFilterBlock + 2;  // 1026 entries
// Where the kernel's split form starts, 64-byte aligned.
inline constexpr int kSplitKernel = (4 * kFilterTable + 15) / 16 * 16;
// Frames of each channel one hand-off to the helper covers at most.
inline constexpr int kHelperFrames = 16384;

struct TFFTFilter {
  std::int32_t SampleRate = 0;
  std::int32_t Channels = 0;
  std::int32_t BlockLength = 0;  // N, a power of two, 8 .. 1024
  std::int32_t HalfBlock = 0;    // N / 2
  bool Float = false;            // 32-bit float samples (no clipping) instead of 16-bit
  PComplexFFT FFT;
  std::int32_t Capacity = 0;  // Q: bytes one call may bring; each queue holds 2Q
  // Byte queues (2Q bytes each) kept as samples so that whole blocks, which always
  // start at the front, are read as such: the 16-bit pair or the float pair.
  std::unique_ptr<std::int16_t[]> InQueue;
  std::unique_ptr<std::int16_t[]> OutQueue;
  std::unique_ptr<float[]> InQueueF;
  std::unique_ptr<float[]> OutQueueF;
  std::int32_t InCount = 0;   // bytes
  std::int32_t OutCount = 0;  // bytes
  bool Flowing = false;       // filtered data has been returned since the last reset
  // Aligned output (file routes): the first N/4 frames the filter produces are its
  // delay and are dropped, and no more bytes come out than went in.
  bool Aligned = false;
  std::int32_t SkipBytes = 0;  // delay still to drop
  std::int64_t InBytes = 0;    // given since the reset
  std::int64_t OutBytes = 0;   // returned since the reset
  bool Drained = false;        // the end of the input was padded and filtered
  // The unfiltered channel of a stereo stream, N/4 frames back, so that it stays in
  // step with the filtered one once the delay is dropped.
  std::int16_t History[kMaxFilterBlock / 4] = {};
  float HistoryF[kMaxFilterBlock / 4] = {};
  // Float input: NaN and infinite samples are taken as silence and counted here (the
  // owner's counter, so that it outlives the filter); none counts nothing.
  std::atomic<std::int64_t>* NonFiniteCount = nullptr;
  TMMFFTWindow Window = TMMFFTWindow::fwHamming;
  detail::AlignedFloats Taper;  // WindowValue(Window, j, N/2) for j = 0 .. N/2
  // Tail of the last block of each channel, added into the next one.
  detail::AlignedFloats Overlap[kMaxFilterChannels];
  detail::AlignedFloats Gains;     // kFilterTable linear gains of bins 0 .. N/2
  detail::AlignedFloats Response;  // kFilterTable complex: H[0 .. N-1]
  // H / N as the filtering reads it: 2N floats (Re, -Re) per bin, then 2N floats
  // (-Im, -Im), so that conj(X H / N) = X * P + swap(X) * Q element by element; from
  // kSplitKernel on, N floats Re, then from kSplitKernel + kMaxFilterBlock N floats -Im.
  detail::AlignedFloats Kernel;
  detail::AlignedFloats Work;  // kFilterTable complex scratch
  // With a helper, the right channel of stereo blocks (both channels filtered) is
  // filtered on the helper's thread, through a transform context and scratch of its
  // own; each channel's output is gathered in Apart (kHelperFrames samples of either)
  // and interleaved once both are done. Without one, the channels go one after the other.
  THandOffWorker* Helper = nullptr;
  PComplexFFT HelperFFT;
  detail::AlignedFloats HelperWork;
  detail::AlignedFloats Apart[kMaxFilterChannels];
  // Guards the gains, the response and one whole ProcessFilter call (so a reset or a
  // redesign never lands between two blocks of one buffer).
  TCriticalSection Lock;
};

using PFFTFilter = std::unique_ptr<TFFTFilter>;

// format: 16-bit PCM or 32-bit float, 1 or 2 channels (anything else gives none, as
// does a failed allocation). N = the largest power of two <= Min(fftLength, 1024), at
// least 8. capacity is raised to four blocks of N frames if it is smaller. The new filter passes
// the signal scaled by 10^0.3 / 2 (about 0.998) and delayed by N/4 frames.
PFFTFilter CreateFFTFilter(const TWaveFormatEx* format, int fftLength, int capacity);
void FreeFFTFilter(PFFTFilter& filter);
// Main thread, before the filter is used: hands the right channel of stereo blocks to
// helper (none: both on the calling thread). The output stays the same to the bit. The
// helper may serve several filters; one busy with another's block leaves the block
// to the calling thread. Raises std::bad_alloc.
void SetFilterHelper(TFFTFilter* filter, THandOffWorker* helper);

// Main thread. Both redesign the response under the lock.
void SetFilterWindow(TFFTFilter* filter, TMMFFTWindow window);
// Sets the bins from f1 to f2 Hz to gain dB (edges below 0 Hz count as 0; a NaN or
// an infinity changes nothing; gains beyond +-400 dB are held there).
void SetFilterBand(TFFTFilter* filter, float f1, float f2, float gainDb);
// Sets the gains of those bins only, without designing (for a spare filter).
void SetFilterBandGain(TFFTFilter* filter, float f1, float f2, float gainDb);
// Designs the spare's gains with the filter's window outside the filter's lock, then
// swaps the spare's gains, response and kernel into the filter under it. The spare
// has the filter's block length; it keeps the filter's old design.
void InstallFilterDesign(TFFTFilter* filter, TFFTFilter* spare);
// The bins from firstBin to lastBin that SetFilterBand gives f1 .. f2 Hz for a filter
// of that sample rate and block length; false (no bins) for a NaN or an infinity.
bool FilterBandBins(std::int32_t sampleRate, std::int32_t blockLength, float f1, float f2, int& firstBin,
                    int& lastBin);
// Empties both queues and the overlap buffers and starts the aligned count anew.
void ResetFilter(TFFTFilter* filter);
// Aligned output on or off; takes effect with the next reset (it resets).
void SetFilterAligned(TFFTFilter* filter, bool aligned);

// Audio thread: filters bytes of interleaved PCM in place and returns whether any
// sample was clipped. A call larger than the capacity is worked through in slices.
bool ProcessFilter(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes);

// Aligned filters (audio thread). Filters bytes of interleaved samples and puts the
// next delivered bytes of the aligned output at the front of the buffer: until the
// delay has passed that is fewer than were given. Returns whether any sample clipped.
bool ProcessFilterAligned(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes, int& delivered);
// The same with the input read from in, which stays as it is, and the output put at out
// (room for bytes; it may be in itself).
bool ProcessFilterAlignedFrom(TFFTFilter* filter, TMMChannel mode, const void* in, void* out, int bytes,
                              int& delivered);
// After the last input: the rest of the output, up to bytes of it, flushed through the
// filter with silence. Once it delivers 0 the output is as long as the input.
bool DrainFilter(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes, int& delivered);
// Bytes given to an aligned filter and not yet returned.
std::int64_t FilterPending(TFFTFilter* filter);

}  // namespace strataeq
