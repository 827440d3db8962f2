#include "files/MMRIFF.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace strataeq {
namespace {

constexpr TInfoDescriptor kInfo[InfoCount] = {
    {mmioFOURCC('I', 'A', 'R', 'L'), "Archival Location", "Indicates where the subject of the file is archived."},
    {mmioFOURCC('I', 'A', 'R', 'T'), "Artist", "Lists the artist of the original subject of the file."},
    {mmioFOURCC('I', 'C', 'M', 'S'), "Commissioned",
     "Lists the name of the person or organization that commissioned the subject of the file."},
    {mmioFOURCC('I', 'C', 'M', 'T'), "Comments",
     "Provides general comments about the file or the subject of the file."},
    {mmioFOURCC('I', 'C', 'O', 'P'), "Copyright", "Records the copyright information for the file."},
    {mmioFOURCC('I', 'C', 'R', 'D'), "Creation date", "Specifies the date the subject of the file was created."},
    {mmioFOURCC('I', 'C', 'R', 'P'), "Cropped",
     "Describes whether an image has been cropped and, if so, how it was cropped."},
    {mmioFOURCC('I', 'D', 'I', 'M'), "Dimensions", "Specifies the size of the original subject of the file."},
    {mmioFOURCC('I', 'D', 'P', 'I'), "Dots Per Inch",
     "Stores dots per inch setting of the digitizer used to produce the file."},
    {mmioFOURCC('I', 'E', 'N', 'G'), "Engineer", "Stores the name of the engineer who worked on the file."},
    {mmioFOURCC('I', 'G', 'N', 'R'), "Genre",
     "Describes the original work, such as landscape, portrait, still life, etc."},
    {mmioFOURCC('I', 'K', 'E', 'Y'), "Keywords",
     "Provides a list of keywords that refer to the file or subject of the file."},
    {mmioFOURCC('I', 'L', 'G', 'T'), "Lightness",
     "Describes the changes in lightness settings on the digitizer required to produce the file."},
    {mmioFOURCC('I', 'M', 'E', 'D'), "Medium",
     "Describes the original subject of the file, such as computer image, drawing, lithograph, and so forth."},
    {mmioFOURCC('I', 'N', 'A', 'M'), "Name", "Stores the title of the subject of the file."},
    {mmioFOURCC('I', 'P', 'L', 'T'), "Palette Setting",
     "Specifies the number of colors requested when digitizing an image."},
    {mmioFOURCC('I', 'P', 'R', 'D'), "Product",
     "Specifies the name of the title the file was originally intended for."},
    {mmioFOURCC('I', 'S', 'B', 'J'), "Subject", "Describes the contents of the file."},
    {mmioFOURCC('I', 'S', 'F', 'T'), "Software",
     "Identifies the name of the software package used to create the file."},
    {mmioFOURCC('I', 'S', 'H', 'P'), "Sharpness",
     "Identifies the changes in sharpness for the digitizer required to produce the file."},
    {mmioFOURCC('I', 'S', 'R', 'C'), "Source",
     "Identifies the name of the person or organization who supplied the original subject of the file."},
    {mmioFOURCC('I', 'S', 'R', 'F'), "Source Form",
     "Identifies the original form of the material that was digitized."},
    {mmioFOURCC('I', 'T', 'C', 'H'), "Technician", "Identifies the technician who digitized the subject file."},
};

// Longer INFO texts are cut: they are labels, and the cut bounds what a file can
// make us allocate.
constexpr std::int64_t kMaxInfoText = 65536;

std::uint32_t GetLE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool WriteLE32(TMMIO& io, std::uint32_t v) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return io.Write(b, 4) == 4;
}

std::string_view UpToZero(std::string_view text) {
  const auto z = text.find('\0');
  return z == std::string_view::npos ? text : text.substr(0, z);
}

// The bytes a DISP entry is written with; empty when it is not written.
std::string_view DispPayload(const TDispEntry& e) {
  const std::string_view all(reinterpret_cast<const char*>(e.Data.data()), e.Data.size());
  if (e.Type == DISP_TEXT) return UpToZero(all);
  if (e.Type == DISP_DIB) return all;
  return {};
}

bool DispWritten(const TDispEntry& e) {
  if (e.Data.empty()) return false;
  return e.Type == DISP_DIB || (e.Type == DISP_TEXT && !DispPayload(e).empty());
}

std::int64_t Padded(std::int64_t n) { return n + (n & 1); }

}  // namespace

const TInfoDescriptor& InfoDescriptor(int index) { return kInfo[std::clamp(index, 0, InfoCount - 1)]; }

int InfoIndex(FOURCC id) {
  for (int i = 0; i < InfoCount; ++i)
    if (kInfo[i].Id == id) return i;
  return -1;
}

TInfoList::TInfoList() {
  for (int i = 0; i < InfoCount; ++i) entries_[static_cast<std::size_t>(i)].Index = i;
}

const std::string& TInfoList::Text(int index) const { return Entry(index).Text; }

const TInfoEntry& TInfoList::Entry(int index) const {
  return entries_[static_cast<std::size_t>(std::clamp(index, 0, InfoCount - 1))];
}

void TInfoList::SetText(int index, std::string_view text, bool changed) {
  if (index < 0 || index >= InfoCount) return;
  TInfoEntry& e = entries_[static_cast<std::size_t>(index)];
  e.Text = std::string(UpToZero(text));
  if (changed) e.Flags |= INFO_CHANGED;
}

bool TInfoList::HasText() const {
  return std::any_of(entries_.begin(), entries_.end(), [](const TInfoEntry& e) { return !e.Text.empty(); });
}

void TInfoList::Clear() {
  for (auto& e : entries_) {
    e.Text.clear();
    e.Flags = 0;
  }
}

int riffReadINFO(TMMIO& io, const MMCKINFO& list, TInfoList& info) {
  if (list.ckid != FOURCC_LIST || list.fccType != FOURCC_INFO) return RIFFERR_BADPARAM;
  const std::int64_t end = std::min(list.dwDataOffset + list.cksize, io.Size());
  std::int64_t at = list.dwDataOffset + 4;
  try {
    std::string text;
    while (at + 8 <= end) {
      std::uint8_t head[8];
      if (io.Seek(at, SEEK_SET) < 0 || io.Read(head, 8) != 8) return RIFFERR_FILEERROR;
      const FOURCC id = GetLE32(head);
      const std::int64_t size = std::min<std::int64_t>(GetLE32(head + 4), end - at - 8);
      const int index = InfoIndex(id);
      if (index >= 0) {
        text.resize(static_cast<std::size_t>(std::min(size, kMaxInfoText)));
        if (io.Read(text.data(), static_cast<std::int64_t>(text.size())) != static_cast<std::int64_t>(text.size()))
          return RIFFERR_FILEERROR;
        info.SetText(index, text, false);  // read, not changed
      }
      at += 8 + Padded(size);
    }
  } catch (const std::bad_alloc&) {
    return RIFFERR_NOMEM;
  }
  return RIFFERR_NOERROR;
}

int riffWriteINFO(TMMIO& io, const TInfoList& info) {
  if (!info.HasText()) return RIFFERR_NOERROR;
  MMCKINFO list;
  list.fccType = FOURCC_INFO;
  if (io.CreateChunk(list, MMIO_CREATELIST) != MMSYSERR_NOERROR) return RIFFERR_FILEERROR;
  for (int i = 0; i < InfoCount; ++i) {
    const std::string& text = info.Text(i);
    if (text.empty()) continue;
    MMCKINFO sub;
    sub.ckid = InfoDescriptor(i).Id;
    sub.cksize = static_cast<std::uint32_t>(text.size() + 1);
    if (io.CreateChunk(sub, 0) != MMSYSERR_NOERROR) return RIFFERR_FILEERROR;
    const std::int64_t n = static_cast<std::int64_t>(text.size()) + 1;  // with its terminating zero
    if (io.Write(text.c_str(), n) != n) return RIFFERR_FILEERROR;
    if (io.Ascend(sub) != MMSYSERR_NOERROR) return RIFFERR_FILEERROR;
  }
  return io.Ascend(list) == MMSYSERR_NOERROR ? RIFFERR_NOERROR : RIFFERR_FILEERROR;
}

std::int64_t riffINFOSize(const TInfoList& info) {
  if (!info.HasText()) return 0;
  std::int64_t n = 12;
  for (int i = 0; i < InfoCount; ++i) {
    const std::string& text = info.Text(i);
    if (!text.empty()) n += 8 + Padded(static_cast<std::int64_t>(text.size()) + 1);
  }
  return n;
}

int riffReadDISP(TMMIO& io, const MMCKINFO& chunk, TDispList& disp) {
  if (chunk.ckid != FOURCC_DISP || chunk.cksize < 4) return RIFFERR_BADPARAM;
  const std::int64_t end = std::min(chunk.dwDataOffset + chunk.cksize, io.Size());
  if (end < chunk.dwDataOffset + 4) return RIFFERR_FILEERROR;
  try {
    std::uint8_t type[4];
    if (io.Seek(chunk.dwDataOffset, SEEK_SET) < 0 || io.Read(type, 4) != 4) return RIFFERR_FILEERROR;
    TDispEntry e;
    e.Type = GetLE32(type);
    e.Data.resize(static_cast<std::size_t>(end - chunk.dwDataOffset - 4));
    const auto n = static_cast<std::int64_t>(e.Data.size());
    if (io.Read(e.Data.data(), n) != n) return RIFFERR_FILEERROR;
    disp.push_back(std::move(e));
  } catch (const std::bad_alloc&) {
    return RIFFERR_NOMEM;
  }
  return RIFFERR_NOERROR;
}

int riffWriteDISP(TMMIO& io, const TDispList& disp) {
  for (const TDispEntry& e : disp) {
    if (!DispWritten(e)) continue;
    const std::string_view payload = DispPayload(e);
    MMCKINFO ck;
    ck.ckid = FOURCC_DISP;
    if (io.CreateChunk(ck, 0) != MMSYSERR_NOERROR) return RIFFERR_FILEERROR;
    if (!WriteLE32(io, e.Type)) return RIFFERR_FILEERROR;
    const auto n = static_cast<std::int64_t>(payload.size());
    if (io.Write(payload.data(), n) != n) return RIFFERR_FILEERROR;
    if (e.Type == DISP_TEXT) {
      const char zero = 0;
      if (io.Write(&zero, 1) != 1) return RIFFERR_FILEERROR;
    }
    if (io.Ascend(ck) != MMSYSERR_NOERROR) return RIFFERR_FILEERROR;
  }
  return RIFFERR_NOERROR;
}

std::int64_t riffDISPSize(const TDispList& disp) {
  std::int64_t n = 0;
  for (const TDispEntry& e : disp) {
    if (!DispWritten(e)) continue;
    const auto payload = static_cast<std::int64_t>(DispPayload(e).size()) + (e.Type == DISP_TEXT ? 1 : 0);
    n += 8 + Padded(4 + payload);
  }
  return n;
}

}  // namespace strataeq
