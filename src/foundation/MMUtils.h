// Shared enumerations, the exception base, integer helpers, the component message
// table and small system utilities.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/System.h"

namespace strataeq {

// Base of every failure the components raise.
class EMMError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#define STRATAEQ_DECLARE_ERROR(Name) \
  class Name : public EMMError {     \
   public:                           \
    using EMMError::EMMError;        \
  }

enum class TMMBits { b8Bit, b16Bit };
enum class TMMMode { mMono, mStereo, mQuadro };
enum class TMMChannel { chBoth, chLeft, chRight };
enum class TMMDecayMode { dmNone, dmStepUp, dmExponential, dmUniform };
enum class TMMTimeFormats { tfMillisecond, tfByte, tfSample };
enum class TMMCBMode { cmWindow, cmCallback, cmThread };
enum class TMMFFTWindow { fwRectangular, fwHamming, fwHanning, fwBlackman, fwGaussian, fwWelch, fwParzen };

using TMMDeviceId = std::int32_t;
inline constexpr TMMDeviceId InvalidId = -2;
inline constexpr TMMDeviceId MapperId = -1;

// A device number as stored in settings: "InvalidId" and "MapperId" for the named values.
std::string DeviceIdToString(TMMDeviceId id);
// Accepts the two identifiers in any letter case, otherwise a plain integer.
// Throws EMMError for anything else.
TMMDeviceId StringToDeviceId(std::string_view text);

// The component message table: message n is entry 28000 + n of the string table.
namespace msg {
inline constexpr int PropertyWhileOpen = 1;       // "Change to property while device was open"
inline constexpr int InvalidWaveFormatLower = 2;  // "Invalid wave format"
inline constexpr int CouldNotCreateThread = 3;
inline constexpr int UnableToStartDevice = 4;
inline constexpr int ErrorFillingBuffer = 5;
inline constexpr int UnableToFreeHeader = 6;
inline constexpr int InvalidWaveFormat = 62;      // "Invalid WaveFormat"
}  // namespace msg
// The text of message n; an unknown number gives an empty text.
std::string LoadResString(int n);
inline constexpr int MessageTableBase = 28000;
// Later units add their entries (number, text) at start-up.
void RegisterMessage(int n, std::string text);

// x * y / z with a 64-bit product, rounded half up for non-negative operands.
std::int32_t MulDivRound(std::int32_t x, std::int32_t y, std::int32_t z);
// x * y / z with a 64-bit product, truncated.
std::int32_t MulDivTrunc(std::int32_t x, std::int32_t y, std::int32_t z);

template <typename T>
constexpr T Min(T a, T b) { return a < b ? a : b; }
template <typename T>
constexpr T Max(T a, T b) { return a > b ? a : b; }
template <typename T>
constexpr T Clamp(T x, T lo, T hi) { return x < lo ? lo : (x > hi ? hi : x); }
template <typename T>
constexpr bool InRange(T x, T lo, T hi) { return lo <= x && x <= hi; }
// The bounds may come in either order.
template <typename T>
constexpr bool InMinMax(T x, T a, T b) { return a <= b ? InRange(x, a, b) : InRange(x, b, a); }

inline void GlobalFillMem(void* dst, std::size_t n, std::uint8_t value) { std::memset(dst, value, n); }
inline void GlobalMoveMem(const void* src, void* dst, std::size_t n) { std::memmove(dst, src, n); }
inline bool GlobalCmpMem(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }
constexpr std::uint16_t Swap16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
constexpr std::uint32_t Swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// "M:SS.mmm" below one hour, "H:MM:SS.mmm" from one hour on; without milliseconds
// the ".mmm" is left out.
std::string FormatTimeString(std::int32_t ms, bool withMilliseconds);

// Waits ms milliseconds; with processMessages the main thread's queue is served
// meanwhile and the wait ends early when the application terminates.
void Delay(std::int32_t ms, bool processMessages);

// Free = 0 and Total = 1 with Success false when the query fails.
TDiskSpace DiskSpace(const std::string& path);
bool HasDiskSpace(const std::string& path, std::int64_t bytes);

// Operating-system tests. Linux answers as a modern system.
bool IsWin95();
bool IsWin98();
bool IsWinNT3();
bool IsWinNT4();

}  // namespace strataeq
