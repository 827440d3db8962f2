#include "files/MMWaveIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>

namespace strataeq {
namespace {

std::int64_t MulDivRound64(std::int64_t x, std::int64_t y, std::int64_t z) {
  if (z == 0) return 0;
  const __int128 p = static_cast<__int128>(x) * y;
  return static_cast<std::int64_t>(p / z + (2 * (p % z)) / z);
}

std::int64_t RoundUpToBlock(const TWaveFormatEx* f, std::int64_t bytes) {
  const std::int64_t align = f->nBlockAlign;
  if (align <= 1) return bytes;
  const std::int64_t r = bytes % align;
  return r == 0 ? bytes : bytes + (align - r);
}

bool WriteLE32(TMMIO& io, std::uint32_t v) {
  std::uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return io.Write(b, 4) == 4;
}

// Checks the format read from a file and settles the values the arithmetic relies
// on: nothing later divides by a zero rate or alignment.
int SettleFormat(std::vector<std::uint8_t>& bytes) {
  auto* f = reinterpret_cast<TWaveFormatEx*>(bytes.data());
  if (f->nChannels == 0 || f->nSamplesPerSec == 0 || f->nBlockAlign == 0) return WIOERR_BADFORMAT;
  const bool extensible = f->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  if (extensible) {
    const std::size_t want = sizeof(TWaveFormatEx) + f->cbSize;
    if (bytes.size() < want) bytes.resize(want, 0);
    f = reinterpret_cast<TWaveFormatEx*>(bytes.data());
  }
  const std::uint16_t tag = EffectiveFormatTag(f);
  if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) {
    // The file's own alignment and byte rate are not used for uncompressed samples.
    if (f->wBitsPerSample < 8) return WIOERR_BADFORMAT;
    // Samples take whole bytes: 12 valid bits are stored in 16.
    const std::int64_t align = static_cast<std::int64_t>(f->nChannels) * ((f->wBitsPerSample + 7) / 8);
    const std::int64_t avg = align * f->nSamplesPerSec;
    if (align == 0 || align > 0xFFFF || avg > 0xFFFFFFFFll) return WIOERR_BADFORMAT;
    f->nBlockAlign = static_cast<std::uint16_t>(align);
    f->nAvgBytesPerSec = static_cast<std::uint32_t>(avg);
    if (!extensible) {
      f->cbSize = 0;
      bytes.resize(sizeof(TWaveFormatEx));
    }
  } else {
    // Compressed formats carry no sample size (MPEG Layer-3 has 0 bits); their
    // conversions go through the byte rate.
    if (f->nAvgBytesPerSec == 0) return WIOERR_BADFORMAT;
    const std::size_t want = sizeof(TWaveFormatEx) + f->cbSize;
    if (bytes.size() < want) bytes.resize(want, 0);  // extra bytes the chunk lacked read as zero
  }
  return WIOERR_NOERROR;
}

bool PlausibleId(const std::uint8_t* id) {
  return std::all_of(id, id + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// Where the chunk after ck starts: after the pad byte of an odd-sized chunk, unless
// the writer left the pad byte out (then only the unpadded position holds an id).
std::int64_t NextChunk(TMMIO& io, const MMCKINFO& ck, std::int64_t riffEnd) {
  const std::int64_t end = ck.dwDataOffset + ck.cksize;
  if (!(ck.cksize & 1) || end + 5 > riffEnd) return end + (ck.cksize & 1);
  std::uint8_t ids[5];
  if (io.Seek(end, SEEK_SET) < 0 || io.Read(ids, 5) != 5) return end + 1;
  return !PlausibleId(ids + 1) && PlausibleId(ids) ? end : end + 1;
}

// Walks the RIFF WAVE chunks and fills the block. The handle is positioned anywhere.
int ParseWave(TMMIO& io, TWaveIOCB& cb) {
  if (io.Seek(0, SEEK_SET) != 0) return WIOERR_FILEERROR;
  MMCKINFO riff;
  if (io.Descend(riff, nullptr, 0) != MMSYSERR_NOERROR || riff.ckid != FOURCC_RIFF || riff.fccType != FOURCC_WAVE)
    return WIOERR_FILEERROR;
  const std::int64_t fileSize = io.Size();
  // A header whose sizes were never written (the recording program died) claims
  // nothing: if its data chunk claims nothing too, the audio runs to the file's end.
  const bool sizesMissing = riff.cksize == 0;
  // The RIFF size is not trusted to end the chunks: writers get it wrong (too small, or
  // 0 with a good data size), and other readers take each chunk, the data too, up to the
  // next chunk or the end of the file.
  riff.cksize = static_cast<std::uint32_t>(std::clamp<std::int64_t>(fileSize - riff.dwDataOffset, 0, 0xFFFFFFFFll));
  const std::int64_t riffEnd = std::max<std::int64_t>(fileSize, riff.dwDataOffset);

  bool haveFmt = false, haveData = false, haveFact = false;
  std::int64_t dataOffset = 0, dataEnd = 0;
  MMCKINFO dataChunk;
  for (;;) {
    if (io.Tell() + 8 > riffEnd) break;
    MMCKINFO ck;
    if (io.Descend(ck, &riff, 0) != MMSYSERR_NOERROR) break;  // end of the file
    const std::int64_t ckEnd = ck.dwDataOffset + ck.cksize;
    const bool overruns = ckEnd > riffEnd;
    if (ck.ckid == FOURCC_DATA) {
      if (haveData) break;
      haveData = true;
      dataChunk = ck;
      dataOffset = ck.dwDataOffset;
      // The bytes that are there, without the pad byte of an odd-sized chunk.
      dataEnd = std::min(ckEnd, riffEnd);
      if (sizesMissing && ck.cksize == 0) {
        dataEnd = riffEnd;
        cb.Unfinished = true;
        break;
      }
      if (overruns) break;
    } else if (overruns) {
      if (!(haveFmt && haveData)) return WIOERR_BADFORMAT;
      break;
    } else if (ck.ckid == FOURCC_FMT) {
      if (haveFmt) break;
      const std::int64_t n = std::min<std::int64_t>(ck.cksize, MaxFormatBytes);
      cb.FormatBytes.assign(static_cast<std::size_t>(std::max<std::int64_t>(n, 18)), 0);
      if (io.Read(cb.FormatBytes.data(), n) != n) return WIOERR_FILEERROR;
      haveFmt = true;
    } else if (ck.ckid == FOURCC_FACT) {
      if (haveFact) break;
      haveFact = true;  // the sample count is recomputed from the data
    } else if (ck.ckid == FOURCC_LIST && ck.fccType == FOURCC_INFO) {
      // Unreadable lists are dropped: they are descriptions, not audio.
      if (riffReadINFO(io, ck, cb.Info) == RIFFERR_NOMEM) return WIOERR_NOMEM;
    } else if (ck.ckid == FOURCC_DISP) {
      if (riffReadDISP(io, ck, cb.Disp) == RIFFERR_NOMEM) return WIOERR_NOMEM;
    }
    if (io.Seek(NextChunk(io, ck, riffEnd), SEEK_SET) < 0) {
      if (!haveData) return WIOERR_FILEERROR;
      break;
    }
  }
  if (!haveFmt || !haveData) return WIOERR_BADFORMAT;
  if (const int r = SettleFormat(cb.FormatBytes); r != WIOERR_NOERROR) return r;

  const TWaveFormatEx* f = cb.Format();
  std::int64_t bytes = std::max<std::int64_t>(dataEnd - dataOffset, 0);
  bytes -= bytes % f->nBlockAlign;
  cb.RiffChunk = riff;
  cb.DataChunk = dataChunk;
  cb.DataChunk.cksize = static_cast<std::uint32_t>(bytes);
  cb.FileSize = fileSize;
  cb.DataOffset = dataOffset;
  cb.DataBytes = bytes;
  cb.Samples = wioBytesToSamples(f, bytes);
  cb.FirstSample = 0;
  cb.EndSample = cb.Samples;
  cb.Position = 0;
  cb.BytesLeft = 0;
  return WIOERR_NOERROR;
}

int OpenParsed(PWaveIOCB& result, std::unique_ptr<TMMIO> io, std::unique_ptr<TWaveIOCB> cb) {
  try {
    const int r = ParseWave(*io, *cb);
    io->Close();
    if (r != WIOERR_NOERROR) return r;
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
  result = std::move(cb);
  return WIOERR_NOERROR;
}

std::unique_ptr<TMMIO> ReopenHandle(const TWaveIOCB& cb, bool writable) {
  if (cb.OpenFlags & (WIO_MEMORY | WIO_RESOURCE)) return TMMIO::OpenMemory(cb.Memory.data(), cb.Memory.size());
  return TMMIO::OpenFile(cb.FileName, writable ? MMIO_READWRITE : MMIO_READ, cb.IOBufferSize);
}

// RIFF size of the finished file when the data holds dataBytes.
std::int64_t FinishedRiffSize(const TWaveIOCB& cb, std::int64_t dataBytes) {
  return cb.DataOffset - 8 + dataBytes + (dataBytes & 1) + 12 + riffDISPSize(cb.Disp) + riffINFOSize(cb.Info);
}

// The end of a stream: with the sizes known, the pad byte and the "fact" chunk the header
// counted; without, nothing (any chunk after the data would be read as audio).
int FinishStream(TWaveIOCB& cb, TMMIO& io) {
  if (cb.StreamBytes >= 0) {
    // The header promised this much data: anything else is a broken file.
    if (cb.DataBytes != cb.StreamBytes) {
      if (cb.Error == 0) cb.Error = ENODATA;
      return WIOERR_FILEERROR;
    }
    std::uint8_t tail[13] = {};
    std::int64_t n = 0;
    if (cb.DataBytes & 1) tail[n++] = 0;
    const auto samples = static_cast<std::uint32_t>(std::clamp<std::int64_t>(cb.Samples, 0, 0xFFFFFFFFll));
    const std::uint32_t fact[3] = {FOURCC_FACT, 4, samples};
    for (std::uint32_t v : fact)
      for (int i = 0; i < 4; ++i) tail[n++] = static_cast<std::uint8_t>(v >> (8 * i));
    if (io.Write(tail, n) != n) return WIOERR_FILEERROR;
    if (riffDISPSize(cb.Disp) > 0 || riffINFOSize(cb.Info) > 0) {
      if (riffWriteDISP(io, cb.Disp) != RIFFERR_NOERROR || riffWriteINFO(io, cb.Info) != RIFFERR_NOERROR)
        return WIOERR_FILEERROR;
    }
  }
  return io.Flush() == MMSYSERR_NOERROR ? WIOERR_NOERROR : WIOERR_FILEERROR;
}

// After a failed finish: the samples that reached the disk, whole, under a header that
// says so (no "fact" chunk; it is optional for PCM). Only bytes that exist already are
// rewritten, so this works on a full disk.
void SalvageHeader(TWaveIOCB& cb, int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return;
  std::int64_t n = std::clamp<std::int64_t>(st.st_size - cb.DataOffset, 0, cb.DataBytes);
  const std::int64_t align = std::max<std::int64_t>(cb.Format()->nBlockAlign, 1);
  n -= n % align;
  const std::int64_t riff = cb.DataOffset - 8 + n;
  if (cb.DataOffset < 12 || riff > RiffSizeLimit || ::ftruncate(fd, cb.DataOffset + n) != 0) return;
  auto put = [fd](std::int64_t at, std::int64_t v) {
    std::uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i));
    return ::pwrite(fd, b, 4, at) == 4;
  };
  if (put(4, riff) && put(cb.DataOffset - 4, n)) {
    ::fsync(fd);
    cb.DataBytes = n;
    cb.Samples = wioBytesToSamples(cb.Format(), n);
    cb.FileSize = cb.DataOffset + n;
  }
}

}  // namespace

std::int64_t wioBytesToSamples(const TWaveFormatEx* f, std::int64_t bytes) {
  return MulDivRound64(bytes, f->nSamplesPerSec, f->nAvgBytesPerSec);
}

std::int64_t wioSamplesToBytes(const TWaveFormatEx* f, std::int64_t samples) {
  return RoundUpToBlock(f, MulDivRound64(samples, f->nAvgBytesPerSec, f->nSamplesPerSec));
}

std::int64_t wioSamplesToMs(const TWaveFormatEx* f, std::int64_t samples) {
  return MulDivRound64(samples, 1000, f->nSamplesPerSec);
}

std::int64_t wioMsToSamples(const TWaveFormatEx* f, std::int64_t ms) {
  return MulDivRound64(ms, f->nSamplesPerSec, 1000);
}

int wioFileOpen(PWaveIOCB& result, const std::string& name, std::uint32_t kind, std::int32_t ioBufferSize) {
  result.reset();
  try {
    auto cb = std::make_unique<TWaveIOCB>();
    cb->IOBufferSize = ioBufferSize;
    std::unique_ptr<TMMIO> io;
    if (kind == WIO_RESOURCE) {
      cb->Memory = FindResource(name, "WAVE");
      if (cb->Memory.data() == nullptr) return WIOERR_FILEERROR;
      io = TMMIO::OpenMemory(cb->Memory.data(), cb->Memory.size());
    } else if (kind == WIO_FILE) {
      io = TMMIO::OpenFile(name, MMIO_READ, ioBufferSize);
      if (!io) return WIOERR_FILEERROR;
    } else {
      return WIOERR_BADPARAMS;
    }
    cb->OpenFlags = kind;
    cb->FileName = name;
    return OpenParsed(result, std::move(io), std::move(cb));
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
}

int wioMemoryOpen(PWaveIOCB& result, const void* data, std::size_t size) {
  result.reset();
  if (!data && size > 0) return WIOERR_BADPARAMS;
  try {
    auto cb = std::make_unique<TWaveIOCB>();
    cb->Memory = {static_cast<const std::uint8_t*>(data), size};
    cb->OpenFlags = WIO_MEMORY;
    return OpenParsed(result, TMMIO::OpenMemory(data, size), std::move(cb));
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
}

PWaveIOCB wioCreateBlock(const TWaveFormatEx* format) {
  if (!format) return nullptr;
  auto cb = std::make_unique<TWaveIOCB>();
  const std::size_t size = FormatSize(format);
  cb->FormatBytes.assign(reinterpret_cast<const std::uint8_t*>(format),
                         reinterpret_cast<const std::uint8_t*>(format) + size);
  if (SettleFormat(cb->FormatBytes) != WIOERR_NOERROR) return nullptr;
  return cb;
}

int wioFileCreate(TWaveIOCB& cb, const std::string& name, int fd, bool stream, std::int64_t streamBytes) {
  if (cb.FormatBytes.size() < sizeof(TWaveFormatEx)) return WIOERR_BADPARAMS;
  if (fd < 0 && !wioIsValidPath(name)) return WIOERR_BADPARAMS;
  if (cb.Handle) wioFileClose(cb);
  auto fail = [&cb, &name, fd](int code) {
    if (cb.Handle) cb.Handle->Close();
    cb.Handle.reset();
    if (fd < 0) wioFileDelete(name);  // a given file belongs to whoever gave it
    return code;
  };
  cb.Streamed = false;
  cb.StreamBytes = -1;
  cb.Error = 0;
  if (stream) {
    if (fd < 0 || !(cb.Handle = TMMIO::OpenStream(fd, cb.IOBufferSize))) return WIOERR_FILEERROR;
    cb.Streamed = true;
    cb.StreamBytes = streamBytes;
  } else if (fd >= 0) {
    cb.Handle = TMMIO::OpenHandle(fd, cb.IOBufferSize);
    if (!cb.Handle) return WIOERR_FILEERROR;
    // The same file may be written again by a chain opened a second time.
    if (!cb.Handle->Writable() || cb.Handle->Truncate() != MMSYSERR_NOERROR) return fail(WIOERR_FILEERROR);
  } else {
    wioFileDelete(name);  // a link of that name goes, never what it points at
    // Exclusive: a link planted under the name after the delete is refused, not followed.
    cb.Handle = TMMIO::OpenFile(name, MMIO_CREATE | MMIO_NEWFILE | MMIO_READWRITE, cb.IOBufferSize);
    if (!cb.Handle) return WIOERR_FILEERROR;
  }
  TMMIO& io = *cb.Handle;
  const auto fmtBytes = static_cast<std::int64_t>(FormatSize(cb.Format()));
  // A stream's sizes go into the header as it is first written: the finished sizes
  // when the length is known, else the largest, which readers take as "to the end".
  std::uint32_t riffSize = 0, dataSize = 0;
  if (cb.Streamed) {
    cb.DataOffset = 12 + 8 + fmtBytes + (fmtBytes & 1) + 8;
    const std::int64_t riff = cb.StreamBytes >= 0 ? FinishedRiffSize(cb, cb.StreamBytes) : RiffSizeLimit;
    if (riff > RiffSizeLimit) return fail(WIOERR_BADPARAMS);
    riffSize = static_cast<std::uint32_t>(riff);
    dataSize = static_cast<std::uint32_t>(cb.StreamBytes >= 0 ? cb.StreamBytes : RiffSizeLimit);
  }
  cb.RiffChunk = MMCKINFO{};
  cb.RiffChunk.fccType = FOURCC_WAVE;
  cb.RiffChunk.cksize = riffSize;
  if (io.CreateChunk(cb.RiffChunk, MMIO_CREATERIFF) != MMSYSERR_NOERROR) return fail(WIOERR_FILEERROR);
  MMCKINFO fmt;
  fmt.ckid = FOURCC_FMT;
  fmt.cksize = static_cast<std::uint32_t>(fmtBytes);
  if (io.CreateChunk(fmt, 0) != MMSYSERR_NOERROR || io.Write(cb.FormatBytes.data(), fmtBytes) != fmtBytes)
    return fail(WIOERR_FILEERROR);
  if (cb.Streamed) fmt.dwFlags &= ~MMIO_DIRTY;  // its size is written already
  if (io.Ascend(fmt) != MMSYSERR_NOERROR) return fail(WIOERR_FILEERROR);
  cb.DataChunk = MMCKINFO{};
  cb.DataChunk.ckid = FOURCC_DATA;
  cb.DataChunk.cksize = dataSize;
  if (io.CreateChunk(cb.DataChunk, 0) != MMSYSERR_NOERROR) return fail(WIOERR_FILEERROR);
  if (cb.Streamed) {
    cb.RiffChunk.dwFlags &= ~MMIO_DIRTY;
    cb.DataChunk.dwFlags &= ~MMIO_DIRTY;
  }
  cb.DataOffset = cb.DataChunk.dwDataOffset;
  cb.DataBytes = 0;
  cb.Samples = 0;
  cb.FirstSample = 0;
  cb.EndSample = 0;
  cb.Position = 0;
  cb.BytesLeft = 0;
  cb.FileSize = io.Size();
  cb.OpenFlags = WIO_FILE;
  cb.Created = true;
  cb.Written = true;  // even an empty file gets its sizes and "fact" chunk
  cb.FileName = name;
  return WIOERR_NOERROR;
}

int wioFileReopen(TWaveIOCB& cb, bool writable) {
  if (cb.Handle) return WIOERR_NOERROR;
  cb.Handle = ReopenHandle(cb, writable);
  if (!cb.Handle) return WIOERR_FILEERROR;
  if (wioWaveSeek(cb, cb.Position - cb.FirstSample) != WIOERR_NOERROR) {
    cb.Handle.reset();
    return WIOERR_FILEERROR;
  }
  return WIOERR_NOERROR;
}

int wioSetIOBuffer(TWaveIOCB& cb, std::int32_t size) {
  if (cb.OpenFlags & (WIO_MEMORY | WIO_RESOURCE)) return WIOERR_NOERROR;
  cb.IOBufferSize = size;
  if (!cb.Handle) return WIOERR_NOERROR;
  const std::uint32_t r = cb.Handle->SetBuffer(size);
  if (r == MMIOERR_OUTOFMEMORY) return WIOERR_NOMEM;
  return r == MMSYSERR_NOERROR ? WIOERR_NOERROR : WIOERR_FILEERROR;
}

int wioWaveSeek(TWaveIOCB& cb, std::int64_t sample) {
  if (!cb.Handle) return WIOERR_FILEERROR;
  const TWaveFormatEx* f = cb.Format();
  const std::int64_t range = cb.EndSample - cb.FirstSample;
  const std::int64_t s = cb.FirstSample + std::clamp<std::int64_t>(sample, 0, std::max<std::int64_t>(range - 1, 0));
  const std::int64_t offset = std::min(wioSamplesToBytes(f, s), cb.DataBytes);
  if (cb.Handle->Seek(cb.DataOffset + offset, SEEK_SET) < 0) return WIOERR_FILEERROR;
  const std::int64_t end = std::min(wioSamplesToBytes(f, cb.EndSample), cb.DataBytes);
  cb.BytesLeft = std::max<std::int64_t>(end - offset, 0);
  cb.Position = s;
  return WIOERR_NOERROR;
}

int wioWaveSeekEnd(TWaveIOCB& cb) {
  if (!cb.Handle) return WIOERR_FILEERROR;
  if (cb.Handle->Seek(cb.DataOffset + cb.DataBytes, SEEK_SET) < 0) return WIOERR_FILEERROR;
  cb.BytesLeft = 0;
  cb.Position = cb.Samples;
  return WIOERR_NOERROR;
}

std::int64_t wioWaveRead(TWaveIOCB& cb, void* buffer, std::int64_t length) {
  if (!cb.Handle || length < 0) return -1;
  const std::int64_t n = std::min(length, cb.BytesLeft);
  if (n <= 0) return 0;
  const std::int64_t r = cb.Handle->Read(buffer, n);
  if (r < 0) {
    cb.BytesLeft = 0;
    return -1;
  }
  cb.BytesLeft = r < n ? 0 : cb.BytesLeft - r;
  cb.Position = wioBytesToSamples(cb.Format(), cb.Handle->Tell() - cb.DataOffset);
  return r;
}

bool wioWaveFits(const TWaveIOCB& cb, std::int64_t length) {
  const std::int64_t at = cb.Handle ? cb.Handle->Tell() - cb.DataOffset : cb.DataBytes;
  const std::int64_t bytes = std::max(cb.DataBytes, at + length);
  if (cb.Streamed && cb.StreamBytes >= 0 && bytes > cb.StreamBytes) return false;  // more than the header says
  return FinishedRiffSize(cb, bytes) <= std::min(cb.MaxRiffSize, RiffSizeLimit);
}

std::int64_t wioWaveWrite(TWaveIOCB& cb, const void* buffer, std::int64_t length) {
  if (!cb.Handle || length < 0 || !cb.Handle->Writable()) return -1;
  if (length == 0) return 0;
  const std::int64_t at = cb.Handle->Tell() - cb.DataOffset;
  if (at < 0 || !wioWaveFits(cb, length)) return -1;
  const std::int64_t w = cb.Handle->Write(buffer, length);
  if (w != length && cb.Error == 0) cb.Error = cb.Handle->Error() ? cb.Handle->Error() : EIO;
  if (w <= 0) return -1;
  cb.DataChunk.dwFlags |= MMIO_DIRTY;
  cb.Written = true;
  const std::int64_t end = at + w;
  if (end > cb.DataBytes) {
    cb.DataBytes = end;
    cb.Samples = wioBytesToSamples(cb.Format(), end);
    cb.EndSample = cb.Samples;
  }
  cb.Position = wioBytesToSamples(cb.Format(), end);
  return w;
}

int wioFileClose(TWaveIOCB& cb) {
  if (!cb.Handle) return WIOERR_NOERROR;
  TMMIO& io = *cb.Handle;
  int status = WIOERR_NOERROR;
  if (cb.Streamed) {
    status = FinishStream(cb, io);
    cb.Written = false;
  } else if (cb.Written && io.Writable()) {
    auto ok = [&status](bool good) {
      if (!good) status = WIOERR_FILEERROR;
      return good;
    };
    // From the end of the data on, whatever the position of the last write.
    if (ok(io.Flush() == MMSYSERR_NOERROR) && ok(io.Seek(cb.DataOffset + cb.DataBytes, SEEK_SET) >= 0)) {
      cb.RiffChunk.dwFlags |= MMIO_DIRTY;
      cb.DataChunk.dwFlags |= MMIO_DIRTY;
      MMCKINFO fact;
      fact.ckid = FOURCC_FACT;
      fact.cksize = 4;
      const auto samples = static_cast<std::uint32_t>(std::clamp<std::int64_t>(cb.Samples, 0, 0xFFFFFFFFll));
      if (ok(io.Ascend(cb.DataChunk) == MMSYSERR_NOERROR) && ok(io.CreateChunk(fact, 0) == MMSYSERR_NOERROR) &&
          ok(WriteLE32(io, samples)) && ok(io.Ascend(fact) == MMSYSERR_NOERROR) &&
          ok(riffWriteDISP(io, cb.Disp) == RIFFERR_NOERROR) && ok(riffWriteINFO(io, cb.Info) == RIFFERR_NOERROR) &&
          ok(io.Ascend(cb.RiffChunk) == MMSYSERR_NOERROR)) {
        // A continued file whose trailer shrank keeps no stale bytes behind it.
        ok(io.Truncate() == MMSYSERR_NOERROR);
        cb.FileSize = io.Tell();
      }
    }
    if (status != WIOERR_NOERROR && !io.IsMemory()) SalvageHeader(cb, io.Descriptor());
    cb.Written = false;
  }
  if (io.Error() != 0 && cb.Error == 0) cb.Error = io.Error();
  if (io.Close() != MMSYSERR_NOERROR) {
    status = WIOERR_FILEERROR;
    if (cb.Error == 0) cb.Error = io.Error() ? io.Error() : EIO;
  }
  if (status != WIOERR_NOERROR && cb.Error == 0) cb.Error = EIO;
  cb.Handle.reset();
  return status;
}

void wioFreeFileInfo(PWaveIOCB& cb) {
  if (!cb) return;
  wioFileClose(*cb);
  cb.reset();
}

bool wioIsValidPath(const std::string& name) {
  if (name.empty() || name.find('\0') != std::string::npos || name.back() == '/') return false;
  std::error_code ec;
  const std::filesystem::path p(name);
  if (std::filesystem::is_directory(p, ec)) return false;
  const auto parent = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
  return std::filesystem::is_directory(parent, ec);
}

bool wioFileExists(const std::string& name) { return MMIOFileExists(name); }

bool wioFileDelete(const std::string& name) { return MMIODeleteFile(name); }

bool wioIsRiffWaveFile(const std::string& name) {
  auto io = TMMIO::OpenFile(name, MMIO_READ, 0);
  if (!io) return false;
  MMCKINFO riff;
  return io->Descend(riff, nullptr, 0) == MMSYSERR_NOERROR && riff.ckid == FOURCC_RIFF && riff.fccType == FOURCC_WAVE;
}

}  // namespace strataeq
