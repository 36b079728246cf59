// Opens the input as a raster of one format and reads every cell of it.
// Built once per format, with MIRAVA_FUZZ_NAME the file name the input is
// given and MIRAVA_FUZZ_SECOND, for two-file formats, the other file's name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzTarget.h"
#include "dataset/DataSet.h"
#include "formats/codec/JpegCodec.h"
#include "text/TextUtils.h"

using namespace mirava;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = fuzz::ScratchDir() + "/" + MIRAVA_FUZZ_NAME;
#ifdef MIRAVA_FUZZ_SECOND
  fuzz::SplitInput(data, size, name, fuzz::ScratchDir() + "/" + MIRAVA_FUZZ_SECOND);
#else
  fuzz::WriteFile(name, data, size);
#endif
#ifdef MIRAVA_FUZZ_PIXEL_LIMIT
  // A few bytes of JPEG may describe a gigapixel image, which the reader
  // rightly decodes into memory; such inputs are skipped, not fuzzed.
  jpeg::TJpegInfo info;
  std::string message;
  if (jpeg::ReadParams(name, info, message) == jpeg::jeNone &&
      uint64_t{info.Width} * info.Height * info.Channels > MIRAVA_FUZZ_PIXEL_LIMIT)
    return 0;
#endif
#ifdef MIRAVA_FUZZ_BMP_PIXEL_LIMIT
  // A few bytes of RLE may describe a gigapixel bitmap, which the reader
  // rightly decodes into memory; such inputs are skipped, not fuzzed.
  if (size >= 26 && data[0] == 'B' && data[1] == 'M') {
    auto le32 = [&](size_t at) {
      return static_cast<int32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                  static_cast<uint32_t>(data[at + 3]) << 24);
    };
    if (std::abs(int64_t{le32(18)}) * std::abs(int64_t{le32(22)}) > MIRAVA_FUZZ_BMP_PIXEL_LIMIT)
      return 0;
  }
#endif
  try {
    TDataSet2 set;
    if (!set.Open(name, 0, 0, 1, 1, omRead)) return 0;
    const int64_t columns = set.GetColumnCount(), rows = set.GetRowCount();
    const int64_t bands = set.GetBandCount();
    // Every cell of small rasters; a sample of the larger ones.
    const int64_t step = columns * rows * bands > (1 << 20) ? 97 : 1;
    float v;
    for (int64_t r = 0; r < rows; r += step)
      for (int64_t c = 0; c < columns; c += step)
        for (int64_t b = 0; b < bands; ++b)
          set.ReadCell(static_cast<uint32_t>(c), static_cast<uint32_t>(r),
                       static_cast<uint32_t>(b), v);
    if (TGCPList* points = set.GetControlPoints()) points->Count();
    set.Close();
  } catch (const EConvertError&) {
    // The one error a text header may raise by design.
  }
#ifdef MIRAVA_FUZZ_JPEG_PLACEMENT
  // The coefficient path too, in the placement the input's size picks.
  std::string placed;
  jpeg::PlaceFile(name, fuzz::ScratchDir() + "/placed.jpg",
                  static_cast<jpeg::TBlockPlacement>(size % 6), placed);
#endif
  return 0;
}
