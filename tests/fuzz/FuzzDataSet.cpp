// Opens the input as a raster of one format and reads every cell of it. The
// format is the one whose key MIRAVA_FUZZ_FORMAT names (fuzz.sh sets it; the
// keys come from the format table, which `fuzz_formats` lists). The input is
// named with the format's first extension; formats made of two files take it
// split in two (FuzzTarget.h), the second file named as the format expects.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzTarget.h"
#include "dataset/DataSet.h"
#include "formats/codec/JpegCodec.h"
#include "text/TextUtils.h"

using namespace mirava;

namespace {

// A few bytes of JPEG, JPEG 2000 or RLE may describe a gigapixel image, which the
// readers rightly decode into memory; such inputs are skipped, not fuzzed.
constexpr uint64_t kPixelLimit = 16777216;

struct TTarget {
  const TFormatEntry* Entry = nullptr;
  std::string Name;    // the input's file
  std::string Second;  // the second file of a two-file format; else empty
};

const TTarget& Target() {
  static const TTarget target = [] {
    TTarget t;
    const char* key = std::getenv("MIRAVA_FUZZ_FORMAT");
    for (const TFormatEntry& entry : FormatEntries())
      if (key && std::string(key) == entry.Key) t.Entry = &entry;
    if (!t.Entry) {
      std::fprintf(stderr, "MIRAVA_FUZZ_FORMAT names no format (see fuzz_formats)\n");
      std::exit(2);
    }
    // A tile name that places an HGT file; any stem serves the others.
    const std::string extensions = t.Entry->Extensions;
    t.Name = fuzz::ScratchDir() + "/N45E006" + extensions.substr(0, extensions.find(' '));
    for (const std::string& file : t.Entry->Files(t.Name))
      if (file != t.Name && t.Second.empty()) t.Second = file;
    return t;
  }();
  return target;
}

bool TooLarge(const TTarget& target, const uint8_t* data, size_t size) {
  if (target.Entry->Code == fcJpeg) {
    jpeg::TJpegInfo info;
    std::string message;
    return jpeg::ReadParams(target.Name, info, message) == jpeg::jeNone &&
           uint64_t{info.Width} * info.Height * info.Channels > kPixelLimit;
  }
  if (target.Entry->Code == fcJp2) {
    TDataSet2 set;
    return set.Describe(target.Name) &&
           uint64_t(set.GetColumnCount()) * uint64_t(set.GetRowCount()) * set.GetBandCount() >
               kPixelLimit;
  }
  if (target.Entry->Code == fcBmp && size >= 26 && data[0] == 'B' && data[1] == 'M') {
    auto le32 = [&](size_t at) {
      return static_cast<int32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                  static_cast<uint32_t>(data[at + 3]) << 24);
    };
    return std::abs(int64_t{le32(18)}) * std::abs(int64_t{le32(22)}) >
           static_cast<int64_t>(kPixelLimit);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TTarget& target = Target();
  if (target.Second.empty())
    fuzz::WriteFile(target.Name, data, size);
  else
    fuzz::SplitInput(data, size, target.Name, target.Second);
  if (TooLarge(target, data, size)) return 0;
  {
    TDataSet2 set;
    if (!set.Open(target.Name, 0, 0, 1, 1, omRead)) return 0;
    const int64_t columns = set.GetColumnCount(), rows = set.GetRowCount();
    const int64_t bands = set.GetBandCount();
    // Every cell of small rasters; a sample of the larger ones.
    const int64_t step = columns * rows * bands > (1 << 20) ? 97 : 1;
    float v;
    for (int64_t r = 0; r < rows; r += step)
      for (int64_t c = 0; c < columns; c += step)
        for (int64_t b = 0; b < bands; ++b)
          set.ReadCell(static_cast<uint32_t>(c), static_cast<uint32_t>(r), static_cast<uint32_t>(b),
                       v);
    if (TGCPList* points = set.GetControlPoints()) points->Count();
    set.Close();
  }
  if (target.Entry->Code == fcJpeg) {
    // The coefficient path too, in the placement the input's size picks.
    std::string placed;
    jpeg::PlaceFile(target.Name, fuzz::ScratchDir() + "/placed.jpg", FilesInPlace(),
                    *PlacementOfKind(static_cast<int>(size % 6)), placed);
  }
  return 0;
}
