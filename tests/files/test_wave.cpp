#include "files/MMWave.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "WavTestUtil.h"

using namespace strataeq;
using namespace wavtest;

namespace {

std::string WaveError(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EMMWaveError& e) {
    return e.what();
  }
  return "(no error)";
}

// Writes data into a new file through TMMWave in pieces of the given size.
void WriteWave(const std::string& path, const TWaveFormatEx& f, const Bytes& data, std::size_t piece = 1000) {
  TMMWave w;
  w.CreateFile(&f, path);
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const auto n = static_cast<std::int64_t>(std::min(piece, data.size() - at));
    ASSERT_EQ(w.Write(data.data() + at, n), n);
  }
  ASSERT_TRUE(w.CloseFile());
}

// Every sample byte of an opened wave, read in pieces.
Bytes ReadAll(TMMWave& w, std::int64_t piece = 777) {
  Bytes out, buf(static_cast<std::size_t>(piece));
  w.OpenFile();
  for (;;) {
    const std::int64_t r = w.Read(buf.data(), piece);
    if (r <= 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + r);
  }
  w.CloseFile();
  return out;
}

std::vector<std::string> ChunkIds(const Bytes& file) {
  std::vector<std::string> ids;
  for (std::size_t at = 12; at + 8 <= file.size();) {
    ids.push_back(IdAt(file, at));
    const std::uint32_t size = LE32At(file, at + 4);
    at += 8 + size + (size & 1);
  }
  return ids;
}

class WaveFiles : public ::testing::Test {
 protected:
  TempDir dir;
};

}  // namespace

TEST_F(WaveFiles, NewStereoFileOfOneSecondHasTheExactLayout) {
  const std::string path = dir.File("one.wav");
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  const Bytes data = Noise(176400, 1);
  WriteWave(path, f, data, 8192);

  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), 176458u);
  EXPECT_EQ(IdAt(file, 0), "RIFF");
  EXPECT_EQ(LE32At(file, 4), 176450u);
  EXPECT_EQ(IdAt(file, 8), "WAVE");
  EXPECT_EQ(IdAt(file, 12), "fmt ");
  EXPECT_EQ(LE32At(file, 16), 18u);
  EXPECT_EQ(LE16At(file, 20), 1);
  EXPECT_EQ(LE16At(file, 22), 2);
  EXPECT_EQ(LE32At(file, 24), 44100u);
  EXPECT_EQ(LE32At(file, 28), 176400u);
  EXPECT_EQ(LE16At(file, 32), 4);
  EXPECT_EQ(LE16At(file, 34), 16);
  EXPECT_EQ(LE16At(file, 36), 0);
  EXPECT_EQ(IdAt(file, 38), "data");
  EXPECT_EQ(LE32At(file, 42), 176400u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 46));
  EXPECT_EQ(IdAt(file, 176446), "fact");
  EXPECT_EQ(LE32At(file, 176450), 4u);
  EXPECT_EQ(LE32At(file, 176454), 44100u);

  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.FileSize(), 176458);
  EXPECT_EQ(w.DataSize(), 44100);
  EXPECT_EQ(w.FormatString(), "PCM");
  EXPECT_EQ(w.SampleRate(), 44100u);
  EXPECT_EQ(w.BitLength(), 16);
  EXPECT_EQ(w.Mode(), TMMMode::mStereo);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  EXPECT_EQ(w.DataSize(), 176400);
  w.SetTimeFormat(TMMTimeFormats::tfMillisecond);
  EXPECT_EQ(w.DataSize(), 1000);
}

TEST_F(WaveFiles, WrittenFilesReadBackExactlyInEveryPcmLayout) {
  struct Case {
    int bits, channels;
    std::uint32_t rate;
    std::size_t bytes;
  };
  for (const Case c : {Case{8, 1, 11025, 1001}, Case{8, 2, 8000, 2002}, Case{16, 1, 22050, 3002},
                       Case{16, 2, 48000, 40000}}) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.channels << " channels");
    const std::string path = dir.File("rt.wav");
    const TWaveFormatEx f = BuildPcmFormat(c.bits, c.channels, c.rate);
    const Bytes data = Noise(c.bytes, static_cast<std::uint32_t>(c.bytes));
    WriteWave(path, f, data, 333);
    const Bytes file = ReadFile(path);
    EXPECT_EQ(file.size(), 46 + c.bytes + (c.bytes & 1) + 12);
    // An odd data chunk is padded; the pad byte is not a sample when read back.
    TMMWave w;
    w.SetFileName(path);
    EXPECT_EQ(w.DataSize(), static_cast<std::int64_t>(c.bytes / f.nBlockAlign));
    EXPECT_EQ(ReadAll(w), data);
    // Writing the read samples again gives the same file, byte for byte.
    const std::string again = dir.File("again.wav");
    WriteWave(again, f, data, 4096);
    EXPECT_EQ(ReadFile(again), file);
  }
}

TEST_F(WaveFiles, AFileThatIsOnlyReadIsNotChanged) {
  const std::string path = dir.File("in.wav");
  Bytes info;
  PutId(info, "INFO");
  Append(info, Chunk("INAM", {'x', 0}));
  const Bytes original = Riff(FmtChunk(Pcm(16, 2, 44100)) + Chunk("LIST", info) + Chunk("data", Noise(4000, 3)));
  WriteFile(path, original);
  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(ReadAll(w).size(), 4000u);
  EXPECT_EQ(ReadFile(path), original);
}

TEST_F(WaveFiles, DataChunkLongerThanTheFilePlaysTheBytesPresentInWholeBlocks) {
  const std::string path = dir.File("long.wav");
  const Bytes data = Noise(1003, 4);
  WriteFile(path, Riff(FmtChunk(Pcm(16, 2, 44100)) + Chunk("data", data, 100000u, false)));
  TMMWave w;
  w.SetFileName(path);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  EXPECT_EQ(w.DataSize(), 1000);
  EXPECT_EQ(ReadAll(w), Bytes(data.begin(), data.begin() + 1000));
}

TEST_F(WaveFiles, WrongBlockAlignmentOfStereoPcmIsRecomputed) {
  const std::string path = dir.File("align.wav");
  Fmt f = Pcm(16, 2, 22050);
  f.align = 3;
  f.avg = 12345;
  WriteFile(path, SimpleWav(f, Noise(400, 5)));
  TMMWave w;
  w.SetFileName(path);
  ASSERT_NE(w.PWaveFormat(), nullptr);
  EXPECT_EQ(w.PWaveFormat()->nBlockAlign, 4);
  EXPECT_EQ(w.PWaveFormat()->nAvgBytesPerSec, 4u * 22050);
  EXPECT_EQ(w.DataSize(), 100);
}

TEST_F(WaveFiles, TheFirstOfTwoFormatChunksIsUsedAndTheWalkStopsAtTheSecond) {
  const std::string path = dir.File("twofmt.wav");
  WriteFile(path, Riff(FmtChunk(Pcm(16, 2, 44100)) + Chunk("data", Noise(800, 6)) + FmtChunk(Pcm(8, 1, 8000))));
  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.SampleRate(), 44100u);
  EXPECT_EQ(w.BitLength(), 16);
  EXPECT_EQ(w.DataSize(), 200);

  // The walk ends at the second format, before the data: no data, an invalid file.
  const std::string early = dir.File("twofmt-early.wav");
  WriteFile(early, Riff(FmtChunk(Pcm(16, 2, 44100)) + FmtChunk(Pcm(8, 1, 8000)) + Chunk("data", Noise(800, 6))));
  TMMWave v;
  EXPECT_EQ(WaveError([&] { v.SetFileName(early); }), "Invalid wave file...");
}

TEST_F(WaveFiles, AMissingFileIsKeptAsTheNameToCreateWhenItNeedNotExist) {
  const std::string path = dir.File("later.wav");
  TMMWave w;
  int changes = 0;
  w.Subscribe([&](TMMWave*) { ++changes; });
  EXPECT_EQ(WaveError([&] { w.SetFileName(path); }), "Error reading wave file");
  EXPECT_TRUE(w.FileName().empty());
  w.SetFileMustExist(false);
  EXPECT_EQ(WaveError([&] { w.SetFileName(path); }), "(no error)");
  EXPECT_EQ(w.FileName(), std::filesystem::path(path).lexically_normal().string());
  EXPECT_TRUE(w.Empty());
  EXPECT_EQ(changes, 1);
  w.SetFileName(path);  // the same, still missing: nothing happens
  EXPECT_EQ(changes, 1);
  // Without a file the properties give their empty values.
  EXPECT_EQ(w.FormatTag(), 0);
  EXPECT_EQ(w.FormatString(), "Unknown");
  EXPECT_EQ(w.SampleRate(), 11025u);
  EXPECT_EQ(w.BitLength(), 0);
  EXPECT_EQ(w.Mode(), TMMMode::mMono);
  EXPECT_EQ(w.FileSize(), 0);
  EXPECT_EQ(w.DataSize(), 0);
  EXPECT_EQ(w.Position(), -1);
  std::uint8_t b;
  EXPECT_EQ(w.Read(&b, 1), -1);
  EXPECT_EQ(w.Write(&b, 1), -1);
}

TEST_F(WaveFiles, RelativeNamesAreExpandedAndAnEmptyNameClearsTheWave) {
  const std::string path = dir.File("rel.wav");
  WriteFile(path, SimpleWav(Pcm(8, 1, 8000), Noise(10, 7)));
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  TMMWave w;
  w.SetFileName("./sub/../rel.wav");
  std::filesystem::current_path(old);
  EXPECT_EQ(w.FileName(), path);
  EXPECT_EQ(w.DataSize(), 10);
  w.SetFileName("");
  EXPECT_TRUE(w.Empty());
  EXPECT_TRUE(w.FileName().empty());
}

TEST_F(WaveFiles, ARenamedOrChangedFileIsReadAgain) {
  const std::string path = dir.File("changing.wav");
  WriteFile(path, SimpleWav(Pcm(8, 1, 8000), Noise(10, 8)));
  TMMWave w;
  int changes = 0;
  w.Subscribe([&](TMMWave*) { ++changes; });
  w.SetFileName(path);
  w.SetFileName(path);
  EXPECT_EQ(changes, 1);
  WriteFile(path, SimpleWav(Pcm(8, 1, 8000), Noise(20, 8)));
  w.SetFileName(path);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(w.DataSize(), 20);
}

struct ZeroField {
  const char* name;
  Fmt fmt;
};

class InvalidFormats : public ::testing::TestWithParam<ZeroField> {};

TEST_P(InvalidFormats, AreInvalidWaveFilesWithoutADivisionByZero) {
  TempDir dir;
  const std::string path = dir.File("bad.wav");
  WriteFile(path, SimpleWav(GetParam().fmt, Noise(64, 9)));
  TMMWave w;
  EXPECT_EQ(WaveError([&] { w.SetFileName(path); }), "Invalid wave file...");
  EXPECT_TRUE(w.Empty());
  const Bytes bytes = ReadFile(path);
  TMMWave m(true);
  EXPECT_EQ(WaveError([&] { m.LoadFromMemory(bytes.data(), bytes.size()); }), "Invalid wave file...");
}

Fmt With(Fmt f, void (*change)(Fmt&)) {
  change(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    WaveFiles, InvalidFormats,
    ::testing::Values(ZeroField{"channels", With(Pcm(16, 2, 44100), [](Fmt& f) { f.channels = 0; })},
                      ZeroField{"rate", With(Pcm(16, 2, 44100), [](Fmt& f) { f.rate = 0; })},
                      ZeroField{"align", With(Pcm(16, 2, 44100), [](Fmt& f) { f.align = 0; })},
                      ZeroField{"bits", With(Pcm(16, 2, 44100), [](Fmt& f) { f.bits = 0; })},
                      ZeroField{"bits below a byte", With(Pcm(16, 1, 44100), [](Fmt& f) { f.bits = 4; })},
                      ZeroField{"align past 16 bits", With(Pcm(16, 2, 44100), [](Fmt& f) { f.channels = 32768; })},
                      ZeroField{"byte rate past 32 bits",
                                With(Pcm(16, 2, 44100),
                                     [](Fmt& f) {
                                       f.channels = 4096;
                                       f.bits = 64;
                                       f.rate = 131072;
                                     })},
                      ZeroField{"compressed without byte rate", With(Pcm(16, 2, 44100),
                                                                     [](Fmt& f) {
                                                                       f.tag = 2;
                                                                       f.avg = 0;
                                                                     })},
                      ZeroField{"compressed without alignment", With(Pcm(16, 2, 44100),
                                                                      [](Fmt& f) {
                                                                        f.tag = 0x11;
                                                                        f.align = 0;
                                                                      })}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return n;
    });

TEST_F(WaveFiles, FilesThatAreNotRiffWaveAreInvalidAndUnreadableOnesAreReadErrors) {
  const std::string text = dir.File("text.wav");
  { std::ofstream(text) << "this is not a wave file at all"; }
  TMMWave w;
  EXPECT_EQ(WaveError([&] { w.SetFileName(text); }), "Invalid wave file...");
  const std::string avi = dir.File("avi.wav");
  Bytes b;
  PutId(b, "RIFF");
  PutLE32(b, 4);
  PutId(b, "AVI ");
  WriteFile(avi, b);
  EXPECT_EQ(WaveError([&] { w.SetFileName(avi); }), "Invalid wave file...");
  const std::string nodata = dir.File("nodata.wav");
  WriteFile(nodata, Riff(FmtChunk(Pcm(16, 2, 44100))));
  EXPECT_EQ(WaveError([&] { w.SetFileName(nodata); }), "Invalid wave file...");
  EXPECT_EQ(WaveError([&] { w.SetFileName(dir.Path()); }), "Error reading wave file");  // a folder
}

TEST_F(WaveFiles, FormatStringNamesTheTagWithTheFirstMatchingRow) {
  EXPECT_EQ(FormatTagName(0x11), "IMA ADPCM");
  EXPECT_EQ(FormatTagName(0x20C), "PCM 32");
  EXPECT_EQ(FormatTagName(0x209), "Dolby AC2");
  EXPECT_EQ(FormatTagName(0x55), "MPEG Layer-3");
  EXPECT_EQ(FormatTagName(0xFFFF), "*DEVELOPMENT ONLY TAG*");
  EXPECT_EQ(FormatTagName(0x1234), "Unknown");

  // An IMA ADPCM file: its counts go through the byte rate.
  const std::string path = dir.File("ima.wav");
  Fmt f{0x11, 1, 8000, 4055, 256, 4, 2, {0xF9, 0x01}};
  Bytes fact;
  PutLE32(fact, 1017);
  WriteFile(path, Riff(FmtChunk(f) + Chunk("fact", fact) + Chunk("data", Noise(512, 10))));
  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.FormatString(), "IMA ADPCM");
  EXPECT_EQ(w.FormatTag(), 0x11);
  EXPECT_EQ(w.DataSize(), 1010);  // 512 x 8000 / 4055, rounded
  EXPECT_EQ(FormatSize(w.PWaveFormat()), 20u);
}

TEST_F(WaveFiles, MpegLayer3WavesWithoutSampleSizeOpen) {
  const std::string path = dir.File("mp3.wav");
  Fmt f{0x55, 2, 44100, 16000, 1, 0, 12, {}};  // the extra bytes are missing from the chunk
  WriteFile(path, Riff(FmtChunk(f) + Chunk("data", Noise(417, 11))));
  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.FormatString(), "MPEG Layer-3");
  ASSERT_EQ(FormatSize(w.PWaveFormat()), 30u);
  const auto* extra = reinterpret_cast<const std::uint8_t*>(w.PWaveFormat()) + 18;
  EXPECT_TRUE(std::all_of(extra, extra + 12, [](std::uint8_t x) { return x == 0; }));
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  EXPECT_EQ(w.DataSize(), 417);
}

TEST_F(WaveFiles, ReadingEndsWithAReadThatEmptiesTheRangeThenMinusOne) {
  const std::string path = dir.File("end.wav");
  const Bytes data = Noise(8192 * 2, 12);
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), data));
  TMMWave w;
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  w.SetFileName(path);
  w.OpenFile();
  Bytes buf(8192);
  EXPECT_EQ(w.Read(buf.data(), 8192), 8192);
  EXPECT_EQ(w.BytesLeft(), 8192);
  EXPECT_EQ(w.Position(), 8192);
  EXPECT_EQ(w.Read(buf.data(), 8192), 8192);
  EXPECT_EQ(w.BytesLeft(), 0);  // the reader knows here that nothing follows
  EXPECT_EQ(w.Read(buf.data(), 8192), -1);
  EXPECT_EQ(w.Read(buf.data(), 0), -1);
}

TEST_F(WaveFiles, AFileCutShortAfterOpeningEndsWithoutInventedBytes) {
  const std::string path = dir.File("cut.wav");
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), Noise(4000, 13)));
  TMMWave w;
  w.SetFileName(path);
  std::filesystem::resize_file(path, 44 + 1000);  // the header promised 4000 bytes
  w.OpenFile();
  Bytes buf(8192, 0xEE);
  EXPECT_EQ(w.Read(buf.data(), 8192), 1000);
  EXPECT_EQ(w.Read(buf.data(), 8192), -1);
  w.CloseFile();

  std::filesystem::resize_file(path, 44);  // no sample left at all
  w.OpenFile();
  buf.assign(8192, 0xEE);
  EXPECT_EQ(w.Read(buf.data(), 8192), 0);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(w.Position(), w.Length());
  EXPECT_EQ(w.Read(buf.data(), 8192), -1);
}

TEST_F(WaveFiles, PositionsAreClampedToThePlayedRangeInEveryTimeFormat) {
  const std::string path = dir.File("pos.wav");
  const Bytes data = Noise(4 * 1000, 14);
  WriteFile(path, SimpleWav(Pcm(16, 2, 8000), data));
  TMMWave w;
  w.SetFileName(path);
  w.SetPosition(250);  // closed: remembered for the next open
  w.OpenFile();
  EXPECT_EQ(w.Position(), 250);
  EXPECT_EQ(w.BytesLeft(), 750 * 4);
  w.SetPosition(5000);
  EXPECT_EQ(w.Position(), 999);
  EXPECT_EQ(w.BytesLeft(), 4);
  w.SetTimeFormat(TMMTimeFormats::tfMillisecond);
  w.SetPosition(62);  // 62 ms = 496 samples
  w.SetTimeFormat(TMMTimeFormats::tfSample);
  EXPECT_EQ(w.Position(), 496);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  w.SetPosition(-8);
  EXPECT_EQ(w.Position(), 0);
  Bytes buf(8);
  ASSERT_EQ(w.Read(buf.data(), 8), 8);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin()));
  EXPECT_EQ(w.Position(), 8);
  EXPECT_EQ(w.Length(), 4000);
  EXPECT_EQ(w.LengthInBytes(), 4000);
  w.CloseFile();
  EXPECT_EQ(w.Position(), 0);
}

TEST_F(WaveFiles, InfoAndDispListsAreWrittenBackAfterTheDataOfAContinuedFile) {
  const std::string path = dir.File("tags.wav");
  Bytes info;
  PutId(info, "INFO");
  Append(info, Chunk("INAM", {'T', 'i', 't', 'l', 'e', 0}));
  Append(info, Chunk("ICMT", {'o', 'k', 0}));
  Bytes dispText, dispOther;
  PutLE32(dispText, DISP_TEXT);
  Append(dispText, {'S', 'h', 'o', 'w', 'n', 0});
  PutLE32(dispOther, 3);
  Append(dispOther, Bytes(400, 7));  // not written back: the file gets shorter
  Bytes fact;
  PutLE32(fact, 100);
  const Bytes first = Noise(400, 15);
  WriteFile(path, Riff(FmtChunk(Pcm(16, 2, 44100)) + Chunk("data", first) + Chunk("fact", fact) +
                       Chunk("DISP", dispOther) + Chunk("DISP", dispText) + Chunk("LIST", info)));

  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.Info(InfoIndex(mmioStringToFOURCC("INAM"))), "Title");
  ASSERT_EQ(w.DispList().size(), 2u);
  w.OpenFile(true);
  w.SeekToEnd();
  const Bytes more = Noise(40, 16);
  ASSERT_EQ(w.Write(more.data(), 40), 40);
  w.SetInfo(InfoIndex(mmioStringToFOURCC("ISFT")), "StrataEq");
  ASSERT_TRUE(w.CloseFile());

  const Bytes file = ReadFile(path);
  EXPECT_EQ(ChunkIds(file), (std::vector<std::string>{"fmt ", "data", "fact", "DISP", "LIST"}));
  EXPECT_EQ(LE32At(file, 4), file.size() - 8);  // no stale bytes after the RIFF chunk
  EXPECT_EQ(LE32At(file, 40), 440u);
  EXPECT_EQ(LE32At(file, 44 + 440 + 8), 110u);  // fact: the new sample count
  TMMWave r;
  r.SetFileName(path);
  EXPECT_EQ(r.Info(InfoIndex(mmioStringToFOURCC("INAM"))), "Title");
  EXPECT_EQ(r.Info(InfoIndex(mmioStringToFOURCC("ICMT"))), "ok");
  EXPECT_EQ(r.Info(InfoIndex(mmioStringToFOURCC("ISFT"))), "StrataEq");
  ASSERT_EQ(r.DispList().size(), 1u);
  EXPECT_EQ(r.DispList()[0].Type, DISP_TEXT);
  EXPECT_EQ(ReadAll(r), first + more);
}

TEST_F(WaveFiles, ANewFileCarriesTheInfoAndDispGivenWhileWriting) {
  const std::string path = dir.File("newtags.wav");
  TMMWave w;
  const TWaveFormatEx f = BuildPcmFormat(8, 1, 8000);
  w.CreateFile(&f, path);
  w.SetInfo(InfoIndex(mmioStringToFOURCC("IART")), "Someone");
  w.SetDispList({{DISP_TEXT, {'H', 'i'}}});
  const Bytes data = Noise(3, 17);
  ASSERT_EQ(w.Write(data.data(), 3), 3);
  ASSERT_TRUE(w.CloseFile());
  const Bytes file = ReadFile(path);
  EXPECT_EQ(ChunkIds(file), (std::vector<std::string>{"fmt ", "data", "fact", "DISP", "LIST"}));
  EXPECT_EQ(LE32At(file, 4), file.size() - 8);
  EXPECT_EQ(file.size(), 46u + 4 + 12 + (8 + 4 + 3 + 1) + (12 + 8 + 8));
  TMMWave r;
  r.SetFileName(path);
  EXPECT_EQ(r.Info(InfoIndex(mmioStringToFOURCC("IART"))), "Someone");
  EXPECT_EQ(ReadAll(r), data);
}

TEST_F(WaveFiles, AWriteThatWouldPassTheRiffSizeLimitFailsAndTheFileStaysValid) {
  const std::string path = dir.File("limit.wav");
  TMMWave w;
  w.SetMaxRiffSize(38 + 100 + 12);  // header, 100 data bytes, "fact"
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 8000);
  w.CreateFile(&f, path);
  const Bytes data = Noise(104, 18);
  EXPECT_TRUE(w.CanWrite(100));
  EXPECT_FALSE(w.CanWrite(104));
  ASSERT_EQ(w.Write(data.data(), 100), 100);
  EXPECT_EQ(w.Write(data.data() + 100, 4), -1);
  ASSERT_TRUE(w.CloseFile());
  const Bytes file = ReadFile(path);
  EXPECT_EQ(LE32At(file, 4), 150u);
  EXPECT_EQ(file.size(), 158u);
  TMMWave r;
  r.SetFileName(path);
  EXPECT_EQ(ReadAll(r), Bytes(data.begin(), data.begin() + 100));
  // The format's own limit cannot be raised.
  w.SetMaxRiffSize(1ll << 40);
  EXPECT_EQ(w.MaxRiffSize(), 0xFFFFFFFFll);
}

TEST_F(WaveFiles, CreatingFailsCleanlyForBadNamesAndFormats) {
  TMMWave w;
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  const std::string nowhere = dir.File("missing-folder/x.wav");
  EXPECT_EQ(WaveError([&] { w.CreateFile(&f, nowhere); }), "Unable to create wave file");
  EXPECT_EQ(WaveError([&] { w.CreateFile(nullptr, dir.File("x.wav")); }), "Unable to create wave file");
  TWaveFormatEx zero = f;
  zero.nSamplesPerSec = 0;
  EXPECT_EQ(WaveError([&] { w.CreateFile(&zero, dir.File("y.wav")); }), "Unable to create wave file");
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.wav")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("y.wav")));
  EXPECT_EQ(WaveError([&] { w.OpenFile(); }), "Unable to open wave file");
}

TEST_F(WaveFiles, MemoryWavesReadTheirCopyAndAreNeverWritten) {
  const std::string path = dir.File("mem.wav");
  const Bytes data = Noise(300000, 19);
  const Bytes image = SimpleWav(Pcm(16, 2, 44100), data);
  WriteFile(path, image);
  TMMWave m(true);
  std::vector<std::int64_t> progress;
  m.OnProgress = [&](TObject*, std::int64_t cur, std::int64_t total, bool&) {
    EXPECT_EQ(total, static_cast<std::int64_t>(image.size()));
    progress.push_back(cur);
  };
  m.SetFileMustExist(false);  // ignored for a memory wave
  EXPECT_TRUE(m.FileMustExist());
  m.SetFileName(path);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), static_cast<std::int64_t>(image.size()));
  EXPECT_EQ(m.MemoryData(), image);
  std::filesystem::remove(path);  // the copy is all it needs
  EXPECT_EQ(ReadAll(m), data);
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  EXPECT_EQ(WaveError([&] { m.CreateFile(&f, dir.File("no.wav")); }), "Can't write to MemoryWave");
  std::uint8_t b = 0;
  EXPECT_EQ(WaveError([&] { m.Write(&b, 1); }), "Can't write to MemoryWave");

  std::stringstream stream;
  m.SaveToStream(stream);
  TMMWave copy;
  copy.LoadFromStream(stream);
  EXPECT_TRUE(copy.IsMemoryWave());
  EXPECT_EQ(ReadAll(copy), data);

  TMMWave assigned;
  assigned.Assign(m);
  EXPECT_EQ(assigned.MemoryData(), image);

  // A handler may cancel loading.
  WriteFile(path, image);
  TMMWave cancelled(true);
  cancelled.OnProgress = [](TObject*, std::int64_t, std::int64_t, bool& cancel) { cancel = true; };
  EXPECT_EQ(WaveError([&] { cancelled.SetFileName(path); }), "Error reading wave file");
  EXPECT_TRUE(cancelled.Empty());
}

TEST_F(WaveFiles, ObserversHearOfNewFilesAndTimeFormats) {
  const std::string path = dir.File("obs.wav");
  WriteFile(path, SimpleWav(Pcm(8, 1, 8000), Noise(10, 20)));
  TMMWave w;
  int a = 0, b = 0;
  const int ida = w.Subscribe([&](TMMWave* sender) {
    EXPECT_EQ(sender, &w);
    ++a;
  });
  w.Subscribe([&](TMMWave*) { ++b; });
  w.SetFileName(path);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  w.SetTimeFormat(TMMTimeFormats::tfByte);  // no change
  w.Unsubscribe(ida);
  w.SetFileName("");
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 3);
}

TEST_F(WaveFiles, IOBufferSizeIsNeverBelow8192AndAppliesToAnOpenFile) {
  const std::string path = dir.File("buf.wav");
  const Bytes data = Noise(50000, 21);
  WriteFile(path, SimpleWav(Pcm(16, 2, 44100), data));
  TMMWave w;
  EXPECT_EQ(w.IOBufferSize(), 32768);
  w.SetIOBufferSize(100);
  EXPECT_EQ(w.IOBufferSize(), 8192);
  w.SetFileName(path);
  w.OpenFile();
  Bytes buf(1000);
  ASSERT_EQ(w.Read(buf.data(), 1000), 1000);
  w.SetIOBufferSize(65536);
  Bytes rest(49000);
  ASSERT_EQ(w.Read(rest.data(), 49000), 49000);
  EXPECT_EQ(buf + rest, data);
}

TEST_F(WaveFiles, WavesFromTheResourceTableAndFromMemoryOpenThroughTheIOLayer) {
  static const Bytes image = SimpleWav(Pcm(8, 1, 8000), Noise(99, 22));
  RegisterResource("WAVE", "TESTCHIME", image);
  PWaveIOCB block;
  ASSERT_EQ(wioFileOpen(block, "TestChime", WIO_RESOURCE), WIOERR_NOERROR);
  EXPECT_EQ(block->Samples, 99);
  EXPECT_EQ(block->OpenFlags, WIO_RESOURCE);
  EXPECT_EQ(block->Handle, nullptr);  // closed after reading the header
  ASSERT_EQ(wioFileReopen(*block), WIOERR_NOERROR);
  EXPECT_EQ(wioSetIOBuffer(*block, 4096), WIOERR_NOERROR);
  Bytes out(200);
  EXPECT_EQ(wioWaveRead(*block, out.data(), 200), 99);
  EXPECT_EQ(wioWaveWrite(*block, out.data(), 1), -1);
  wioFreeFileInfo(block);
  EXPECT_FALSE(block);
  EXPECT_EQ(wioFileOpen(block, "NoSuchChime", WIO_RESOURCE), WIOERR_FILEERROR);

  ASSERT_EQ(wioMemoryOpen(block, image.data(), image.size()), WIOERR_NOERROR);
  EXPECT_EQ(block->DataOffset, 44);
  EXPECT_EQ(wioMemoryOpen(block, image.data(), 20), WIOERR_BADFORMAT);
  EXPECT_EQ(wioMemoryOpen(block, "RIFX", 4), WIOERR_FILEERROR);
}

// An independent reader: sox must read what we write, sample for sample.
TEST_F(WaveFiles, SoxReadsWhatWeWrite) {
  if (std::system("sox --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
  struct Case {
    int bits, channels;
    std::uint32_t rate;
    std::size_t bytes;
  };
  for (const Case c : {Case{16, 2, 44100, 44100 * 4}, Case{8, 1, 11025, 11025}, Case{16, 1, 8000, 8002}}) {
    SCOPED_TRACE(c.bits);
    const std::string path = dir.File("sox.wav");
    const TWaveFormatEx f = BuildPcmFormat(c.bits, c.channels, c.rate);
    const Bytes data = Noise(c.bytes, 23);
    WriteWave(path, f, data, 8192);
    const std::string raw = dir.File("sox.raw");
    const std::string cmd = "sox -V1 '" + path + "' -t raw '" + raw + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(ReadFile(raw), data);
    const std::string info = dir.File("sox.txt");
    ASSERT_EQ(std::system(("sox --i -r '" + path + "' > '" + info + "'").c_str()), 0);
    std::ifstream in(info);
    std::uint32_t rate = 0;
    in >> rate;
    EXPECT_EQ(rate, c.rate);
  }
}
