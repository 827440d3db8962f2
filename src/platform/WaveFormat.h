// The wave format record and the wave buffer record, as the wave API and every floor
// above it share them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace strataeq {

inline constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
// The platform's WAVEFORMATEX, little-endian and packed; extra bytes may follow.
struct TWaveFormatEx {
  std::uint16_t wFormatTag;
  std::uint16_t nChannels;
  std::uint32_t nSamplesPerSec;
  std::uint32_t nAvgBytesPerSec;
  std::uint16_t nBlockAlign;
  std::uint16_t wBitsPerSample;
  std::uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatEx) == 18);
static_assert(offsetof(TWaveFormatEx, nChannels) == 2);
static_assert(offsetof(TWaveFormatEx, nSamplesPerSec) == 4);
static_assert(offsetof(TWaveFormatEx, nAvgBytesPerSec) == 8);
static_assert(offsetof(TWaveFormatEx, nBlockAlign) == 12);
static_assert(offsetof(TWaveFormatEx, wBitsPerSample) == 14);
static_assert(offsetof(TWaveFormatEx, cbSize) == 16);

// The wave buffer record: the platform's WAVEHDR followed by the chain's own fields.
// Pointer-sized fields follow the machine's pointer width, so the record is 60 bytes
// on a 32-bit build and 80 on a 64-bit one; field order and meaning are the same.
struct TMMWaveHdr {
  char* lpData;                // start of the audio bytes
  std::uint32_t dwBufferLength;  // bytes the data area can hold / bytes to pass on
  std::int32_t dwBytesRecorded;  // valid bytes; 0 or less means no data
  std::uintptr_t dwUser;
  std::uint32_t dwFlags;
  std::uint32_t dwLoops;
  TMMWaveHdr* lpNext;
  std::uintptr_t reserved;
  std::uint8_t wh_reserved[8];
  TMMWaveHdr* wh_link;         // related record (the output device's playing record)
  std::int32_t LoopRec;        // nonzero (-1) when the puller asks a source to loop
  std::int32_t LoopCount;      // 0 = endless
  std::int32_t LoopTempCount;  // loops still to go
  std::int32_t LoopMark;       // -1 when a source wrapped round while filling
};
namespace detail {
inline constexpr std::size_t P = sizeof(void*);
}  // namespace detail
static_assert(offsetof(TMMWaveHdr, dwBufferLength) == detail::P);
static_assert(offsetof(TMMWaveHdr, dwBytesRecorded) == detail::P + 4);
static_assert(offsetof(TMMWaveHdr, dwUser) == detail::P + 8);
static_assert(offsetof(TMMWaveHdr, dwFlags) == 2 * detail::P + 8);
static_assert(offsetof(TMMWaveHdr, dwLoops) == 2 * detail::P + 12);
static_assert(offsetof(TMMWaveHdr, lpNext) == 2 * detail::P + 16);
static_assert(offsetof(TMMWaveHdr, reserved) == 3 * detail::P + 16);
static_assert(offsetof(TMMWaveHdr, wh_reserved) == 4 * detail::P + 16);
static_assert(offsetof(TMMWaveHdr, wh_link) == 4 * detail::P + 24);
static_assert(offsetof(TMMWaveHdr, LoopRec) == 5 * detail::P + 24);
static_assert(offsetof(TMMWaveHdr, LoopCount) == 5 * detail::P + 28);
static_assert(offsetof(TMMWaveHdr, LoopTempCount) == 5 * detail::P + 32);
static_assert(offsetof(TMMWaveHdr, LoopMark) == 5 * detail::P + 36);
static_assert(sizeof(TMMWaveHdr) == 5 * detail::P + 40);  // 60 bytes with 4-byte pointers
static_assert(sizeof(void*) != 4 || sizeof(TMMWaveHdr) == 60);
using PMMWaveHdr = TMMWaveHdr*;

}  // namespace strataeq
