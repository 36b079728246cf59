// Creating a TIFF: the fixed little-endian header with the GeoTIFF tags.
#include <cstring>

#include "formats/image/tiff/GeoTiffKeys.h"
#include "formats/image/tiff/TifMap.h"
#include "formats/image/tiff/TiffTags.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Where the parts of a created file's header lie.
constexpr uint16_t kCreatedEntries = 17;
constexpr uint32_t kIfdStart = 8;
constexpr uint32_t kBitsArray = 218;
constexpr uint32_t kFormatArray = 224;
constexpr uint32_t kXResolutionAt = 232;
constexpr uint32_t kYResolutionAt = 240;
constexpr uint32_t kPixelScaleAt = 248;
constexpr uint32_t kTiePointAt = 272;
constexpr uint32_t kGeoKeysAt = 320;
constexpr uint32_t kGeoKeysRoom = (kTiffHeaderSize - kGeoKeysAt) / 2;

// Little-endian writers over the header image.
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutDouble(uint8_t* p, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

}  // namespace

bool TTifMap2::CreateFile(const std::string& fileName, uint32_t columns,
                          uint32_t rows, uint8_t cellType, uint32_t bands) {
  if (cellType == ctOneBit) {
    ErrorCode = 5;
    ErrorText = "Bit type not supported";
    return false;
  }
  if (!CellTypeConvertible(cellType)) {
    ErrorText = std::string("TIFF files cannot hold cells of type ") +
                (cellType < kCellTypeCount && *CellTypeNames[cellType]
                     ? CellTypeNames[cellType]
                     : "unrecognised");
    return false;
  }
  if (bands != 1 && bands != 3) {
    ErrorText = "Wrong number of bands(must be 1 or 3)";
    return false;
  }
  if (columns == 0 || rows == 0) {
    ErrorText = "TIFF size " + std::to_string(columns) + " x " +
                std::to_string(rows) + " is not valid";
    return false;
  }
  CellType = cellType;
  SampleWidth = CellTypeWidth(cellType);
  const uint64_t pixels = uint64_t{columns} * rows * bands * SampleWidth;
  // Offsets and byte counts of a TIFF are 32-bit.
  if (pixels + kTiffHeaderSize > UINT32_MAX) {
    ErrorText = "TIFF files cannot hold more than 4 GiB: " + fileName +
                " would need " + std::to_string(pixels + kTiffHeaderSize) +
                " bytes";
    return false;
  }
  ImageWidth = columns;
  ImageLength = rows;
  SamplesPerPixel = static_cast<uint16_t>(bands);
  StripLineBytes = LineLength = uint64_t{columns} * bands * SampleWidth;
  if (StripLineBytes > kLongestLine) {
    ErrorText = "Buffer size is less than one line";
    return false;
  }
  PhotoMetricInterpretation = bands == 1 ? 1 : 2;
  BitsPerSample.assign(bands, 8 * SampleWidth);
  SampleFormat.assign(bands, SampleFormatOf(cellType));
  if (!OpenMapping(fileName, omCreate, pixels + kTiffHeaderSize)) {
    ErrorText = ErrorWithCode("Open map write error=", ErrorCode, ErrorText);
    return false;
  }
  RowsPerStrip = rows;
  StripsPerPlane = 1;
  StripTable.assign(1, kTiffHeaderSize);
  GridColumns = columns;
  GridRows = rows;
  GridBands = bands;
  GridCellType = cellType;
  GridWidth = SampleWidth;
  return WriteTiffHeader();
}

bool TTifMap2::WriteTiffHeader() {
  uint8_t h[kTiffHeaderSize] = {};
  h[0] = h[1] = 'I';
  Put16(h + 2, 42);
  Put32(h + 4, kIfdStart);
  Put16(h + kIfdStart, kCreatedEntries);
  uint8_t* entry = h + kIfdStart + 2;
  auto add = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(entry, tag);
    Put16(entry + 2, type);
    Put32(entry + 4, count);
    if (type == ftShort && count == 1)
      Put16(entry + 8, value);
    else
      Put32(entry + 8, value);
    entry += 12;
  };
  const uint32_t bits = 8 * SampleWidth;
  const uint32_t samples = SamplesPerPixel;
  const uint32_t format = SampleFormat.empty() ? uint32_t{sfUnsigned} : SampleFormat[0];
  const TGeoTiffCrs crs = GeoTiffCrsFor(Projection, Datum, GetRegistrationX());
  const std::vector<uint16_t> keys = GeoKeyDirectory(crs);

  add(tgImageWidth, ftLong, 1, ImageWidth);
  add(tgImageLength, ftLong, 1, ImageLength);
  add(tgBitsPerSample, ftShort, samples, samples == 1 ? bits : kBitsArray);
  add(tgCompression, ftShort, 1, 1);
  add(tgPhotoMetricInterpretation, ftShort, 1, PhotoMetricInterpretation);
  add(tgStripOffset, ftLong, 1, kTiffHeaderSize);
  add(tgSamplesPerPixel, ftShort, 1, samples);
  add(tgRowsPerStrip, ftLong, 1, ImageLength);
  add(tgStripByteCounts, ftLong, 1,
      static_cast<uint32_t>(uint64_t{ImageWidth} * ImageLength * SampleWidth * samples));
  add(tgXResolution, ftRational, 1, kXResolutionAt);
  add(tgYResolution, ftRational, 1, kYResolutionAt);
  add(tgPlanarConfiguration, ftShort, 1, 1);
  add(tgResolutionUnit, ftShort, 1, 3);
  add(tgSampleFormat, ftShort, samples, samples == 1 ? format : kFormatArray);
  add(tgModelPixelScale, ftDouble, 3, kPixelScaleAt);
  add(tgModelTiePoint, ftDouble, 6, kTiePointAt);
  add(tgGeoKeyDirectory, ftShort, static_cast<uint32_t>(keys.size()), kGeoKeysAt);
  // The next-IFD link after the entries stays 0.
  for (uint32_t i = 0; i < 3; ++i) {
    Put16(h + kBitsArray + 2 * i, bits);
    Put16(h + kFormatArray + 2 * i, format);
  }
  Put32(h + kXResolutionAt, 1);
  Put32(h + kXResolutionAt + 4, 1);
  Put32(h + kYResolutionAt, 1);
  Put32(h + kYResolutionAt + 4, 1);
  PutDouble(h + kPixelScaleAt, GetCellSizeX());
  PutDouble(h + kPixelScaleAt + 8, GetCellSizeY());
  // Pixel-is-area: the tie point is the outer corner of pixel (0, 0).
  PutDouble(h + kTiePointAt + 24, GetRegistrationX() - crs.EastingPrefix);
  PutDouble(h + kTiePointAt + 32, GetRegistrationY());
  for (size_t i = 0; i < keys.size() && i < kGeoKeysRoom; ++i)
    Put16(h + kGeoKeysAt + 2 * i, keys[i]);

  Position = 0;
  MinBytes = kTiffHeaderSize;
  if (!MapWindow()) return false;
  std::memcpy(DataPointer, h, kTiffHeaderSize);
  return true;
}

}  // namespace mirava
