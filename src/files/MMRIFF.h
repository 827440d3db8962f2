// RIFF INFO and DISP lists: read from a wave file, kept with it, written back.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MMIO.h"

namespace strataeq {

// Results of the list readers and writers.
inline constexpr int RIFFERR_NOERROR = 0;
inline constexpr int RIFFERR_BADPARAM = 2;
inline constexpr int RIFFERR_FILEERROR = 3;
inline constexpr int RIFFERR_NOMEM = 4;

inline constexpr FOURCC FOURCC_INFO = mmioFOURCC('I', 'N', 'F', 'O');
inline constexpr FOURCC FOURCC_DISP = mmioFOURCC('D', 'I', 'S', 'P');

// The 23 INFO identifiers, in the order they are written.
inline constexpr int InfoCount = 23;
struct TInfoDescriptor {
  FOURCC Id;
  const char* Name;
  const char* Description;
};
const TInfoDescriptor& InfoDescriptor(int index);
// Index of a known identifier, -1 for any other.
int InfoIndex(FOURCC id);

inline constexpr std::uint32_t INFO_CHANGED = 0x0001;  // set since read

struct TInfoEntry {
  int Index = 0;
  std::uint32_t Flags = 0;
  std::string Text;
};

class TInfoList {
 public:
  TInfoList();
  const std::string& Text(int index) const;
  // Texts stop at their first zero byte.
  void SetText(int index, std::string_view text, bool changed = true);
  const TInfoEntry& Entry(int index) const;
  bool HasText() const;
  void Clear();

 private:
  std::array<TInfoEntry, InfoCount> entries_;
};

// Display types that are written back: text (with its terminating zero) and a
// packed bitmap.
inline constexpr std::uint32_t DISP_TEXT = 1;
inline constexpr std::uint32_t DISP_DIB = 8;

struct TDispEntry {
  std::uint32_t Type = 0;
  std::vector<std::uint8_t> Data;
};
using TDispList = std::vector<TDispEntry>;

// Reads the sub-chunks of a "LIST" chunk of type "INFO" that the handle has just
// descended into; known identifiers set their entries. Sizes are clamped to the list.
int riffReadINFO(TMMIO& io, const MMCKINFO& list, TInfoList& info);
// Writes a "LIST" "INFO" chunk when any entry has text.
int riffWriteINFO(TMMIO& io, const TInfoList& info);
// Bytes riffWriteINFO would write.
std::int64_t riffINFOSize(const TInfoList& info);

// Reads a "DISP" chunk the handle has just descended into and appends it.
int riffReadDISP(TMMIO& io, const MMCKINFO& chunk, TDispList& disp);
// Writes one "DISP" chunk per text or bitmap entry that has data.
int riffWriteDISP(TMMIO& io, const TDispList& disp);
std::int64_t riffDISPSize(const TDispList& disp);

}  // namespace strataeq
