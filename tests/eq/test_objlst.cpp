#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <unistd.h>

#include "eq/MMObjLst.h"

using namespace strataeq;

namespace {

constexpr float kEdges[15][2] = {{0, 60},         {60, 120},       {120, 200},     {200, 600},     {600, 800},
                                 {800, 1000},     {1000, 2000},    {2000, 4000},   {4000, 6000},   {6000, 8000},
                                 {8000, 10000},   {10000, 12000},  {12000, 14000}, {14000, 16000}, {16000, 22050}};

std::vector<std::uint8_t> DefaultBytes() {
  auto s = DefaultBandListStream();
  return {s.begin(), s.end()};
}

std::vector<std::uint8_t> Written(const TObjectList& list) {
  TMemoryStream m;
  list.WriteData(m);
  return m.Bytes();
}

template <class T>
T At(const std::vector<std::uint8_t>& b, std::size_t offset) {
  T v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

template <class T>
void Poke(std::vector<std::uint8_t>& b, std::size_t offset, T v) {
  std::memcpy(b.data() + offset, &v, sizeof v);
}

constexpr std::size_t BandOffset(int i) { return 23 + 25 * static_cast<std::size_t>(i); }

// Records what the band list asks of its equalizer.
class FakeEqualizer : public TMMEQFilterListOwner {
 public:
  std::string Description() const override { return description; }
  void SetDescription(const std::string& v) override {
    description = v;
    setWhileUpdating = setWhileUpdating && updating;
  }
  std::int32_t FFTLength() const override { return fftLength; }
  void SetFFTLength(std::int32_t v) override {
    fftLength = v;
    setWhileUpdating = setWhileUpdating && updating;
  }
  void SetUpdating(bool v) override { updating = v; }
  void BandChanged(TMMEQFilter* band) override {
    lastBand = band;
    ++bandChanges;
  }

  std::string description = "Untitled";
  std::int32_t fftLength = 256;
  bool updating = false;
  bool setWhileUpdating = true;
  int bandChanges = 0;
  TMMEQFilter* lastBand = nullptr;
};

struct Listened {
  explicit Listened(TObjectList& list, const FakeEqualizer* eq = nullptr) {
    list.OnChange = [this, eq](TObject*) {
      ++changes;
      if (eq && eq->updating) updatingAtChange = true;
    };
    list.OnChanging = [this](TObject*) { ++changings; };
  }
  int changes = 0, changings = 0;
  bool updatingAtChange = false;
};

void ExpectDefaultBands(const TMMEQFilterList& list) {
  ASSERT_EQ(list.Count(), 15);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(list.Band(i)->F1(), kEdges[i][0]) << i;
    EXPECT_EQ(list.Band(i)->F2(), kEdges[i][1]) << i;
    EXPECT_EQ(list.Band(i)->Gain(), 0.0f) << i;
    EXPECT_TRUE(list.Band(i)->Enabled()) << i;
  }
}

std::string ReadError(TObjectList& list, std::vector<std::uint8_t> bytes) {
  TMemoryStream s(std::move(bytes));
  try {
    list.ReadData(s);
  } catch (const EMMError& e) {
    return e.what();
  }
  return "no error";
}

class Counted : public TObject {
 public:
  explicit Counted(int* alive = nullptr) : alive_(alive) {
    if (alive_) ++*alive_;
  }
  ~Counted() override {
    if (alive_) --*alive_;
  }
  int value = 0;

 private:
  int* alive_;
};

class Unregistered : public TObject {};

}  // namespace

TEST(DefaultBandList, StreamHasEveryFieldAtItsOffset) {
  auto b = DefaultBytes();
  ASSERT_EQ(b.size(), 398u);
  EXPECT_EQ(std::memcmp(b.data(), "EQU\0", 4), 0);
  EXPECT_EQ(b[4], 1);                          // owns objects
  EXPECT_EQ(At<std::int32_t>(b, 5), 8);        // description length
  EXPECT_EQ(std::string(b.begin() + 9, b.begin() + 17), "Untitled");
  EXPECT_EQ(At<std::int32_t>(b, 17), 256);     // FFT length
  EXPECT_EQ(At<std::int16_t>(b, 21), 15);      // band count
  for (int i = 0; i < 15; ++i) {
    std::size_t o = BandOffset(i);
    EXPECT_EQ(b[o], 11) << i;
    EXPECT_EQ(std::string(b.begin() + o + 1, b.begin() + o + 12), "TMMEQFilter") << i;
    EXPECT_EQ(b[o + 12], 1) << i;
    EXPECT_EQ(At<float>(b, o + 13), kEdges[i][0]) << i;
    EXPECT_EQ(At<float>(b, o + 17), kEdges[i][1]) << i;
    EXPECT_EQ(At<float>(b, o + 21), 0.0f) << i;
  }
  EXPECT_EQ(BandOffset(15), 398u);
}

TEST(DefaultBandList, WriterReproducesTheCompiledInStreamAndTheSourceFile) {
  TMMEQFilterList list;
  for (auto& e : kEdges) list.Add(new TMMEQFilter(e[0], e[1], 0.0f));
  EXPECT_EQ(Written(list), DefaultBytes());

  auto file = std::filesystem::path(__FILE__).parent_path() / "../../src/eq/default_bands.equ";
  std::ifstream in(file, std::ios::binary);
  if (!in) GTEST_SKIP() << "source tree not reachable from " << file;
  std::vector<std::uint8_t> onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, DefaultBytes());
}

TEST(DefaultBandList, ReadsBackAsFifteenBandsUntitled256WithOneNotification) {
  FakeEqualizer eq;
  eq.description = "Old";
  eq.fftLength = 1024;
  TMMEQFilterList list(&eq);
  list.Add(new TMMEQFilter(1, 2, 3));
  Listened l(list, &eq);
  LoadDefaultBandList(list);
  ExpectDefaultBands(list);
  EXPECT_EQ(eq.description, "Untitled");
  EXPECT_EQ(eq.fftLength, 256);
  EXPECT_TRUE(eq.setWhileUpdating);
  EXPECT_FALSE(eq.updating);
  EXPECT_FALSE(l.updatingAtChange);
  EXPECT_EQ(l.changes, 1);
  EXPECT_EQ(l.changings, 1);
  EXPECT_EQ(eq.bandChanges, 0);
  EXPECT_EQ(list.UpdateCount(), 0);

  // Loaded bands report their own changes to the equalizer.
  list.Band(3)->SetBandValue(2, -6.0f);
  EXPECT_EQ(eq.bandChanges, 1);
  EXPECT_EQ(eq.lastBand, list.Band(3));
  EXPECT_EQ(list.Band(3)->Gain(), -6.0f);
  EXPECT_EQ(l.changes, 1);
}

TEST(BandList, SaveAndLoadFileRoundTripDescriptionFftAndBands) {
  auto path = std::filesystem::temp_directory_path() / ("objl_roundtrip_" + std::to_string(::getpid()) + ".sqp");
  FakeEqualizer a;
  a.description = "Rock";
  a.fftLength = 512;
  TMMEQFilterList src(&a);
  src.Add(new TMMEQFilter(0, 60, -12.5f));
  src.Add(new TMMEQFilter(60, 120, 16.0f, false));
  src.SaveToFile(path.string());
  EXPECT_EQ(std::filesystem::file_size(path), 15u + 4 + 2 * 25);

  FakeEqualizer b;
  TMMEQFilterList dst(&b);
  dst.LoadFromFile(path.string());
  ASSERT_EQ(dst.Count(), 2);
  EXPECT_EQ(b.description, "Rock");
  EXPECT_EQ(b.fftLength, 512);
  EXPECT_EQ(dst.Band(0)->Gain(), -12.5f);
  EXPECT_FALSE(dst.Band(1)->Enabled());
  EXPECT_EQ(dst.Band(1)->Gain(), 16.0f);
  EXPECT_EQ(Written(dst), Written(src));

  // A list that cannot be written leaves the existing file as it was.
  TObjectList unwritable;
  unwritable.Add(new Unregistered);
  EXPECT_THROW(unwritable.SaveToFile(path.string()), EClassNotFound);
  EXPECT_EQ(std::filesystem::file_size(path), 69u);
  std::filesystem::remove(path);

  EXPECT_THROW(dst.LoadFromFile((path.parent_path() / "objl_missing_dir" / "x.sqp").string()), EFOpenError);
}

TEST(BandList, DescriptionLengthZeroKeepsTheDescriptionAndAZeroByteEndsIt) {
  FakeEqualizer eq;
  eq.description = "Mine";
  TMMEQFilterList list(&eq);
  std::vector<std::uint8_t> b = {'E', 'Q', 'U', 0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};
  TMemoryStream s(b);
  list.ReadData(s);
  EXPECT_EQ(eq.description, "Mine");
  EXPECT_EQ(eq.fftLength, 512);
  EXPECT_EQ(list.Count(), 0);

  b = {'E', 'Q', 'U', 0, 1, 4, 0, 0, 0, 'A', 'b', 0, 'c', 0, 1, 0, 0, 0, 0};
  TMemoryStream s2(b);
  list.ReadData(s2);
  EXPECT_EQ(eq.description, "Ab");
  EXPECT_EQ(eq.fftLength, 256);

  // Found by fuzzing (fuzz/regressions/preset/empty_description_roundtrip.sqp): a
  // one-byte description that is a zero byte empties the description; written back it
  // has length 0, which a reader then leaves alone.
  b = {'E', 'Q', 'U', 0, 0x32, 1, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
  TMemoryStream s3(b);
  list.ReadData(s3);
  EXPECT_EQ(eq.description, "");
  EXPECT_EQ(eq.fftLength, 16);
  EXPECT_TRUE(list.OwnsObjects());
  auto written = Written(list);
  EXPECT_EQ(written, (std::vector<std::uint8_t>{'E', 'Q', 'U', 0, 1, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}));
  eq.description = "Other";
  TMemoryStream s4(written);
  list.ReadData(s4);
  EXPECT_EQ(eq.description, "Other");
}

TEST(BandList, FailureMessages) {
  TMMEQFilterList list;
  auto b = DefaultBytes();
  b[0] = 'X';
  EXPECT_EQ(ReadError(list, b), "Invalid Object stream");

  b = DefaultBytes();
  b[BandOffset(9) + 1] = 'X';  // "XMMEQFilter"
  EXPECT_EQ(ReadError(list, b), "Class <XMMEQFilter> not registered");

  TMemoryStream m;
  EXPECT_THROW(
      try { WriteObject(nullptr, m); } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Nil Source Class!");
        throw;
      },
      EClassNotFound);
  Unregistered u;
  EXPECT_THROW(
      try { WriteObject(&u, m); } catch (const EClassNotFound& e) {
        EXPECT_STREQ(e.what(), "Source Class <Unregistered> not registered");
        throw;
      },
      EClassNotFound);
  EXPECT_THROW(
      try { list.Get(5); } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (5)");
        throw;
      },
      EListError);

  // Through a file every reading failure is the same message.
  auto path = std::filesystem::temp_directory_path() / ("objl_bad_" + std::to_string(::getpid()) + ".sqp");
  b = DefaultBytes();
  b[2] = 'V';
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  try {
    list.LoadFromFile(path.string());
    ADD_FAILURE() << "bad signature accepted";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Unable to load Object stream");
  }
  std::filesystem::remove(path);
}

// Each case breaks the default stream somewhere after the signature; the list,
// the description and the FFT length must stay exactly as they were, unannounced.
TEST(BandList, AStreamFailingPartWayChangesNothing) {
  auto base = DefaultBytes();
  std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases;
  cases.push_back({"cut inside band 8", {base.begin(), base.begin() + static_cast<long>(BandOffset(7) + 10)}});
  cases.push_back({"cut after the count", {base.begin(), base.begin() + 23}});
  auto b = base;
  b[BandOffset(9) + 3] = 'Q';
  cases.push_back({"unknown class at band 10", b});
  b = base;
  Poke(b, BandOffset(2) + 21, std::numeric_limits<float>::quiet_NaN());
  cases.push_back({"NaN gain in band 3", b});
  b = base;
  Poke(b, BandOffset(14) + 17, std::numeric_limits<float>::infinity());
  cases.push_back({"infinite f2 in band 15", b});
  b = base;
  Poke(b, BandOffset(0) + 13, -std::numeric_limits<float>::infinity());
  cases.push_back({"-infinite f1 in band 1", b});
  b = base;
  Poke<std::int32_t>(b, 5, 0x7FFFFFFF);
  cases.push_back({"description length 2^31-1", b});
  b = base;
  Poke<std::int16_t>(b, 21, -1);
  cases.push_back({"band count -1", b});
  b = base;
  Poke<std::int16_t>(b, 21, 32767);
  cases.push_back({"band count 32767", b});
  b = base;
  Poke<std::int16_t>(b, 21, 16);
  cases.push_back({"one band too many", b});

  for (auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    FakeEqualizer eq;
    eq.description = "Keep";
    eq.fftLength = 2048;
    TMMEQFilterList list(&eq);
    list.Add(new TMMEQFilter(10, 20, -3, false));
    list.Add(new TMMEQFilter(20, 30, 4));
    auto before = Written(list);
    Listened l(list, &eq);
    EXPECT_NE(ReadError(list, bytes), "no error");
    EXPECT_EQ(Written(list), before);
    EXPECT_EQ(l.changes + l.changings, 0);
    EXPECT_FALSE(eq.updating);
    EXPECT_EQ(list.UpdateCount(), 0);

    auto path = std::filesystem::temp_directory_path() / ("objl_part_" + std::to_string(::getpid()) + ".sqp");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_THROW(
        try { list.LoadFromFile(path.string()); } catch (const EStreamError& e) {
          EXPECT_STREQ(e.what(), "Unable to load Object stream");
          throw;
        },
        EStreamError);
    EXPECT_EQ(Written(list), before);
    std::filesystem::remove(path);
  }
}

TEST(BandList, OversizedLengthsAreRefusedAsInvalidBeforeAllocating) {
  TMMEQFilterList list;
  auto b = DefaultBytes();
  Poke<std::int32_t>(b, 5, 0x7FFFFFFF);
  EXPECT_EQ(ReadError(list, b), "Invalid Object stream");
  b = DefaultBytes();
  Poke<std::int16_t>(b, 21, 32767);
  b.resize(200);
  EXPECT_EQ(ReadError(list, b), "Invalid Object stream");
  b = DefaultBytes();
  Poke<std::int16_t>(b, 21, -1);
  EXPECT_EQ(ReadError(list, b), "Invalid Object stream");
}

TEST(Band, EdgesBelowZeroBecomeZeroAndNonFiniteValuesAreIgnored) {
  auto b = DefaultBytes();
  Poke(b, BandOffset(1) + 13, -50.0f);
  Poke(b, BandOffset(1) + 17, -1.0f);
  TMMEQFilterList list;
  TMemoryStream s(b);
  list.ReadData(s);
  EXPECT_EQ(list.Band(1)->F1(), 0.0f);
  EXPECT_EQ(list.Band(1)->F2(), 0.0f);

  TMMEQFilter band(100, 200, 3);
  int notes = 0;
  band.OnChange = [&](TMMEQFilter*) { ++notes; };
  band.SetBand(100, 200, 3);
  band.SetBandEnabled(true);
  EXPECT_EQ(notes, 0);
  band.SetBand(std::nanf(""), 300, 1);
  band.SetBandValue(2, std::numeric_limits<float>::infinity());
  EXPECT_EQ(notes, 0);
  EXPECT_EQ(band.Gain(), 3.0f);
  band.SetBandValue(0, -20);
  EXPECT_EQ(notes, 1);
  EXPECT_EQ(band.F1(), 0.0f);
  EXPECT_EQ(band.F2(), 200.0f);

  TMMEQFilter other(1, 2, 3, false);
  band.Assign(other);
  EXPECT_EQ(notes, 3);  // range, then enabled
}

TEST(ObjectList, GrowsInsertsAndBoundsIndexes) {
  TObjectList list;
  list.SetOwnsObjects(false);
  std::vector<std::int32_t> caps;
  Counted c;
  for (int i = 0; i < 33; ++i) {
    list.Add(&c);
    if (caps.empty() || caps.back() != list.Capacity()) caps.push_back(list.Capacity());
  }
  EXPECT_EQ(caps, (std::vector<std::int32_t>{4, 8, 16, 32, 48}));
  list.Insert(list.Count(), &c);
  EXPECT_THROW(list.Insert(list.Count() + 1, &c), EListError);
  EXPECT_THROW(list.Insert(-1, &c), EListError);
  EXPECT_THROW(list.SetCapacity(list.Count() - 1), EListError);
  EXPECT_THROW(list.SetCount(-1), EListError);

  Counted d;
  list.Insert(0, &d);
  EXPECT_EQ(list.IndexOf(&d), 0);
  EXPECT_EQ(list.IndexOf(&c), 1);
  list.Delete(0);
  EXPECT_EQ(list.IndexOf(&d), -1);

  list.SetCount(TObjectList::MaxListSize);
  EXPECT_EQ(list[TObjectList::MaxListSize - 1], nullptr);
  EXPECT_THROW(list.Add(&c), EListError);  // the stream's count is 16-bit
}

TEST(ObjectList, ClearKeepsItemsFreeAllFreesOwnedOnesOnce) {
  int alive = 0;
  auto* dropped = new Counted(&alive);
  {
    TObjectList list;
    Listened l(list);
    auto* a = new Counted(&alive);
    list.Add(a);
    list.Add(a);  // twice: freed once
    list.Add(dropped);
    EXPECT_EQ(l.changes, 3);
    list.Put(2, a);  // neither notifies nor frees the replaced item
    EXPECT_EQ(l.changes, 3);
    EXPECT_EQ(alive, 2);

    list.Clear();  // references only
    EXPECT_EQ(list.Capacity(), 0);
    EXPECT_EQ(l.changes, 4);
    EXPECT_EQ(alive, 2);
    list.Add(a);

    list.BeginUpdate();
    list.BeginUpdate();
    list.Add(new Counted(&alive));
    list.EndUpdate();
    EXPECT_EQ(l.changes, 5);
    list.EndUpdate();
    EXPECT_EQ(l.changes, 6);
    EXPECT_EQ(alive, 3);
    list.FreeAll();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(alive, 1);
    list.Add(new Counted(&alive));  // freed by the owning list's destruction
    list.SetOwnsObjects(false);
    list.Add(dropped);
    list.SetOwnsObjects(true);
    list.Delete(1);  // removed, not freed
  }
  EXPECT_EQ(alive, 1);
  delete dropped;
  EXPECT_EQ(alive, 0);
}

TEST(ObjectList, GenericStreamRoundTripsRegisteredClassesByCaseInsensitiveName) {
  RegisterObjectClass<Counted>([](TObject* o, TStream& s) { static_cast<Counted*>(o)->value = s.ReadI32(); },
                               [](const TObject* o, TStream& s) { s.WriteI32(static_cast<const Counted*>(o)->value); });
  // A second class under the same name, any letter case, is ignored.
  RegisterObjectClass(TObjectClass{"COUNTED", typeid(Unregistered), [] { return std::make_unique<Unregistered>(); }},
                      nullptr, nullptr);
  EXPECT_EQ(FindObjectClass("counted")->Class.Type, std::type_index(typeid(Counted)));
  ASSERT_NE(FindObjectClass("tmmeqfilter"), nullptr);

  TObjectList src;
  auto* c = new Counted;
  c->value = 77;
  src.Add(c);
  src.Add(new TMMEQFilter(5, 6, 7));
  auto bytes = Written(src);
  EXPECT_EQ(bytes.size(), 4u + 1 + 2 + (1 + 7 + 4) + 25);
  EXPECT_EQ(std::memcmp(bytes.data(), "OBJ\0\x01\x02\x00\x07" "Counted", 15), 0);

  bytes[8] = 'c';  // "counted" finds the same class
  bytes[4] = 0;    // not owning: still freed by the list that created them
  TObjectList dst;
  TMemoryStream s(bytes);
  dst.ReadData(s);
  ASSERT_EQ(dst.Count(), 2);
  EXPECT_TRUE(dst.OwnsObjects());
  EXPECT_EQ(dynamic_cast<Counted*>(dst[0])->value, 77);
  EXPECT_EQ(dynamic_cast<TMMEQFilter*>(dst[1])->Gain(), 7.0f);

  // A band list refuses any class other than bands, before touching its bands.
  TMMEQFilterList bands;
  bands.Add(new TMMEQFilter(1, 2, 3));
  std::vector<std::uint8_t> equ = {'E', 'Q', 'U', 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
  equ.insert(equ.end(), bytes.begin() + 7, bytes.begin() + 7 + 12);
  EXPECT_EQ(ReadError(bands, equ), "Invalid class typecast");
  EXPECT_EQ(bands.Count(), 1);
  EXPECT_THROW(bands.Add(new Counted), EInvalidCast);  // inserted, then refused
  EXPECT_EQ(bands.Count(), 2);
}

TEST(BandList, AssignCopiesBandsWithOneNotificationAndKeepsDescription) {
  FakeEqualizer eq;
  eq.description = "Mine";
  TMMEQFilterList list(&eq);
  LoadDefaultBandList(list);
  eq.description = "Mine";

  TMMEQFilterList src;
  src.Add(new TMMEQFilter(10, 20, -5, false));
  src.SetDescription("Other");
  Listened l(list, &eq);
  list.Assign(&src);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_NE(list.Band(0), src.Band(0));
  EXPECT_EQ(list.Band(0)->Gain(), -5.0f);
  EXPECT_FALSE(list.Band(0)->Enabled());
  EXPECT_EQ(eq.description, "Mine");
  EXPECT_EQ(l.changes, 1);
  EXPECT_EQ(eq.bandChanges, 0);

  list.Assign(&list);  // freeing first would lose the bands: nothing happens
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(l.changes, 1);

  list.Assign(nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(l.changes, 2);

  TObjectList generic;
  EXPECT_THROW(list.Assign(&generic), EConvertError);
}
