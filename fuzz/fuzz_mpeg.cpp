// MPEG audio decoding from memory: the decoder library linked in and bound as the
// program binds it, driven through TMMMPEGFile as a file run drives it. The first three
// bytes choose the channel mode, the buffer size and a frame to start at; the rest is
// the file, held in a memory file. Beyond crashes and sanitizer reports it checks the
// adapter's promises:
// - a refused file leaves no format behind;
// - an accepted file has a PCM format the chain accepts and a sane file info;
// - every buffer holds at most its size, in whole sample frames, and the stream ends.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codecs/mpegint/mpegint.h"
#include "files/MMMPEG.h"

using namespace strataeq;

namespace {

TMpegDecoderApi LinkedDecoder() {
  TMpegDecoderApi api;
  api.Version = &mpeg_Version;
  api.Init = &mpeg_Init;
  api.Done = &mpeg_Done;
  api.SetDecodeCallback = reinterpret_cast<void*>(&mpeg_SetDecodeCallback);
  api.SetDecodeMode = reinterpret_cast<void*>(&mpeg_SetDecodeMode);
  api.SetFileOffset = reinterpret_cast<void*>(&mpeg_SetFileOffset);
  api.ScanFile = reinterpret_cast<void*>(&mpeg_ScanFile);
  api.EncryptFile = reinterpret_cast<void*>(&mpeg_EncryptFile);
  api.ReadID3Tag = reinterpret_cast<void*>(&mpeg_ReadID3Tag);
  api.Clear = &mpeg_Clear;
  api.SetTrailingHeader = &mpeg_SetTrailingHeader;
  api.SetExactPosition = &mpeg_SetExactPosition;
  api.SetFileName = &mpeg_SetFileName;
  api.GetFileName = &mpeg_GetFileName;
  api.GetEmpty = &mpeg_GetEmpty;
  api.GetFileInfo = &mpeg_GetFileInfo;
  api.SetChannelMode = &mpeg_SetChannelMode;
  api.GetChannelMode = &mpeg_GetChannelMode;
  api.SetPosition = &mpeg_SetPosition;
  api.GetPosition = &mpeg_GetPosition;
  api.OpenFile = &mpeg_OpenFile;
  api.CloseFile = &mpeg_CloseFile;
  api.ResetFile = &mpeg_ResetFile;
  api.ReadDataBytes = &mpeg_ReadDataBytes;
  api.GetDone = &mpeg_GetDone;
  api.GetErrorText = &mpeg_GetErrorText;
  return api;
}

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "fuzz_mpeg: %s\n", what);
  std::abort();
}

int MemoryFile() {
  static const int fd = memfd_create("fuzz_mpeg", MFD_CLOEXEC);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMpegMessageHandler([](const std::string& text) { Broken(text.c_str()); });
  if (!SetMpegDecoderApi(LinkedDecoder())) Broken("decoder refused");
  if (MemoryFile() < 0) Broken("no memory file");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const auto mode = static_cast<TChannelMode>(data[0] & 3);
  const bool exact = data[0] & 4;
  const std::int32_t bufferSize = 64 * (1 + data[1] % 64);
  const std::int32_t startFrame = data[2];
  data += 3;
  size -= 3;
  const int fd = MemoryFile();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) Broken("memory file");
  const std::string name = "/proc/self/fd/" + std::to_string(fd);

  TMMMPEGFile source;
  source.SetChannelMode(mode);
  source.SetExactposition(exact);
  try {
    source.SetFileName(name);
  } catch (const EMMMpegError&) {
    if (source.PWaveFormat() || source.Frames() != 0) Broken("a refused file left its info behind");
    return 0;
  }
  const TWaveFormatEx* f = source.PWaveFormat();
  if (!f || !IsValidPcmFormat(f) || f->wBitsPerSample != 16) Broken("accepted file without a usable format");
  if (source.Layer() < 1 || source.Layer() > 3 || source.PlayBackRate() != static_cast<std::int32_t>(f->nSamplesPerSec))
    Broken("file info");
  const double msPerFrame = source.Mpeg().MsPerFrame();
  if (!std::isfinite(msPerFrame) || msPerFrame <= 0 || msPerFrame > 100) Broken("frame duration");

  TWaveHdrBlock header = AllocWaveHeader(static_cast<std::size_t>(bufferSize));
  try {
    source.Open();
    if (startFrame & 1) source.Mpeg().SetPosition(startFrame >> 1);
    source.Start();
    bool more = true;
    // Every byte of input yields a bounded amount of audio; this bound is far above it.
    for (int i = 0; more && i < 200000; ++i) {
      header->dwBufferLength = static_cast<std::uint32_t>(bufferSize);
      header->dwBytesRecorded = 0;
      more = false;
      source.BufferLoad(header.get(), more);
      const std::int32_t n = header->dwBytesRecorded;
      if (n < 0 || n > bufferSize || n % f->nBlockAlign != 0) Broken("buffer contents");
      if (n == 0 && more) Broken("an empty buffer that promises more");
    }
    if (more) Broken("the stream does not end");
  } catch (const EMMMpegError&) {
  }
  source.Close();
  return 0;
}
