// The decoder library over libmpg123. Files are read through our own buffered reader so
// that the visible byte range (file offset, trailing header) is ours to set.
#include "codecs/mpegint/mpegint.h"

#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kMagic = 0x4D504731;  // "MPG1"
// A damaged stream may hide valid frames behind junk; beyond this many bytes of junk
// we give up rather than wander through a whole non-MPEG file.
constexpr long kResyncLimit = 32768;
constexpr std::size_t kReadBufferSize = 64 * 1024;
// Reads that decode nothing in a row before the stream counts as damaged.
constexpr int kMaxEmptyReads = 4096;
constexpr std::size_t kScratchSize = 16384;

// The file as libmpg123 sees it: the bytes between begin and end, read through a buffer.
struct Reader {
  int fd = -1;
  int64_t begin = 0;
  int64_t end = 0;
  int64_t pos = 0;  // relative to begin
  std::vector<uint8_t> buffer;
  int64_t bufferStart = 0;  // relative position of buffer[0]
  std::size_t bufferLength = 0;

  int64_t Size() const { return end - begin; }

  ssize_t PRead(void* dst, std::size_t n, int64_t at) const {
    for (;;) {
      const ssize_t r = pread(fd, dst, n, static_cast<off_t>(begin + at));
      if (r >= 0 || errno != EINTR) return r;
    }
  }

  ssize_t Read(void* dst, std::size_t n) {
    const int64_t left = Size() - pos;
    if (left <= 0 || n == 0) return 0;
    n = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(n), left));
    auto* out = static_cast<uint8_t*>(dst);
    std::size_t done = 0;
    while (done < n) {
      if (pos >= bufferStart && pos < bufferStart + static_cast<int64_t>(bufferLength)) {
        const std::size_t off = static_cast<std::size_t>(pos - bufferStart);
        const std::size_t take = std::min(n - done, bufferLength - off);
        std::memcpy(out + done, buffer.data() + off, take);
        done += take;
        pos += static_cast<int64_t>(take);
        continue;
      }
      if (n - done >= buffer.size()) {
        const ssize_t r = PRead(out + done, n - done, pos);
        if (r <= 0) return done > 0 ? static_cast<ssize_t>(done) : r;
        done += static_cast<std::size_t>(r);
        pos += r;
        continue;
      }
      const std::size_t want =
          static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(buffer.size()), Size() - pos));
      const ssize_t r = PRead(buffer.data(), want, pos);
      if (r <= 0) {
        bufferLength = 0;
        return done > 0 ? static_cast<ssize_t>(done) : r;
      }
      bufferStart = pos;
      bufferLength = static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
  }

  off_t Seek(off_t offset, int whence) {
    int64_t target = 0;
    switch (whence) {
      case SEEK_SET: target = offset; break;
      case SEEK_CUR: target = pos + offset; break;
      case SEEK_END: target = Size() + offset; break;
      default: errno = EINVAL; return -1;
    }
    if (target < 0) {
      errno = EINVAL;
      return -1;
    }
    pos = target;
    return static_cast<off_t>(pos);
  }

  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
    bufferLength = 0;
    pos = 0;
  }
};

mpg123_ssize_t ReadCallback(void* handle, void* dst, size_t n) { return static_cast<Reader*>(handle)->Read(dst, n); }
off_t SeekCallback(void* handle, off_t offset, int whence) { return static_cast<Reader*>(handle)->Seek(offset, whence); }

bool EngineReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = mpg123_init() == MPG123_OK; });
  return ready;
}

const char* const kErrorTexts[] = {
    "No error",
    "Invalid decoder handle",
    "Out of memory",
    "The MPEG decoding engine could not be set up",
    "No file is set",
    "Unable to open file",
    "Not a valid MPEG audio file",
    "File is not open",
    "Not allowed while the file is open",
    "Invalid parameter",
    "The MPEG stream is damaged",
    "Sample rate or channels change inside the stream",
    "Unable to seek",
    "File name too long",
    "Not supported",
    "No ID3 tag",
    "The file has changed since it was set",
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == MPEG_ERR_LAST + 1);

}  // namespace

struct mpeg_decoder {
  uint32_t magic = kMagic;
  mpg123_handle* mh = nullptr;
  MPEG_NOTIFY notify = nullptr;
  void* user = nullptr;

  std::string name;
  bool fileSet = false;
  MPEG_FILE_INFO info{};
  int32_t trailing = 0;
  int32_t offset = 0;
  bool exact = false;
  int32_t channelMode = MPEG_CHANNELS_BOTH;

  Reader reader;
  bool streamOpen = false;  // libmpg123 has the file
  bool open = false;        // open for decoding
  bool done = false;
  int32_t stickyError = 0;
  unsigned char ahead[4];       // one sample frame decoded ahead of the caller
  std::size_t aheadLength = 0;
  long rate = 0;
  int channels = 0;         // delivered
  int decodedChannels = 0;  // in the stream
  std::vector<uint8_t> scratch;  // stream samples on their way to one channel
  int spf = 0;
  int64_t keptFrame = 0;
  // What mpeg_GetPosition reports: a progress display may ask from another thread while
  // a read is decoding.
  std::atomic<int64_t> position{0};

  void Notify(int32_t code) {
    if (notify) notify(code, user);
  }

  // Channels are picked and mixed here, not by libmpg123: its single-channel decoding
  // returns the left channel for a right channel that is digital silence.
  static long Flags() { return MPG123_QUIET | MPG123_GAPLESS | MPG123_FORCE_ENDIAN; }  // little-endian

  void CloseStream() {
    if (streamOpen) mpg123_close(mh);
    streamOpen = false;
    open = false;
    reader.Close();
  }

  // Opens the file for libmpg123 and reads up to the first audio frame.
  int32_t OpenStream() {
    CloseStream();
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return MPEG_ERR_OPEN;
    struct stat st {};
    // Only regular files: a pipe or a device could block or never end.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return MPEG_ERR_OPEN;
    }
    const int64_t size = st.st_size;
    reader.fd = fd;
    reader.begin = std::min<int64_t>(offset, size);
    reader.end = std::max<int64_t>(reader.begin, size - trailing);
    reader.pos = 0;
    reader.bufferLength = 0;
    if (reader.buffer.size() != kReadBufferSize) reader.buffer.assign(kReadBufferSize, 0);

    if (mpg123_param(mh, MPG123_FLAGS, Flags(), 0) != MPG123_OK ||
        mpg123_param(mh, MPG123_RESYNC_LIMIT, kResyncLimit, 0) != MPG123_OK || mpg123_format_none(mh) != MPG123_OK) {
      reader.Close();
      return MPEG_ERR_LIBRARY;
    }
    const long* rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i) mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_replace_reader_handle(mh, ReadCallback, SeekCallback, nullptr) != MPG123_OK ||
        mpg123_open_handle(mh, &reader) != MPG123_OK) {
      reader.Close();
      return MPEG_ERR_LIBRARY;
    }
    streamOpen = true;
    long r = 0;
    int ch = 0, enc = 0;
    if (mpg123_getformat(mh, &r, &ch, &enc) != MPG123_OK || r <= 0 || ch < 1 || ch > 2 ||
        enc != MPG123_ENC_SIGNED_16 || mpg123_spf(mh) <= 0) {
      CloseStream();
      return MPEG_ERR_NOT_MPEG;
    }
    rate = r;
    decodedChannels = ch;
    channels = ch == 2 && channelMode != MPEG_CHANNELS_BOTH ? 1 : ch;
    if (channels != decodedChannels && scratch.size() != kScratchSize) scratch.assign(kScratchSize, 0);
    spf = mpg123_spf(mh);
    return MPEG_OK;
  }

  int32_t ReadInfo() {
    mpg123_frameinfo2 fi{};
    if (mpg123_info2(mh, &fi) != MPG123_OK) return MPEG_ERR_NOT_MPEG;
    // A walk over every frame header gives the exact frame count and play time that an
    // Info header may lack or misstate. A damaged tail does not make the file unusable:
    // the counts then stay estimates.
    mpg123_scan(mh);
    MPEG_FILE_INFO in{};
    in.version = fi.version == MPG123_1_0 ? MPEG_VERSION_1 : MPEG_VERSION_2_LSF;
    in.layer = fi.layer;
    in.sample_rate = static_cast<int32_t>(fi.rate);
    in.playback_rate = static_cast<int32_t>(rate);
    in.mode = static_cast<uint8_t>(std::clamp(fi.mode, 0, 3));
    const off_t frames = mpg123_framelength(mh);
    in.frames = frames > 0 ? static_cast<int32_t>(std::min<off_t>(frames, INT32_MAX)) : 0;
    const off_t samples = mpg123_length(mh);
    const int64_t ms = samples > 0 ? static_cast<int64_t>(samples) * 1000 / rate : 0;
    in.time = static_cast<int32_t>(std::min<int64_t>(ms, INT32_MAX));
    in.samples = samples > 0 ? static_cast<int64_t>(samples) : 0;
    long delay = -1, padding = -1;
    double unused = 0;
    if (mpg123_getstate(mh, MPG123_ENC_DELAY, &delay, &unused) != MPG123_OK) delay = -1;
    if (mpg123_getstate(mh, MPG123_ENC_PADDING, &padding, &unused) != MPG123_OK) padding = -1;
    in.encoder_delay = static_cast<int32_t>(std::clamp<long>(delay, -1, INT32_MAX));
    in.encoder_padding = static_cast<int32_t>(std::clamp<long>(padding, -1, INT32_MAX));
    const double tpf = mpg123_tpf(mh);
    in.ms_per_frame = tpf > 0 ? tpf * 1000.0 : 0.0;
    if (fi.vbr == MPG123_CBR || ms <= 0) {
      in.bit_rate = fi.bitrate;
    } else {
      in.bit_rate = static_cast<int32_t>((reader.Size() * 8 + ms / 2) / ms);  // bits per ms = kbit/s
    }
    info = in;
    return MPEG_OK;
  }

  void Forget() {
    CloseStream();
    fileSet = false;
    name.clear();
    info = MPEG_FILE_INFO{};
    keptFrame = 0;
    position = 0;
    done = false;
    stickyError = 0;
    aheadLength = 0;
  }

  int64_t TellFrame() const {
    const off_t t = mpg123_tell(mh);
    return t > 0 && spf > 0 ? static_cast<int64_t>(t) / spf : 0;
  }

  // Decodes up to want bytes of the stream's own channels; fewer only at the end (done)
  // or on an error (error set).
  std::size_t Decode(unsigned char* dst, std::size_t want, int32_t& error) {
    std::size_t total = 0;
    int empty = 0;
    while (total < want) {
      size_t got = 0;
      const int rc = mpg123_read(mh, dst + total, want - total, &got);
      total += got;
      if (rc == MPG123_OK) {
        empty = got == 0 ? empty + 1 : 0;
        if (empty >= kMaxEmptyReads) {
          error = MPEG_ERR_DECODE;
          break;
        }
        continue;
      }
      if (rc == MPG123_NEW_FORMAT) {
        long r = 0;
        int ch = 0, enc = 0;
        if (mpg123_getformat(mh, &r, &ch, &enc) != MPG123_OK || r != rate || ch != decodedChannels ||
            enc != MPG123_ENC_SIGNED_16) {
          error = MPEG_ERR_FORMAT_CHANGED;
          break;
        }
        continue;
      }
      if (rc == MPG123_DONE || rc == MPG123_NEED_MORE) {
        done = true;
        break;
      }
      error = MPEG_ERR_DECODE;
      break;
    }
    return total;
  }

  // One channel out of stereo: left, right or their mean.
  std::size_t DecodeOneChannel(unsigned char* dst, std::size_t want, int32_t& error) {
    std::size_t total = 0;
    while (total < want && !done && !error) {
      const std::size_t ask = std::min(scratch.size(), (want - total) * 2);
      const std::size_t got = Decode(scratch.data(), ask, error);
      const std::size_t frames = got / 4;
      const auto* in = reinterpret_cast<const int16_t*>(scratch.data());
      unsigned char* out = dst + total;  // the caller's buffer need not be aligned
      for (std::size_t i = 0; i < frames; ++i) {
        const int16_t v = channelMode == MPEG_CHANNELS_LEFT    ? in[2 * i]
                          : channelMode == MPEG_CHANNELS_RIGHT ? in[2 * i + 1]
                                                               : static_cast<int16_t>((in[2 * i] + in[2 * i + 1]) / 2);
        std::memcpy(out + 2 * i, &v, 2);
      }
      total += frames * 2;
      if (got < ask) break;
    }
    return total;
  }

  // The delivered channels, whichever way they are made.
  std::size_t DecodeAny(unsigned char* dst, std::size_t want, int32_t& error) {
    return channels == decodedChannels ? Decode(dst, want, error) : DecodeOneChannel(dst, want, error);
  }

  int32_t SeekFrame(int64_t frame) {
    int64_t sample = frame * spf;
    const off_t length = mpg123_length(mh);
    if (length >= 0 && sample > length) sample = length;
    if (mpg123_seek(mh, static_cast<off_t>(sample), SEEK_SET) < 0) return MPEG_ERR_SEEK;
    done = false;
    stickyError = 0;
    aheadLength = 0;
    position = TellFrame();
    return MPEG_OK;
  }
};

namespace {

mpeg_decoder* Get(MPEG_HANDLE h) { return h && h->magic == kMagic ? h : nullptr; }

}  // namespace

extern "C" {

int32_t mpeg_Version(void) { return MPEGINT_VERSION; }

MPEG_HANDLE mpeg_Init(int32_t* error, MPEG_NOTIFY notify, void* user) {
  auto fail = [error](int32_t code) -> MPEG_HANDLE {
    if (error) *error = code;
    return nullptr;
  };
  if (!EngineReady()) return fail(MPEG_ERR_LIBRARY);
  auto* d = new (std::nothrow) mpeg_decoder;
  if (!d) return fail(MPEG_ERR_MEMORY);
  int err = MPG123_OK;
  d->mh = mpg123_new(nullptr, &err);
  if (!d->mh) {
    delete d;
    return fail(err == MPG123_OUT_OF_MEM ? MPEG_ERR_MEMORY : MPEG_ERR_LIBRARY);
  }
  d->notify = notify;
  d->user = user;
  if (error) *error = MPEG_OK;
  return d;
}

int32_t mpeg_Done(MPEG_HANDLE* handle) {
  if (!handle) return MPEG_ERR_PARAMETER;
  mpeg_decoder* d = Get(*handle);
  if (!d) return MPEG_ERR_HANDLE;
  d->CloseStream();
  mpg123_delete(d->mh);
  d->magic = 0;
  delete d;
  *handle = nullptr;
  return MPEG_OK;
}

int32_t mpeg_SetDecodeCallback(MPEG_HANDLE h, MPEG_DECODE_CALLBACK, void*) {
  return Get(h) ? MPEG_ERR_NOT_SUPPORTED : MPEG_ERR_HANDLE;
}

int32_t mpeg_SetDecodeMode(MPEG_HANDLE h, int32_t mode) {
  if (!Get(h)) return MPEG_ERR_HANDLE;
  return mode == 0 ? MPEG_OK : MPEG_ERR_NOT_SUPPORTED;
}

int32_t mpeg_SetFileOffset(MPEG_HANDLE h, int32_t offset) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (offset < 0) return MPEG_ERR_PARAMETER;
  d->offset = offset;
  return MPEG_OK;
}

int32_t mpeg_ScanFile(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!d->fileSet) return MPEG_ERR_NO_FILE;
  if (d->open) return MPEG_ERR_IS_OPEN;
  int32_t rc = d->OpenStream();
  if (rc == MPEG_OK) rc = d->ReadInfo();
  d->CloseStream();
  if (rc == MPEG_OK) d->Notify(MPEG_NOTIFY_FILE_SET);
  return rc;
}

int32_t mpeg_EncryptFile(MPEG_HANDLE h, const char*, const char*) {
  return Get(h) ? MPEG_ERR_NOT_SUPPORTED : MPEG_ERR_HANDLE;
}

int32_t mpeg_ReadID3Tag(MPEG_HANDLE h, uint8_t* tag) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!tag) return MPEG_ERR_PARAMETER;
  if (!d->fileSet) return MPEG_ERR_NO_FILE;
  const int fd = ::open(d->name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return MPEG_ERR_OPEN;
  struct stat st {};
  uint8_t buf[128];
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 128 &&
                  pread(fd, buf, sizeof buf, st.st_size - 128) == 128 && std::memcmp(buf, "TAG", 3) == 0;
  ::close(fd);
  if (!ok) return MPEG_ERR_NO_TAG;
  std::memcpy(tag, buf, sizeof buf);
  return MPEG_OK;
}

int32_t mpeg_Clear(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  d->Forget();
  d->Notify(MPEG_NOTIFY_FILE_CLEARED);
  return MPEG_OK;
}

int32_t mpeg_SetTrailingHeader(MPEG_HANDLE h, int32_t bytes) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  d->trailing = std::max(bytes, 0);
  return MPEG_OK;
}

int32_t mpeg_SetExactPosition(MPEG_HANDLE h, int32_t exact) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  d->exact = exact != 0;
  return MPEG_OK;
}

int32_t mpeg_SetFileName(MPEG_HANDLE h, const char* name) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  d->Forget();
  if (!name || !*name) {
    d->Notify(MPEG_NOTIFY_FILE_CLEARED);
    return MPEG_OK;
  }
  int32_t rc = MPEG_OK;
  try {
    d->name = name;
    rc = d->OpenStream();
    if (rc == MPEG_OK) rc = d->ReadInfo();
  } catch (const std::bad_alloc&) {
    rc = MPEG_ERR_MEMORY;
  }
  d->CloseStream();
  if (rc == MPEG_OK) {
    d->fileSet = true;
    d->Notify(MPEG_NOTIFY_FILE_SET);
  } else {
    d->Forget();
    d->Notify(MPEG_NOTIFY_FILE_CLEARED);
  }
  return rc;
}

int32_t mpeg_GetFileName(MPEG_HANDLE h, char* buffer, int32_t size) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!buffer || size <= 0) return MPEG_ERR_PARAMETER;
  if (d->name.size() >= static_cast<std::size_t>(size)) {
    buffer[0] = '\0';
    return MPEG_ERR_NAME_TOO_LONG;
  }
  std::memcpy(buffer, d->name.c_str(), d->name.size() + 1);
  return MPEG_OK;
}

int32_t mpeg_GetEmpty(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  return !d || !d->fileSet;
}

int32_t mpeg_GetFileInfo(MPEG_HANDLE h, MPEG_FILE_INFO* info) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!info) return MPEG_ERR_PARAMETER;
  if (!d->fileSet) return MPEG_ERR_NO_FILE;
  *info = d->info;
  return MPEG_OK;
}

int32_t mpeg_SetChannelMode(MPEG_HANDLE h, int32_t mode) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (mode < MPEG_CHANNELS_LEFT || mode > MPEG_CHANNELS_DOWNMIX) return MPEG_ERR_PARAMETER;
  if (d->open) return MPEG_ERR_IS_OPEN;
  d->channelMode = mode;
  return MPEG_OK;
}

int32_t mpeg_GetChannelMode(MPEG_HANDLE h, int32_t* mode) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!mode) return MPEG_ERR_PARAMETER;
  *mode = d->channelMode;
  return MPEG_OK;
}

int32_t mpeg_SetPosition(MPEG_HANDLE h, int32_t frame) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (frame < 0) return MPEG_ERR_PARAMETER;
  if (!d->open) {
    d->keptFrame = frame;
    d->position = frame;
    return MPEG_OK;
  }
  return d->SeekFrame(frame);
}

int32_t mpeg_GetPosition(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return 0;
  return static_cast<int32_t>(std::min<int64_t>(d->position.load(), INT32_MAX));
}

int32_t mpeg_OpenFile(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!d->fileSet) return MPEG_ERR_NO_FILE;
  if (d->open) return MPEG_OK;
  int32_t rc = d->OpenStream();
  if (rc != MPEG_OK) return rc;
  // The caller built its format from the file info: the file must still deliver it.
  const int expected =
      d->info.mode == MPEG_MODE_SINGLE_CHANNEL || d->channelMode != MPEG_CHANNELS_BOTH ? 1 : 2;
  if (d->rate != d->info.playback_rate || d->channels != expected) {
    d->CloseStream();
    return MPEG_ERR_FILE_CHANGED;
  }
  if (d->exact) mpg123_scan(d->mh);
  d->open = true;
  d->done = false;
  d->stickyError = 0;
  d->aheadLength = 0;
  if (d->keptFrame > 0 && (rc = d->SeekFrame(d->keptFrame)) != MPEG_OK) {
    d->CloseStream();
    return rc;
  }
  return MPEG_OK;
}

int32_t mpeg_CloseFile(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (d->open) d->keptFrame = d->done ? 0 : d->TellFrame();
  d->position = d->keptFrame;
  d->CloseStream();
  d->done = false;
  d->stickyError = 0;
  d->aheadLength = 0;
  return MPEG_OK;
}

int32_t mpeg_ResetFile(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  if (!d) return MPEG_ERR_HANDLE;
  if (!d->open) {
    d->keptFrame = 0;
    d->position = 0;
    return d->fileSet ? MPEG_OK : MPEG_ERR_NO_FILE;
  }
  return d->SeekFrame(0);
}

int32_t mpeg_ReadDataBytes(MPEG_HANDLE h, void* buffer, int32_t bytes) {
  mpeg_decoder* d = Get(h);
  if (!d) return -MPEG_ERR_HANDLE;
  if (!d->open) return -MPEG_ERR_NOT_OPEN;
  if (d->stickyError) return -d->stickyError;
  const int32_t align = 2 * d->channels;
  if (!buffer || bytes < align) return -MPEG_ERR_PARAMETER;
  const std::size_t want = static_cast<std::size_t>(bytes - bytes % align);
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t total = d->aheadLength;
  std::memcpy(out, d->ahead, total);
  d->aheadLength = 0;
  if (d->done && total == 0) return 0;
  int32_t error = 0;
  if (!d->done) total += d->DecodeAny(out + total, want - total, error);
  // Whole sample frames only; a stray partial frame is dropped.
  total -= total % static_cast<std::size_t>(align);
  d->position = d->TellFrame();
  // libmpg123 meets the end only on the read after the last samples. One sample frame
  // is decoded ahead and kept, so that the read that takes the last samples reports
  // done itself and a caller never asks again only to get nothing.
  if (!d->done && !error && total > 0) {
    int32_t aheadError = 0;
    d->aheadLength = d->DecodeAny(d->ahead, static_cast<std::size_t>(align), aheadError);
    if (aheadError) d->stickyError = aheadError;
  }
  if (error) {
    d->stickyError = error;
    if (total == 0) return -error;
  }
  return static_cast<int32_t>(total);
}

int32_t mpeg_GetDone(MPEG_HANDLE h) {
  mpeg_decoder* d = Get(h);
  return d && d->done;
}

int32_t mpeg_GetErrorText(int32_t code, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return MPEG_ERR_PARAMETER;
  buffer[0] = '\0';
  if (code < 0 || code > MPEG_ERR_LAST) return MPEG_ERR_PARAMETER;
  const char* text = kErrorTexts[code];
  const std::size_t n = std::min(std::strlen(text), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return MPEG_OK;
}

}  // extern "C"
