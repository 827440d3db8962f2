#include "platform/MMIO.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

using namespace strataeq;

namespace {

class MMIOFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "strataeq-mmio-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string File(const char* name) const { return (std::filesystem::path(dir_) / name).string(); }
  static std::vector<std::uint8_t> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string dir_;
};

}  // namespace

TEST(MMIO, FourCharacterCodesPutTheFirstLetterInTheLowestByte) {
  EXPECT_EQ(mmioFOURCC('R', 'I', 'F', 'F'), 0x46464952u);
  EXPECT_EQ(mmioStringToFOURCC("fmt"), mmioFOURCC('f', 'm', 't', ' '));
  EXPECT_EQ(mmioStringToFOURCC("WAVEFORM"), mmioFOURCC('W', 'A', 'V', 'E'));
  EXPECT_EQ(FOURCCToString(mmioFOURCC('d', 'a', 't', 'a')), "data");
}

TEST(MMIO, CreatedChunksGetTheirSizesAndPadBytesWhenAscended) {
  auto io = TMMIO::OpenMemory(std::vector<std::uint8_t>{});
  MMCKINFO riff;
  riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  ASSERT_EQ(io->CreateChunk(riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
  MMCKINFO odd;
  odd.ckid = mmioFOURCC('a', 'b', 'c', 'd');
  ASSERT_EQ(io->CreateChunk(odd, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(io->Write("xyz", 3), 3);
  ASSERT_EQ(io->Ascend(odd), MMSYSERR_NOERROR);
  EXPECT_EQ(odd.cksize, 3u);
  ASSERT_EQ(io->Ascend(riff), MMSYSERR_NOERROR);

  const std::vector<std::uint8_t> expected = {'R', 'I', 'F', 'F', 16, 0, 0, 0, 'W', 'A', 'V', 'E',
                                              'a', 'b', 'c', 'd', 3,  0, 0, 0, 'x', 'y', 'z', 0};
  EXPECT_EQ(io->MemoryBytes(), expected);

  // Read back: descending finds the chunks, ascending skips the pad byte.
  auto in = TMMIO::OpenMemory(io->MemoryBytes().data(), io->MemoryBytes().size());
  MMCKINFO r;
  r.fccType = mmioFOURCC('W', 'A', 'V', 'E');
  ASSERT_EQ(in->Descend(r, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
  EXPECT_EQ(r.dwDataOffset, 8);
  EXPECT_EQ(in->Tell(), 12);
  MMCKINFO sub;
  sub.ckid = mmioFOURCC('a', 'b', 'c', 'd');
  ASSERT_EQ(in->Descend(sub, &r, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
  EXPECT_EQ(sub.cksize, 3u);
  ASSERT_EQ(in->Ascend(sub), MMSYSERR_NOERROR);
  EXPECT_EQ(in->Tell(), 24);
  MMCKINFO none;
  EXPECT_EQ(in->Descend(none, &r, 0), MMIOERR_CHUNKNOTFOUND);
}

TEST(MMIO, SearchingSkipsOtherChunksAndStopsAtTheParentsEnd) {
  // RIFF(WAVE){ "aaaa"(1 byte + pad), "bbbb"(2) } followed by a "cccc" chunk outside it.
  const std::vector<std::uint8_t> bytes = {'R', 'I', 'F', 'F', 22, 0,   0,   0,   'W', 'A', 'V', 'E', 'a', 'a',
                                           'a', 'a', 1,   0,   0,   0,   9,   0,   'b', 'b', 'b', 'b', 2,   0,
                                           0,   0,   7,   7,   'c', 'c', 'c', 'c', 0,   0,   0,   0};
  auto io = TMMIO::OpenMemory(bytes.data(), bytes.size());
  MMCKINFO riff;
  ASSERT_EQ(io->Descend(riff, nullptr, 0), MMSYSERR_NOERROR);
  MMCKINFO b;
  b.ckid = mmioFOURCC('b', 'b', 'b', 'b');
  ASSERT_EQ(io->Descend(b, &riff, MMIO_FINDCHUNK), MMSYSERR_NOERROR);
  EXPECT_EQ(b.dwDataOffset, 30);
  ASSERT_EQ(io->Ascend(b), MMSYSERR_NOERROR);
  io->Seek(12, SEEK_SET);
  MMCKINFO c;
  c.ckid = mmioFOURCC('c', 'c', 'c', 'c');
  EXPECT_EQ(io->Descend(c, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
}

TEST(MMIO, AViewOfMemoryCannotBeWritten) {
  const std::uint8_t bytes[4] = {1, 2, 3, 4};
  auto io = TMMIO::OpenMemory(bytes, sizeof bytes);
  EXPECT_FALSE(io->Writable());
  EXPECT_EQ(io->Write(bytes, 2), -1);
  std::uint8_t out[8] = {};
  EXPECT_EQ(io->Read(out, 8), 4);
  EXPECT_EQ(io->Read(out, 8), 0);
  EXPECT_EQ(io->Seek(-1, SEEK_SET), -1);
}

// Random reads, writes and seeks against a plain byte vector, through buffers
// smaller and larger than the pieces moved: the file must always equal the model.
TEST_F(MMIOFiles, BufferedFileMatchesAModelUnderRandomReadsWritesAndSeeks) {
  for (const std::int32_t bufferSize : {0, 7, 64, 4096}) {
    SCOPED_TRACE(bufferSize);
    const std::string path = File("model.bin");
    std::vector<std::uint8_t> model;
    std::mt19937 rng(1234 + static_cast<unsigned>(bufferSize));
    {
      auto io = TMMIO::OpenFile(path, MMIO_CREATE | MMIO_READWRITE, bufferSize);
      ASSERT_TRUE(io);
      for (int step = 0; step < 3000; ++step) {
        const int op = static_cast<int>(rng() % 3);
        const std::int64_t n = static_cast<std::int64_t>(rng() % 200);
        if (op == 0) {
          std::vector<std::uint8_t> data(static_cast<std::size_t>(n));
          for (auto& x : data) x = static_cast<std::uint8_t>(rng());
          const std::int64_t at = io->Tell();
          ASSERT_EQ(io->Write(data.data(), n), n);
          if (static_cast<std::int64_t>(model.size()) < at + n) model.resize(static_cast<std::size_t>(at + n), 0);
          std::copy(data.begin(), data.end(), model.begin() + at);
        } else if (op == 1) {
          std::vector<std::uint8_t> data(static_cast<std::size_t>(n));
          const std::int64_t at = io->Tell();
          const std::int64_t expect =
              std::clamp<std::int64_t>(static_cast<std::int64_t>(model.size()) - at, 0, n);
          ASSERT_EQ(io->Read(data.data(), n), expect) << "step " << step;
          ASSERT_TRUE(std::equal(data.begin(), data.begin() + expect, model.begin() + at)) << "step " << step;
        } else {
          const std::int64_t to = static_cast<std::int64_t>(rng() % (model.size() + 50));
          ASSERT_EQ(io->Seek(to, SEEK_SET), to);
        }
        ASSERT_EQ(io->Size(), static_cast<std::int64_t>(model.size()));
      }
      ASSERT_EQ(io->Close(), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(Contents(path), model);
  }
}

TEST_F(MMIOFiles, TruncateCutsTheFileAtThePosition) {
  const std::string path = File("cut.bin");
  auto io = TMMIO::OpenFile(path, MMIO_CREATE | MMIO_READWRITE, 16);
  ASSERT_TRUE(io);
  ASSERT_EQ(io->Write("0123456789", 10), 10);
  io->Seek(4, SEEK_SET);
  ASSERT_EQ(io->Truncate(), MMSYSERR_NOERROR);
  EXPECT_EQ(io->Size(), 4);
  ASSERT_EQ(io->Write("ab", 2), 2);
  io->Close();
  const std::vector<std::uint8_t> expected = {'0', '1', '2', '3', 'a', 'b'};
  EXPECT_EQ(Contents(path), expected);
}

TEST_F(MMIOFiles, MissingFilesFifosAndFoldersAreRefused) {
  std::uint32_t error = 0;
  EXPECT_FALSE(TMMIO::OpenFile(File("missing.wav"), MMIO_READ, 0, &error));
  EXPECT_EQ(error, MMIOERR_FILENOTFOUND);
  EXPECT_FALSE(TMMIO::OpenFile(dir_, MMIO_READ, 0, &error));
  const std::string fifo = File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(TMMIO::OpenFile(fifo, MMIO_READ, 0, &error));  // must not block waiting for a writer
  EXPECT_FALSE(MMIOFileExists(dir_));
  EXPECT_TRUE(MMIOFileExists(fifo));
}

// A link under the name of a file being created is never written through: a new file
// is refused when the name is taken, and create-or-truncate refuses a link.
TEST_F(MMIOFiles, CreatingNeverWritesThroughALink) {
  const std::string victim = File("victim");
  { std::ofstream(victim) << "keep"; }
  const std::string link = File("out.wav");
  ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_FALSE(TMMIO::OpenFile(link, MMIO_CREATE | MMIO_NEWFILE | MMIO_READWRITE, 64));
  EXPECT_FALSE(TMMIO::OpenFile(link, MMIO_CREATE | MMIO_READWRITE, 64));
  const std::string dangling = File("dangling.wav");
  ASSERT_EQ(::symlink(File("made-by-link").c_str(), dangling.c_str()), 0);
  EXPECT_FALSE(TMMIO::OpenFile(dangling, MMIO_CREATE | MMIO_NEWFILE | MMIO_READWRITE, 64));
  EXPECT_FALSE(std::filesystem::exists(File("made-by-link")));
  EXPECT_EQ(Contents(victim), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  auto fresh = TMMIO::OpenFile(File("new.wav"), MMIO_CREATE | MMIO_NEWFILE | MMIO_READWRITE, 64);
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(fresh->Writable());
}

TEST_F(MMIOFiles, AReadOnlyFileOpensForReadingWhenWritingIsNotAllowed) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not refuse writing";
  const std::string path = File("ro.bin");
  { std::ofstream(path) << "abcd"; }
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  auto io = TMMIO::OpenFile(path, MMIO_READWRITE, 64);
  ASSERT_TRUE(io);
  EXPECT_FALSE(io->Writable());
  char out[4];
  EXPECT_EQ(io->Read(out, 4), 4);
  EXPECT_EQ(io->Write("x", 1), -1);
}

TEST(MMIO, ResourcesAreFoundByTypeAndNameInAnyLetterCase) {
  static const std::uint8_t bytes[] = {1, 2, 3};
  RegisterResource("WAVE", "Ding", bytes);
  const auto found = FindResource("DING", "wave");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found.data(), bytes);
  EXPECT_TRUE(FindResource("Ding", "BMP").empty());
  std::uint32_t error = 0;
  EXPECT_FALSE(TMMIO::OpenResource("nothing", "WAVE", &error));
  EXPECT_EQ(error, MMIOERR_FILENOTFOUND);
  auto io = TMMIO::OpenResource("ding", "WAVE");
  ASSERT_TRUE(io);
  std::uint8_t out[3];
  EXPECT_EQ(io->Read(out, 3), 3);
  EXPECT_EQ(out[2], 3);
}
