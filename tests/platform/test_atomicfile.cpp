#include "platform/AtomicFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace strataeq;
namespace fs = std::filesystem;

namespace {

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "strataeq-atomic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    SetTempNameSource(nullptr);
    SetUnnamedTempFiles(true);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string File(const std::string& name) const { return (fs::path(dir_) / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

// Sets umask for one test.
struct UmaskScope {
  explicit UmaskScope(mode_t m) : old(::umask(m)) {}
  ~UmaskScope() { ::umask(old); }
  mode_t old;
};

}  // namespace

TEST_F(AtomicFileTest, ATakenNameIsNeverOpenedAndTheNextOneIsTried) {
  SetUnnamedTempFiles(false);  // the fallback, for file systems without unnamed files
  const std::string victim = File("victim");
  Put(victim, "keep me");
  // Every kind of entry an attacker could leave under the first two names.
  std::vector<std::string> names = {"first", "second", "third"};
  SetTempNameSource([&names, i = std::size_t{0}]() mutable { return names[std::min(i++, names.size() - 1)]; });
  ASSERT_EQ(::symlink(victim.c_str(), File(".out.wav.strataeq-first").c_str()), 0);
  ASSERT_EQ(::symlink(File("nowhere").c_str(), File(".out.wav.strataeq-second").c_str()), 0);  // dangling

  TAtomicFile f;
  ASSERT_EQ(f.Create(File("out.wav")), 0);
  EXPECT_EQ(f.TempName(), File(".out.wav.strataeq-third"));
  EXPECT_EQ(Mode(f.TempName()) & 0777, 0600u);
  EXPECT_FALSE(fs::exists(File("nowhere")));  // the dangling link did not create its target
  ASSERT_EQ(f.Write("new data", 8), 0);
  ASSERT_EQ(f.Commit(), 0);
  EXPECT_EQ(Contents(File("out.wav")), "new data");
  EXPECT_TRUE(S_ISREG(Mode(File("out.wav"))));
  EXPECT_EQ(Contents(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(File(".out.wav.strataeq-first")));
}

TEST_F(AtomicFileTest, RandomNamesDifferAndStayWithinOneFolderEntry) {
  SetUnnamedTempFiles(false);  // the fallback, for file systems without unnamed files
  const std::string longName(250, 'n');
  TAtomicFile a, b;
  ASSERT_EQ(a.Create(File(longName)), 0);
  ASSERT_EQ(b.Create(File(longName)), 0);
  EXPECT_NE(a.TempName(), b.TempName());
  EXPECT_LE(fs::path(a.TempName()).filename().string().size(), 255u);
  ASSERT_EQ(a.Commit(), 0);
  EXPECT_TRUE(fs::exists(File(longName)));
}

TEST_F(AtomicFileTest, AReplacedFileKeepsItsPermissionBitsAndANewOneGetsTheUmasksDefault) {
  UmaskScope umask(027);
  const std::string existing = File("existing.wav");
  Put(existing, "old");
  ASSERT_EQ(::chmod(existing.c_str(), 0604), 0);
  TAtomicFile f;
  ASSERT_EQ(f.Create(existing), 0);
  ASSERT_EQ(f.Write("new", 3), 0);
  ASSERT_EQ(f.Commit(), 0);
  EXPECT_EQ(Mode(existing) & 07777, 0604u);
  EXPECT_EQ(Contents(existing), "new");

  EXPECT_EQ(NewFileMode(), 0640u);
  TAtomicFile g;
  ASSERT_EQ(g.Create(File("fresh.wav")), 0);
  ASSERT_EQ(g.Commit(), 0);
  EXPECT_EQ(Mode(File("fresh.wav")) & 07777, 0640u);
}

TEST_F(AtomicFileTest, ALinkPlantedOverTheTemporaryNameWhileWritingIsNeverFollowed) {
  SetUnnamedTempFiles(false);  // the fallback, for file systems without unnamed files
  const std::string victim = File("victim");
  Put(victim, "victim's bytes");
  TAtomicFile f;
  ASSERT_EQ(f.Create(File("out.wav")), 0);
  ASSERT_EQ(f.Write("first half, ", 12), 0);
  // Someone with write access to the folder swaps the file for a link.
  ASSERT_EQ(::unlink(f.TempName().c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), f.TempName().c_str()), 0);
  const std::string planted = f.TempName();
  ASSERT_EQ(f.Write("second half", 11), 0);
  ASSERT_EQ(f.Commit(), 0);

  EXPECT_EQ(Contents(victim), "victim's bytes");
  EXPECT_TRUE(S_ISREG(Mode(File("out.wav"))));
  EXPECT_EQ(Contents(File("out.wav")), "first half, second half");
  EXPECT_TRUE(fs::is_symlink(planted));  // someone else's entry is left to them
  EXPECT_EQ(Entries(), (std::vector<std::string>{fs::path(planted).filename().string(), "out.wav", "victim"}));
}

TEST_F(AtomicFileTest, AnAbandonedOrFailedFileLeavesTheFinalNameAsItWas) {
  const std::string out = File("out.wav");
  Put(out, "old");
  {
    TAtomicFile f;
    ASSERT_EQ(f.Create(out), 0);
    ASSERT_EQ(f.Write("half", 4), 0);
  }
  EXPECT_EQ(Contents(out), "old");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wav"});

  // A folder under the final name cannot be replaced by a file.
  fs::create_directory(File("folder"));
  TAtomicFile g;
  EXPECT_EQ(g.Create(File("folder")), EISDIR);
  EXPECT_NE(g.Commit(), 0);
  EXPECT_FALSE(g.Committed());
  EXPECT_TRUE(fs::is_directory(File("folder")));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"folder", "out.wav"}));

  TAtomicFile h;
  EXPECT_EQ(h.Create(File("no-such-folder/out.wav")), ENOENT);
  EXPECT_EQ(h.Create(dir_ + "/"), EISDIR);
}

TEST_F(AtomicFileTest, AnUnnamedFileShowsOnlyWhenCommittedAndKeepsTheReplacedFilesModeAndOwner) {
  const std::string out = File("out.wav");
  Put(out, "old");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(out.c_str(), 1234, 5678), 0);
  }
  {
    TAtomicFile abandoned;
    ASSERT_EQ(abandoned.Create(out), 0);
    ASSERT_EQ(abandoned.Write("half", 4), 0);
  }
  TAtomicFile f;
  ASSERT_EQ(f.Create(out), 0);
  EXPECT_TRUE(f.TempName().empty());
  ASSERT_EQ(f.Write("new", 3), 0);
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wav"});
  EXPECT_EQ(Contents(out), "old");
  ASSERT_EQ(f.Commit(), 0);
  EXPECT_EQ(Contents(out), "new");
  EXPECT_EQ(Entries(), std::vector<std::string>{"out.wav"});
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
  }
}

TEST_F(AtomicFileTest, ALinkKeepsItsPlaceAndAFifoIsWrittenAsAStream) {
  fs::create_directory(File("real"));
  Put(File("real/target.wav"), "old target");
  ASSERT_EQ(::symlink("real/target.wav", File("link.wav").c_str()), 0);
  ASSERT_EQ(::symlink("real/new.wav", File("dangling.wav").c_str()), 0);
  for (const char* name : {"link.wav", "dangling.wav"}) {
    TAtomicFile f;
    ASSERT_EQ(f.Create(File(name)), 0) << name;
    EXPECT_FALSE(f.IsStream());
    ASSERT_EQ(f.Write("through the link", 16), 0);
    ASSERT_EQ(f.Commit(), 0) << name;
    EXPECT_TRUE(fs::is_symlink(File(name))) << name;
    EXPECT_EQ(Contents(File(name)), "through the link") << name;
  }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"dangling.wav", "link.wav", "real"}));

  const std::string fifo = File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = Contents(fifo); });
  {
    TAtomicFile s;
    ASSERT_EQ(s.Create(fifo), 0);  // waits for the reader, as any writer of a FIFO does
    EXPECT_TRUE(s.IsStream());
    ASSERT_EQ(s.Write("streamed", 8), 0);
    ASSERT_EQ(s.Commit(), 0);
  }
  reader.join();
  EXPECT_EQ(got, "streamed");
  EXPECT_TRUE(S_ISFIFO(Mode(fifo)));

  TAtomicFile d;
  ASSERT_EQ(d.Create("/dev/null"), 0);
  EXPECT_TRUE(d.IsStream());
  d.Discard();
  EXPECT_TRUE(S_ISCHR(Mode("/dev/null")));
}
