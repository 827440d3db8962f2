// Malformed and odd WAV files, generated here: each is either refused with the
// wave's message or read into exactly the samples that are safely there, through
// memory, through a file, and through the whole chain into a new file.
#include <gtest/gtest.h>

#include <variant>

#include "WavTestUtil.h"
#include "drivers/MMTrigg.h"
#include "files/MMWave.h"
#include "platform/Messages.h"

using namespace strataeq;
using namespace wavtest;

namespace {

struct Refused {
  std::string message;
};
struct Accepted {
  Bytes data;  // the samples a reader must deliver
};

struct CorpusCase {
  std::string name;
  Bytes file;
  std::variant<Refused, Accepted> expect;
};

const Bytes kData = Noise(4000, 99);  // 1000 frames of 16-bit stereo
const Fmt kStereo = Pcm(16, 2, 44100);

Bytes Take(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

Bytes Fact(std::uint32_t v) {
  Bytes b;
  PutLE32(b, v);
  return Chunk("fact", b);
}

Bytes Info(const Bytes& subs, std::optional<std::uint32_t> size = {}) {
  Bytes body;
  PutId(body, "INFO");
  Append(body, subs);
  return Chunk("LIST", body, size);
}

std::vector<CorpusCase> Corpus() {
  const Refused invalid{"Invalid wave file..."};
  std::vector<CorpusCase> c;
  auto add = [&c](std::string name, Bytes file, std::variant<Refused, Accepted> expect) {
    c.push_back({std::move(name), std::move(file), std::move(expect)});
  };
  const Bytes plain = SimpleWav(kStereo, kData);

  add("empty file", {}, invalid);
  add("only RIFF", Take(plain, 4), invalid);
  add("cut inside the form type", Take(plain, 10), invalid);
  add("no chunks", Riff({}), invalid);
  Bytes rmid = plain;
  rmid[8] = 'R', rmid[9] = 'M', rmid[10] = 'I', rmid[11] = 'D';
  add("other form type", rmid, invalid);
  Bytes rifx = plain;
  rifx[3] = 'X';
  add("big-endian RIFX", rifx, invalid);
  add("format only", Riff(FmtChunk(kStereo)), invalid);
  add("data only", Riff(Chunk("data", kData)), invalid);
  add("cut inside the format", Take(plain, 30), invalid);
  {
    const Bytes full = FmtChunk(kStereo);
    const Bytes fmt14(full.begin() + 8, full.begin() + 22);  // no bits per sample
    add("format of 14 bytes", Riff(Chunk("fmt ", fmt14) + Chunk("data", kData)), invalid);
  }
  add("format size past the end", Riff(FmtChunk(kStereo, 0xFFFFFFF0u) + Chunk("data", kData)), invalid);
  for (auto [what, change] : std::initializer_list<std::pair<const char*, void (*)(Fmt&)>>{
           {"0 channels", [](Fmt& f) { f.channels = 0; }},
           {"0 rate", [](Fmt& f) { f.rate = 0; }},
           {"0 block alignment", [](Fmt& f) { f.align = 0; }},
           {"0 bits", [](Fmt& f) { f.bits = 0; }},
           {"huge channel count", [](Fmt& f) { f.channels = 65535; }}}) {
    Fmt f = kStereo;
    change(f);
    add(what, SimpleWav(f, kData), invalid);
  }
  add("second format before the data", Riff(FmtChunk(kStereo) + FmtChunk(kStereo) + Chunk("data", kData)), invalid);
  add("chunk past the RIFF end before the data",
      Riff(FmtChunk(kStereo) + Chunk("junk", {1, 2, 3, 4}, 100000u, false) + Chunk("data", kData)), invalid);

  add("plain", plain, Accepted{kData});
  add("data size past the file", Riff(FmtChunk(kStereo) + Chunk("data", Take(kData, 1003), 1u << 30, false)),
      Accepted{Take(kData, 1000)});
  add("data size FFFFFFFF", Riff(FmtChunk(kStereo) + Chunk("data", kData, 0xFFFFFFFFu)), Accepted{kData});
  add("data size not whole frames", Riff(FmtChunk(kStereo) + Chunk("data", Take(kData, 1001))),
      Accepted{Take(kData, 1000)});
  add("empty data", Riff(FmtChunk(kStereo) + Chunk("data", {})), Accepted{{}});
  add("RIFF size past the file", Riff(FmtChunk(kStereo) + Chunk("data", kData), 0xFFFFFFFFu), Accepted{kData});
  // The RIFF size is no limit: the data runs to its own size, as other readers take it.
  add("RIFF size cutting the data", Riff(FmtChunk(kStereo) + Chunk("data", kData), 4 + 24 + 8 + 100),
      Accepted{kData});
  add("RIFF size 0", Riff(FmtChunk(kStereo) + Chunk("data", kData), 0u), Accepted{kData});
  add("RIFF size 3", Riff(FmtChunk(kStereo) + Chunk("data", kData), 3u), Accepted{kData});
  add("trailing bytes after RIFF", plain + Noise(77, 1), Accepted{kData});
  {
    Fmt f = kStereo;
    f.align = 3;
    f.avg = 1;
    add("wrong block alignment", SimpleWav(f, kData), Accepted{kData});
  }
  {
    Fmt f = kStereo;
    f.cbSize = 40000;  // ignored for PCM
    add("PCM with extra size", SimpleWav(f, kData), Accepted{kData});
  }
  {
    const Bytes full = FmtChunk(kStereo);
    const Bytes body = Bytes(full.begin() + 8, full.end()) + Bytes(100000 - 16, 0);
    add("format chunk of 100000 bytes", Riff(Chunk("fmt ", body) + Chunk("data", kData)), Accepted{kData});
  }
  add("odd chunk with its pad byte", Riff(FmtChunk(kStereo) + Chunk("junk", {1, 2, 3}) + Chunk("data", kData)),
      Accepted{kData});
  add("odd chunk without its pad byte",
      Riff(FmtChunk(kStereo) + Chunk("junk", {1, 2, 3}, {}, false) + Chunk("data", kData)), Accepted{kData});
  add("odd data followed by fact",
      Riff(FmtChunk(Pcm(8, 1, 8000)) + Chunk("data", Take(kData, 1001)) + Fact(1001)),
      Accepted{Take(kData, 1001)});
  add("two data chunks", Riff(FmtChunk(kStereo) + Chunk("data", Take(kData, 400)) + Chunk("data", kData)),
      Accepted{Take(kData, 400)});
  add("second format after the data",
      Riff(FmtChunk(kStereo) + Chunk("data", kData) + FmtChunk(Pcm(8, 1, 8000))), Accepted{kData});
  add("format after the data", Riff(Chunk("data", kData) + FmtChunk(kStereo)), Accepted{kData});
  add("fact of 0 bytes", Riff(FmtChunk(kStereo) + Chunk("fact", {}) + Chunk("data", kData)), Accepted{kData});
  add("two fact chunks after the data", Riff(FmtChunk(kStereo) + Chunk("data", kData) + Fact(1) + Fact(2)),
      Accepted{kData});
  add("list past the RIFF end after the data",
      Riff(FmtChunk(kStereo) + Chunk("data", kData) + Info(Chunk("INAM", {'a', 0}), 0x7FFFFFFFu)), Accepted{kData});
  add("INFO sub-chunks past the list",
      Riff(FmtChunk(kStereo) + Info(Chunk("INAM", {'a', 'b'}, 5000u, false)) + Chunk("data", kData)),
      Accepted{kData});
  add("DISP too short for its type", Riff(FmtChunk(kStereo) + Chunk("DISP", {1}) + Chunk("data", kData)),
      Accepted{kData});
  {
    Bytes many;
    for (int i = 0; i < 20000; ++i) Append(many, Chunk("pad ", {}));
    add("twenty thousand empty chunks", Riff(FmtChunk(kStereo) + many + Chunk("data", kData)), Accepted{kData});
  }
  add("24-bit PCM", SimpleWav(Pcm(24, 2, 48000), Take(kData, 3000)), Accepted{Take(kData, 3000)});
  add("IMA ADPCM", Riff(FmtChunk(Fmt{0x11, 1, 8000, 4055, 256, 4, 2, {0xF9, 0x01}}) + Chunk("data", Take(kData, 1024))),
      Accepted{Take(kData, 1024)});
  return c;
}

void PrintTo(const CorpusCase& c, std::ostream* os) { *os << c.name; }

class WavCorpus : public ::testing::TestWithParam<CorpusCase> {
 protected:
  TempDir dir;
};

// Every sample byte the wave delivers, or the error it raised.
std::variant<Refused, Accepted> Read(TMMWave& w, const std::function<void()>& load) {
  try {
    load();
  } catch (const EMMWaveError& e) {
    return Refused{e.what()};
  }
  Bytes out;
  if (!w.HasData()) return Accepted{out};
  w.OpenFile();
  Bytes buf(1500);
  for (int guard = 0; guard < 100000; ++guard) {
    const std::int64_t r = w.Read(buf.data(), static_cast<std::int64_t>(buf.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + r);
  }
  w.CloseFile();
  return Accepted{out};
}

void ExpectSame(const std::variant<Refused, Accepted>& got, const std::variant<Refused, Accepted>& want) {
  ASSERT_EQ(got.index(), want.index()) << (got.index() == 0 ? "refused: " + std::get<0>(got).message
                                                            : "accepted");
  if (want.index() == 0)
    EXPECT_EQ(std::get<0>(got).message, std::get<0>(want).message);
  else
    EXPECT_EQ(std::get<1>(got).data, std::get<1>(want).data);
}

}  // namespace

TEST_P(WavCorpus, IsRefusedOrReadIntoTheSamplesThatAreThere) {
  const CorpusCase& c = GetParam();
  TMMWave memory(true);
  if (c.file.empty()) {
    memory.LoadFromMemory(c.file.data(), 0);  // no image: an empty memory wave
    EXPECT_TRUE(memory.Empty());
  } else {
    ExpectSame(Read(memory, [&] { memory.LoadFromMemory(c.file.data(), c.file.size()); }), c.expect);
  }

  const std::string path = dir.File("case.wav");
  WriteFile(path, c.file);
  TMMWave file;
  ExpectSame(Read(file, [&] { file.SetFileName(path); }), c.expect);
  EXPECT_EQ(ReadFile(path), c.file);  // reading never changes the file
}

class WavCorpusChain : public WavCorpus {};

TEST_P(WavCorpusChain, AcceptedFilesGoThroughTheChainIntoAValidFile) {
  const CorpusCase& c = GetParam();
  const std::string in = dir.File("in.wav"), out = dir.File("out.wav");
  WriteFile(in, c.file);
  TMMWaveFile source, sink;
  TMMTrigger trigger;
  source.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  source.Wave().SetFileName(in);
  sink.Wave().SetFileMustExist(false);
  sink.Wave().SetFileName(out);
  trigger.SetBufferSize(8192);
  trigger.SetInput(&source);
  trigger.SetOutput(&sink);
  int stops = 0;
  trigger.OnStop = [&](TObject*) { ++stops; };
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return stops > 0; }, std::chrono::seconds(60)));
  trigger.Close();

  const Bytes written = ReadFile(out);
  ASSERT_GE(written.size(), 46u);
  EXPECT_EQ(LE32At(written, 4), written.size() - 8);
  TMMWave check;
  ExpectSame(Read(check, [&] { check.SetFileName(out); }), c.expect);
  EXPECT_EQ(check.FormatTag(), source.Wave().FormatTag());
}

std::string CaseName(const ::testing::TestParamInfo<CorpusCase>& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

// The chain carries the cases that hold samples.
std::vector<CorpusCase> WithSamples() {
  std::vector<CorpusCase> out;
  for (auto& c : Corpus())
    if (c.expect.index() == 1 && !std::get<1>(c.expect).data.empty()) out.push_back(c);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Generated, WavCorpus, ::testing::ValuesIn(Corpus()), CaseName);
INSTANTIATE_TEST_SUITE_P(Generated, WavCorpusChain, ::testing::ValuesIn(WithSamples()), CaseName);
