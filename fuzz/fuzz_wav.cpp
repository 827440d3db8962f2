// WAV reader from memory. Beyond crashes and sanitizer reports it checks the
// reader's promises:
// - an accepted wave has a usable format (no zero rate, alignment or byte rate) and
//   its samples lie inside the input, in whole blocks;
// - reading delivers exactly the announced bytes, equal to the input's bytes there,
//   and then reports the end;
// - the wave layer and TMMWave agree on what they accept.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files/MMWave.h"

using namespace strataeq;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_wav: %s\n", what);
    std::abort();
  }
}

bool ReadBlock(const std::uint8_t* data, std::size_t size) {
  PWaveIOCB block;
  if (wioMemoryOpen(block, data, size) != WIOERR_NOERROR) {
    Check(!block, "a refused wave left a block");
    return false;
  }
  const TWaveFormatEx* f = block->Format();
  Check(f->nChannels > 0 && f->nSamplesPerSec > 0 && f->nBlockAlign > 0 && f->nAvgBytesPerSec > 0,
        "accepted format with a zero field");
  Check(block->FormatBytes.size() >= FormatSize(f), "format record shorter than its size");
  Check(block->DataOffset >= 12 && block->DataBytes >= 0, "data outside the RIFF chunk");
  Check(block->DataOffset + block->DataBytes <= static_cast<std::int64_t>(size), "data past the input");
  Check(block->DataBytes % f->nBlockAlign == 0, "data not in whole blocks");
  Check(block->Samples == wioBytesToSamples(f, block->DataBytes), "sample count does not match the data");

  Check(wioFileReopen(*block) == WIOERR_NOERROR, "reopen failed");
  std::vector<std::uint8_t> buf(4093);
  std::int64_t total = 0;
  for (;;) {
    const std::int64_t r = wioWaveRead(*block, buf.data(), static_cast<std::int64_t>(buf.size()));
    Check(r >= 0, "read failed in memory");
    if (r == 0) break;
    Check(std::memcmp(buf.data(), data + block->DataOffset + total, static_cast<std::size_t>(r)) == 0,
          "read bytes differ from the input");
    total += r;
    Check(total <= block->DataBytes, "read past the data");
  }
  const std::int64_t expected =
      std::min(wioSamplesToBytes(f, block->EndSample), block->DataBytes);
  Check(total == expected, "read fewer bytes than announced");
  // Seeking anywhere, even far outside, stays inside the data.
  for (const std::int64_t s : {std::int64_t{-5}, block->Samples / 2, block->Samples + 100}) {
    Check(wioWaveSeek(*block, s) == WIOERR_NOERROR, "seek failed");
    Check(block->BytesLeft >= 0 && block->BytesLeft <= block->DataBytes, "bytes left outside the data");
  }
  wioFreeFileInfo(block);
  return true;
}

bool ReadWave(const std::uint8_t* data, std::size_t size) {
  TMMWave w(true);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  try {
    w.LoadFromMemory(data, size);
  } catch (const EMMWaveError&) {
    Check(w.Empty(), "a refused wave kept a file");
    return false;
  }
  if (!w.HasData()) return true;
  w.OpenFile();
  std::vector<std::uint8_t> buf(1000);
  std::int64_t total = 0;
  for (int guard = 0;; ++guard) {
    Check(guard <= static_cast<int>(size), "reading does not end");
    const std::int64_t r = w.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
    if (r <= 0) break;
    total += r;
  }
  Check(total == w.LengthInBytes(), "TMMWave read a different length");
  Check(w.Read(buf.data(), 1) == -1, "no end after the last byte");
  w.CloseFile();
  (void)w.FormatString();
  (void)w.DataSize();
  for (int i = 0; i < InfoCount; ++i) (void)w.Info(i);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool block = ReadBlock(data, size);
  const bool wave = size == 0 ? false : ReadWave(data, size);
  if (size > 0) Check(block == wave, "the wave layer and TMMWave disagree");
  return 0;
}
