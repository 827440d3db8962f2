#include "files/MMRIFF.h"

#include <gtest/gtest.h>

#include "WavTestUtil.h"

using namespace strataeq;
using namespace wavtest;

namespace {

int Index(const char* id) { return InfoIndex(mmioStringToFOURCC(id)); }

// Descends into the first chunk of a memory file holding bytes.
struct Opened {
  explicit Opened(const Bytes& b) : bytes(b), io(TMMIO::OpenMemory(bytes.data(), bytes.size())) {
    EXPECT_EQ(io->Descend(ck, nullptr, 0), MMSYSERR_NOERROR);
  }
  Bytes bytes;
  std::unique_ptr<TMMIO> io;
  MMCKINFO ck;
};

Bytes Sub(std::string_view id, std::string_view text, std::optional<std::uint32_t> size = {}) {
  return Chunk(id, Bytes(text.begin(), text.end()), size);
}

Bytes InfoList(const Bytes& subs, std::optional<std::uint32_t> size = {}) {
  Bytes body;
  PutId(body, "INFO");
  Append(body, subs);
  return Chunk("LIST", body, size);
}

}  // namespace

TEST(RiffInfo, TheTwentyThreeIdentifiersComeInTheirWritingOrder) {
  EXPECT_EQ(InfoCount, 23);
  EXPECT_EQ(FOURCCToString(InfoDescriptor(0).Id), "IARL");
  EXPECT_STREQ(InfoDescriptor(0).Name, "Archival Location");
  EXPECT_EQ(FOURCCToString(InfoDescriptor(14).Id), "INAM");
  EXPECT_EQ(FOURCCToString(InfoDescriptor(22).Id), "ITCH");
  EXPECT_STREQ(InfoDescriptor(22).Name, "Technician");
  for (int i = 0; i < InfoCount; ++i) EXPECT_EQ(InfoIndex(InfoDescriptor(i).Id), i);
  EXPECT_EQ(Index("ABCD"), -1);
}

TEST(RiffInfo, KnownSubChunksSetTheirTextsAndOthersAreSkipped) {
  // Odd-sized texts with their pad bytes, an unknown identifier between them, a text
  // without a terminating zero.
  Opened f(InfoList(Sub("INAM", std::string_view("Song\0", 5)) + Sub("XYZW", "skip me") +
                    Sub("IART", std::string_view("Band\0", 5)) + Sub("ICMT", "no zero")));
  TInfoList info;
  ASSERT_EQ(riffReadINFO(*f.io, f.ck, info), RIFFERR_NOERROR);
  EXPECT_EQ(info.Text(Index("INAM")), "Song");
  EXPECT_EQ(info.Text(Index("IART")), "Band");
  EXPECT_EQ(info.Text(Index("ICMT")), "no zero");
  EXPECT_TRUE(info.Text(Index("ICOP")).empty());
  EXPECT_EQ(info.Entry(Index("INAM")).Flags & INFO_CHANGED, 0u);
}

TEST(RiffInfo, SizesRunningPastTheListAreCutToIt) {
  // The last sub-chunk claims 1000 bytes, the list itself more than the memory holds.
  Bytes subs = Sub("INAM", std::string_view("Name\0", 5)) + Sub("ISFT", "abc", 1000u);
  Opened f(InfoList(subs, 0x7FFFFFF0u));
  TInfoList info;
  ASSERT_EQ(riffReadINFO(*f.io, f.ck, info), RIFFERR_NOERROR);
  EXPECT_EQ(info.Text(Index("INAM")), "Name");
  EXPECT_EQ(info.Text(Index("ISFT")), "abc");
}

TEST(RiffInfo, WrittenListHoldsNonEmptyEntriesInTableOrderWithTerminatingZeros) {
  TInfoList info;
  EXPECT_EQ(riffINFOSize(info), 0);
  info.SetText(Index("ISFT"), "StrataEq");  // 9 bytes with the zero: padded
  info.SetText(Index("IART"), "Me");
  EXPECT_NE(info.Entry(Index("IART")).Flags & INFO_CHANGED, 0u);
  auto io = TMMIO::OpenMemory(Bytes{});
  ASSERT_EQ(riffWriteINFO(*io, info), RIFFERR_NOERROR);
  const Bytes expected = InfoList(Sub("IART", std::string_view("Me\0", 3)) +
                                  Sub("ISFT", std::string_view("StrataEq\0", 9)));
  EXPECT_EQ(io->MemoryBytes(), expected);
  EXPECT_EQ(riffINFOSize(info), static_cast<std::int64_t>(expected.size()));

  // Nothing to write: nothing written.
  auto empty = TMMIO::OpenMemory(Bytes{});
  ASSERT_EQ(riffWriteINFO(*empty, TInfoList{}), RIFFERR_NOERROR);
  EXPECT_TRUE(empty->MemoryBytes().empty());
}

TEST(RiffDisp, ReadKeepsTypeAndDataAndWriteKeepsOnlyTextAndBitmaps) {
  Bytes text;
  PutLE32(text, DISP_TEXT);
  for (char c : std::string_view("Hello\0", 6)) text.push_back(static_cast<std::uint8_t>(c));
  Opened f(Chunk("DISP", text));
  TDispList disp;
  ASSERT_EQ(riffReadDISP(*f.io, f.ck, disp), RIFFERR_NOERROR);
  ASSERT_EQ(disp.size(), 1u);
  EXPECT_EQ(disp[0].Type, DISP_TEXT);
  EXPECT_EQ(disp[0].Data.size(), 6u);

  disp.push_back({DISP_DIB, {1, 2, 3}});
  disp.push_back({3, {9, 9}});                      // another type: kept, not written
  disp.push_back({DISP_TEXT, {'N', 'o', 'Z'}});     // text without a zero: gets one
  disp.push_back({DISP_DIB, {}});                   // no data: not written
  auto io = TMMIO::OpenMemory(Bytes{});
  ASSERT_EQ(riffWriteDISP(*io, disp), RIFFERR_NOERROR);
  Bytes dib, noz;
  PutLE32(dib, DISP_DIB);
  Append(dib, {1, 2, 3});
  PutLE32(noz, DISP_TEXT);
  Append(noz, {'N', 'o', 'Z', 0});
  const Bytes expected = Chunk("DISP", text) + Chunk("DISP", dib) + Chunk("DISP", noz);
  EXPECT_EQ(io->MemoryBytes(), expected);
  EXPECT_EQ(riffDISPSize(disp), static_cast<std::int64_t>(expected.size()));
}

TEST(RiffDisp, ChunksTooShortForATypeOrRunningPastTheDataAreHandled) {
  Opened tiny(Chunk("DISP", {1, 0}));
  TDispList disp;
  EXPECT_EQ(riffReadDISP(*tiny.io, tiny.ck, disp), RIFFERR_BADPARAM);
  EXPECT_TRUE(disp.empty());

  Bytes body;
  PutLE32(body, DISP_DIB);
  Append(body, {5, 6, 7});
  Opened longer(Chunk("DISP", body, 0xFFFFFF00u));  // claims far more than there is
  ASSERT_EQ(riffReadDISP(*longer.io, longer.ck, disp), RIFFERR_NOERROR);
  ASSERT_EQ(disp.size(), 1u);
  EXPECT_EQ(disp[0].Data, (Bytes{5, 6, 7, 0}));  // the pad byte is all there is beyond
}
