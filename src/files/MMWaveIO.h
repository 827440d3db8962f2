// The wave I/O layer: opens RIFF WAVE files (named, from the resource table or from
// memory), creates, reads, writes, seeks and finishes them. It never throws; every
// operation returns a status code.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "files/MMRIFF.h"
#include "foundation/MMPCMSup.h"
#include "platform/MMIO.h"

namespace strataeq {

inline constexpr int WIOERR_NOERROR = 0;
inline constexpr int WIOERR_BADFORMAT = 101;  // no usable format
inline constexpr int WIOERR_BADPARAMS = 104;
inline constexpr int WIOERR_FILEERROR = 106;
inline constexpr int WIOERR_NOMEM = 107;

inline constexpr FOURCC FOURCC_WAVE = mmioFOURCC('W', 'A', 'V', 'E');
inline constexpr FOURCC FOURCC_FMT = mmioFOURCC('f', 'm', 't', ' ');
inline constexpr FOURCC FOURCC_DATA = mmioFOURCC('d', 'a', 't', 'a');
inline constexpr FOURCC FOURCC_FACT = mmioFOURCC('f', 'a', 'c', 't');

// How a block was opened.
inline constexpr std::uint32_t WIO_FILE = 1;
inline constexpr std::uint32_t WIO_RESOURCE = 2;
inline constexpr std::uint32_t WIO_MEMORY = 4;

// The largest RIFF size field a file can carry.
inline constexpr std::int64_t RiffSizeLimit = 0xFFFFFFFFll;
// The format part of a "fmt " chunk that is kept: the record and the most extra
// bytes its 16-bit size can announce.
inline constexpr std::int64_t MaxFormatBytes = 18 + 65535;

// One open wave. Sizes and positions are 64-bit so that a file can use the whole
// 32-bit RIFF range.
struct TWaveIOCB {
  std::unique_ptr<TMMIO> Handle;  // none while closed
  MMCKINFO RiffChunk;
  MMCKINFO DataChunk;
  std::span<const std::uint8_t> Memory;  // source of a resource or memory open
  std::int64_t FileSize = 0;
  std::int64_t DataBytes = 0;
  std::int64_t DataOffset = 0;
  std::int64_t Samples = 0;
  std::int64_t FirstSample = 0;
  std::int64_t EndSample = 0;
  std::int64_t BytesLeft = 0;
  std::int64_t Position = 0;  // in samples
  std::uint32_t OpenFlags = 0;
  bool Created = false;  // made by wioFileCreate, not opened from an existing file
  bool Written = false;  // data written since opened: finishing rewrites the trailer
  bool Unfinished = false;  // read from a header whose sizes were never written
  // Written to a stream (a device, a FIFO): the header is written once, first, with
  // the sizes StreamBytes of data will give, or with the streaming sizes 0xFFFFFFFF
  // when StreamBytes is -1 (unknown); nothing is ever rewritten.
  bool Streamed = false;
  std::int64_t StreamBytes = -1;
  int Error = 0;  // errno of the first write that failed; ENODATA: a stream ended short of its header
  std::int64_t MaxRiffSize = RiffSizeLimit;
  std::int32_t IOBufferSize = 32768;
  std::string FileName;
  TDispList Disp;
  TInfoList Info;
  std::vector<std::uint8_t> FormatBytes;  // at least 18

  const TWaveFormatEx* Format() const { return reinterpret_cast<const TWaveFormatEx*>(FormatBytes.data()); }
  TWaveFormatEx* Format() { return reinterpret_cast<TWaveFormatEx*>(FormatBytes.data()); }
};
using PWaveIOCB = std::unique_ptr<TWaveIOCB>;

// Opens an existing wave and reads its header; the handle is closed again before
// returning (wioFileReopen opens it for streaming). kind is WIO_FILE or WIO_RESOURCE.
int wioFileOpen(PWaveIOCB& result, const std::string& name, std::uint32_t kind, std::int32_t ioBufferSize = 32768);
// The memory must stay alive as long as the block.
int wioMemoryOpen(PWaveIOCB& result, const void* data, std::size_t size);
// A block holding a copy of the format, ready for wioFileCreate. Empty for an
// unusable format.
PWaveIOCB wioCreateBlock(const TWaveFormatEx* format);
// Makes a new file (an existing one is deleted first) and stays in its data chunk.
// With fd, the wave is written into that open file from its start instead, and name
// only records where it lives; with stream, fd is a device or a FIFO written in order,
// whose header carries the sizes of streamBytes of data (-1: not known).
int wioFileCreate(TWaveIOCB& block, const std::string& name, int fd = -1, bool stream = false,
                  std::int64_t streamBytes = -1);
// Opens the file again for streaming: read only unless writable is asked for.
int wioFileReopen(TWaveIOCB& block, bool writable = false);
int wioSetIOBuffer(TWaveIOCB& block, std::int32_t size);
// Positions at sample s of the played range (clamped to it).
int wioWaveSeek(TWaveIOCB& block, std::int64_t sample);
// Positions after the last sample, for appending.
int wioWaveSeekEnd(TWaveIOCB& block);
// Bytes read or written, -1 on failure.
std::int64_t wioWaveRead(TWaveIOCB& block, void* buffer, std::int64_t length);
std::int64_t wioWaveWrite(TWaveIOCB& block, const void* buffer, std::int64_t length);
// Whether length more data bytes keep the RIFF size within the block's limit.
bool wioWaveFits(const TWaveIOCB& block, std::int64_t length);
// Completes a written file (sizes, "fact", DISP, INFO) and closes it. When that fails
// (a full disk), a file is cut after its last whole sample on disk and its header
// given those sizes, so that it stays a valid wave; the result is still a failure.
int wioFileClose(TWaveIOCB& block);
void wioFreeFileInfo(PWaveIOCB& block);

bool wioIsValidPath(const std::string& name);
bool wioFileExists(const std::string& name);
bool wioFileDelete(const std::string& name);
// The file starts with a "RIFF" chunk of form "WAVE".
bool wioIsRiffWaveFile(const std::string& name);

// Conversions of the wave's format with 64-bit results, rounded as the 32-bit ones.
std::int64_t wioBytesToSamples(const TWaveFormatEx* f, std::int64_t bytes);
std::int64_t wioSamplesToBytes(const TWaveFormatEx* f, std::int64_t samples);
std::int64_t wioSamplesToMs(const TWaveFormatEx* f, std::int64_t samples);
std::int64_t wioMsToSamples(const TWaveFormatEx* f, std::int64_t ms);

}  // namespace strataeq
