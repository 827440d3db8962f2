// Preset (band-list container stream) reader from memory. Beyond crashes and
// sanitizer reports it checks the reader's promises:
// - a refused stream leaves the list, description and FFT length as they were;
// - an accepted stream gives finite bands with edges at or above 0 Hz;
// - what is read, written and read again writes the same bytes.
// The generic "OBJ" reader gets the same input.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "eq/MMObjLst.h"

using namespace strataeq;

namespace {

class Owner : public TMMEQFilterListOwner {
 public:
  std::string Description() const override { return description; }
  void SetDescription(const std::string& v) override { description = v; }
  std::int32_t FFTLength() const override { return fftLength; }
  void SetFFTLength(std::int32_t v) override { fftLength = v; }
  void SetUpdating(bool v) override { updating = v; }
  void BandChanged(TMMEQFilter*) override {}
  std::string description = "Kept";
  std::int32_t fftLength = 2048;
  bool updating = false;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_preset: %s\n", what);
    std::abort();
  }
}

std::vector<std::uint8_t> Written(const TObjectList& list) {
  TMemoryStream m;
  list.WriteData(m);
  return m.Bytes();
}

void ReadBandList(const std::uint8_t* data, std::size_t size) {
  Owner owner;
  TMMEQFilterList list(&owner);
  list.Add(new TMMEQFilter(10, 20, -3, false));
  list.Add(new TMMEQFilter(20, 30, 4));
  const auto before = Written(list);
  int changes = 0;
  list.OnChange = [&](TObject*) { ++changes; };

  TReadOnlyMemoryStream stream(data, size);
  try {
    list.ReadData(stream);
  } catch (const EMMError&) {
    Check(Written(list) == before, "refused stream changed the list");
    Check(changes == 0, "refused stream notified");
    Check(!owner.updating && list.UpdateCount() == 0, "update bracket left open");
    return;
  }
  Check(changes == 1, "accepted stream did not notify exactly once");
  Check(!owner.updating && list.UpdateCount() == 0, "update bracket left open");
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMMEQFilter* b = list.Band(i);
    Check(std::isfinite(b->F1()) && std::isfinite(b->F2()) && std::isfinite(b->Gain()), "non-finite band");
    Check(b->F1() >= 0 && b->F2() >= 0, "negative band edge");
  }

  const auto once = Written(list);
  // An empty description is written with length 0, which leaves the reader's own
  // description alone: start the second reader from an empty one.
  Owner owner2;
  owner2.description.clear();
  TMMEQFilterList again(&owner2);
  TMemoryStream s(once);
  again.ReadData(s);  // what we wrote must read back
  Check(Written(again) == once, "write/read/write not stable");
}

void ReadObjectList(const std::uint8_t* data, std::size_t size) {
  TObjectList list;
  TReadOnlyMemoryStream stream(data, size);
  try {
    list.ReadData(stream);
  } catch (const EMMError&) {
    Check(list.Count() == 0, "refused OBJ stream changed the list");
    return;
  }
  const auto once = Written(list);
  TObjectList again;
  TMemoryStream s(once);
  again.ReadData(s);
  Check(Written(again) == once, "OBJ write/read/write not stable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReadBandList(data, size);
  ReadObjectList(data, size);
  return 0;
}
