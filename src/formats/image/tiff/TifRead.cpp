// Reading a TIFF's first IFD and checking its layout against the file.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>

#include "dataset/ByteOrder.h"
#include "formats/image/tiff/GeoTiffKeys.h"
#include "formats/image/tiff/TifMap.h"
#include "formats/image/tiff/TiffTags.h"
#include "georef/WorldFile.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/TextUtils.h"

namespace mirava {

// GeoTIFF parameters beyond this are not a coordinate system but a fault.
constexpr uint64_t kMostGeoParams = 65535;
// Tie points beyond this many are not control points but a fault.
constexpr uint64_t kMostTiePoints = 10000;

uint16_t TTifMap2::Get16(const uint8_t* p) const { return LoadInOrder<uint16_t>(p, MSBFirst); }
uint32_t TTifMap2::Get32(const uint8_t* p) const { return LoadInOrder<uint32_t>(p, MSBFirst); }
uint64_t TTifMap2::Get64(const uint8_t* p) const { return LoadInOrder<uint64_t>(p, MSBFirst); }

uint64_t TTifMap2::GetOffset(const uint8_t* p) const { return BigTiff ? Get64(p) : Get32(p); }

double TTifMap2::GetDouble(const uint8_t* p) const {
  const uint64_t bits = Get64(p);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

uint64_t TTifMap2::ValuePosition(const TIfdEntry& entry, uint64_t bytes) {
  if (bytes <= OffsetBytes()) return entry.FieldPosition;
  uint8_t field[8];
  if (!Mapped.FetchBytes(entry.FieldPosition, OffsetBytes(), field)) return UINT64_MAX;
  return GetOffset(field);
}

template <typename T>
bool TTifMap2::EntryNumbers(const TIfdEntry& entry, uint64_t wanted, std::vector<T>& values) {
  values.clear();
  const uint32_t size = entry.Type == ftByte    ? 1
                        : entry.Type == ftShort ? 2
                        : entry.Type == ftLong  ? 4
                        : entry.Type == ftLong8 ? 8
                                                : 0;
  if (size == 0 || entry.Count > Mapped.GetFileSize()) return false;
  const uint64_t total = entry.Count * size;
  const uint64_t at = ValuePosition(entry, total);
  if (at > Mapped.GetFileSize() || total > Mapped.GetFileSize() - at) return false;
  const uint64_t n = std::min(entry.Count, wanted);
  std::vector<uint8_t> bytes(n * size);
  if (!Mapped.FetchBytes(at, bytes.size(), bytes.data())) return false;
  values.resize(n);
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* p = bytes.data() + i * size;
    values[i] = static_cast<T>(size == 1   ? p[0]
                               : size == 2 ? Get16(p)
                               : size == 4 ? Get32(p)
                                           : Get64(p));
  }
  return true;
}

bool TTifMap2::EntryDoubles(const TIfdEntry& entry, uint32_t wanted, std::vector<double>& values) {
  values.clear();
  if (entry.Type != ftDouble || entry.Count < wanted || entry.Count > Mapped.GetFileSize())
    return false;
  const uint64_t at = ValuePosition(entry, entry.Count * 8);
  if (at > Mapped.GetFileSize() || entry.Count * 8 > Mapped.GetFileSize() - at) return false;
  std::vector<uint8_t> bytes(uint64_t{wanted} * 8);
  if (!Mapped.FetchBytes(at, bytes.size(), bytes.data())) return false;
  for (uint32_t i = 0; i < wanted; ++i) values.push_back(GetDouble(bytes.data() + 8 * i));
  return true;
}

std::string TTifMap2::EntryText(const TIfdEntry& entry, uint64_t most) {
  if (entry.Type != ftAscii || entry.Count == 0 || entry.Count > most) return "";
  const uint64_t at = ValuePosition(entry, entry.Count);
  std::string text(entry.Count, '\0');
  if (at > Mapped.GetFileSize() || entry.Count > Mapped.GetFileSize() - at ||
      !Mapped.FetchBytes(at, entry.Count, reinterpret_cast<uint8_t*>(text.data())))
    return "";
  return text.substr(0, text.find_last_not_of('\0') + 1);
}

std::optional<double> TTifMap2::EntryNumberText(const TIfdEntry& entry) {
  // GDAL writes the number as text, NUL-terminated; a short one fits its field.
  const std::string text = EntryText(entry, 64);
  const char* first = text.c_str();
  while (*first == ' ') ++first;
  if (*first == '+') ++first;
  double value = 0;
  if (text.empty() || std::from_chars(first, text.c_str() + text.size(), value).ec != std::errc())
    return std::nullopt;
  return value;
}

const TTifMap2::TIfdEntry* TTifMap2::FindEntry(const std::vector<TIfdEntry>& entries,
                                               uint16_t tag) const {
  for (const TIfdEntry& e : entries)
    if (e.Tag == tag) return &e;
  return nullptr;
}

bool TTifMap2::ReadIfdEntries(std::vector<TIfdEntry>& entries) {
  // Classic TIFF: a 16-bit entry count and 12-byte entries with 4-byte
  // values; BigTIFF: 64-bit counts and 20-byte entries with 8-byte values.
  const uint64_t countBytes = BigTiff ? 8 : 2;
  const uint64_t entryBytes = BigTiff ? 20 : 12;
  uint8_t head[8];
  if (IfdPosition < 8 || !Mapped.FetchBytes(IfdPosition, countBytes, head)) {
    TiffError = "IFD at " + std::to_string(IfdPosition) + " lies outside the file";
    return false;
  }
  IfdEntryCount = BigTiff ? Get64(head) : Get16(head);
  if (IfdEntryCount > 65535 || IfdEntryCount * entryBytes > Mapped.GetFileSize()) {
    TiffError =
        "IFD of " + std::to_string(IfdEntryCount) + " entries runs past the end of the file";
    return false;
  }
  std::vector<uint8_t> raw(entryBytes * IfdEntryCount);
  if (!Mapped.FetchBytes(IfdPosition + countBytes, raw.size(), raw.data())) {
    TiffError =
        "IFD of " + std::to_string(IfdEntryCount) + " entries runs past the end of the file";
    return false;
  }
  for (uint64_t i = 0; i < IfdEntryCount; ++i) {
    const uint8_t* p = raw.data() + entryBytes * i;
    TIfdEntry e;
    e.Tag = Get16(p);
    e.Type = Get16(p + 2);
    e.Count = BigTiff ? Get64(p + 4) : Get32(p + 4);
    e.FieldPosition = IfdPosition + countBytes + entryBytes * i + (BigTiff ? 12 : 8);
    if (!FindEntry(entries, e.Tag)) entries.push_back(e);
  }
  return true;
}

bool TTifMap2::ReadLayoutTags(const std::vector<TIfdEntry>& entries) {
  std::vector<uint64_t> v;
  auto number = [&](uint16_t tag, uint32_t fallback, const char* name) -> int64_t {
    const TIfdEntry* e = FindEntry(entries, tag);
    if (!e) return fallback;
    if (!EntryNumbers(*e, 1, v) || v.empty() || v[0] > UINT32_MAX) {
      TiffError = std::string(name) + " entry unreadable";
      return -1;
    }
    return v[0];
  };
  const int64_t width = number(tgImageWidth, 0, "ImageWidth");
  const int64_t length = number(tgImageLength, 0, "ImageLength");
  const int64_t samples = number(tgSamplesPerPixel, 0, "SamplesPerPixel");
  if (width < 0 || length < 0 || samples < 0) return false;
  ImageWidth = static_cast<uint32_t>(width);
  ImageLength = static_cast<uint32_t>(length);

  // The band count is SamplesPerPixel; files without it give one
  // BitsPerSample value per sample.
  const TIfdEntry* bits = FindEntry(entries, tgBitsPerSample);
  uint32_t bands = samples > 0 ? static_cast<uint32_t>(samples)
                   : bits      ? static_cast<uint32_t>(std::clamp<uint64_t>(bits->Count, 1, 65536))
                               : 1;
  if (bands > 65535) {
    TiffError = "BitsPerSample entry of " + std::to_string(bands) + " samples";
    return false;
  }
  SamplesPerPixel = static_cast<uint16_t>(bands);
  if (bits && (!EntryNumbers(*bits, bands, BitsPerSample) || BitsPerSample.empty())) {
    TiffError = "BitsPerSample entry unreadable";
    return false;
  }
  const int64_t compression = number(tgCompression, 1, "Compression");
  const int64_t photometric = number(tgPhotoMetricInterpretation, 1, "PhotoMetricInterpretation");
  const int64_t rowsPerStrip = number(tgRowsPerStrip, 2147483647, "RowsPerStrip");
  const int64_t planar = number(tgPlanarConfiguration, 1, "PlanarConfiguration");
  if (compression < 0 || photometric < 0 || rowsPerStrip < 0 || planar < 0) return false;
  Compression = static_cast<uint16_t>(compression);
  PhotoMetricInterpretation = static_cast<uint16_t>(photometric);
  RowsPerStrip = static_cast<uint32_t>(rowsPerStrip);
  PlanarConfiguration = static_cast<uint16_t>(planar);
  if (const TIfdEntry* e = FindEntry(entries, tgSampleFormat)) {
    if (!EntryNumbers(*e, bands, SampleFormat) || SampleFormat.empty()) {
      TiffError = "SampleFormat entry unreadable";
      return false;
    }
  }
  return true;
}

TColours TTifMap2::StatedColours() {
  // Fewer bits than a byte are read as bytes, whose grey no longer spans
  // black to white.
  if (BitsPerSample.empty() || BitsPerSample[0] < 8) return TColours::Unstated;
  switch (PhotoMetricInterpretation) {
    case pmWhiteIsZero:
      return TColours::WhiteIsZero;
    case pmBlackIsZero:
      return TColours::BlackIsZero;
    case pmRgb:
    case 6:  // YCbCr, which the decoder gives as RGB
      return TColours::Rgb;
    case pmCmyk:
      return TColours::Cmyk;
  }
  return TColours::Unstated;
}

bool TTifMap2::ParseIfd() {
  std::vector<TIfdEntry> entries;
  if (!ReadIfdEntries(entries) || !ReadLayoutTags(entries)) return false;
  const TIfdEntry* offsets = FindEntry(entries, tgStripOffset);
  ReadGeoTiff(entries);
  // Refusals are checked in tag order and the last one reported, so a
  // palette image that is also compressed reports its palette.
  if (Compression > 1) TiffError = "Compressed tiff";
  if (PhotoMetricInterpretation > 2) TiffError = "Not greyScale or RGB";
  if (offsets && offsets->Type != ftShort && offsets->Type != ftLong && offsets->Type != ftLong8)
    TiffError = "StripOffset not of Short or Long type";
  if (FindEntry(entries, tgTileWidth) || FindEntry(entries, tgTileOffsets))
    TiffError = "Tiled tiff";
  // libtiff decodes what the mapped path cannot read in place.
  Decodable = !TiffError.empty();
  if (Decodable) return false;
  if (!offsets) {
    TiffError = "No StripOffset";
    return false;
  }
  return ReadStripTable(*offsets);
}

bool TTifMap2::ReadStripTable(const TIfdEntry& offsets) {
  // The strip table is read once the geometry tells how many strips count.
  if (ImageWidth == 0 || ImageLength == 0) {
    TiffError =
        "Image of " + std::to_string(ImageWidth) + " x " + std::to_string(ImageLength) + " pixels";
    return false;
  }
  if (RowsPerStrip == 0) {
    TiffError = "RowsPerStrip is 0";
    return false;
  }
  StripsPerPlane = (ImageLength - 1) / std::min(RowsPerStrip, ImageLength) + 1;
  const uint64_t needed =
      uint64_t{StripsPerPlane} * (PlanarConfiguration == 2 ? SamplesPerPixel : 1);
  if (offsets.Count < needed) {
    TiffError = "StripOffset holds " + std::to_string(offsets.Count) + " strips, the image needs " +
                std::to_string(needed);
    return false;
  }
  if (!EntryNumbers(offsets, needed, StripTable)) {
    TiffError = "StripOffset entry runs past the end of the file";
    return false;
  }
  return true;
}

void TTifMap2::ReadGeoTiff(const std::vector<TIfdEntry>& entries) {
  std::vector<double> scale, tie, matrix;
  if (const TIfdEntry* e = FindEntry(entries, tgModelPixelScale)) EntryDoubles(*e, 2, scale);
  if (const TIfdEntry* e = FindEntry(entries, tgModelTiePoint))
    EntryDoubles(*e, static_cast<uint32_t>(std::min<uint64_t>(e->Count, 6 * kMostTiePoints)), tie);
  if (const TIfdEntry* e = FindEntry(entries, tgModelTransformation)) EntryDoubles(*e, 8, matrix);
  std::vector<uint32_t> directory;
  const TIfdEntry* e = FindEntry(entries, tgGeoKeyDirectory);
  if (e && e->Type == ftShort) EntryNumbers(*e, e->Count, directory);
  const TGeoKeys keys = ParseGeoKeys(directory);
  TGeoKeySet set;
  set.Directory.assign(directory.begin(), directory.end());
  if (const TIfdEntry* d = FindEntry(entries, tgGeoDoubleParams))
    EntryDoubles(*d, static_cast<uint32_t>(std::min<uint64_t>(d->Count, kMostGeoParams)),
                 set.Doubles);
  if (const TIfdEntry* a = FindEntry(entries, tgGeoAsciiParams))
    set.Ascii = EntryText(*a, kMostGeoParams);
  Georef.Crs = CoordinateSystemOfKeys(keys, std::move(set));

  // The tags inside the file come first, as in every GIS; the world file
  // (".tifw", else ".tfw") serves files without them.
  if (const TIfdEntry* e = FindEntry(entries, tgGdalNoData)) Georef.NoData = EntryNumberText(*e);
  if (const auto placement = PlacementOfTags(scale, tie, matrix, keys.RasterType)) {
    Georef.Placed = true;
    Georef.Affine = {placement->CellSizeX, placement->ColumnTermY, placement->RowTermX,
                     placement->CellSizeY, placement->OriginX,     placement->OriginY};
  } else if (scale.size() < 2 && tie.size() >= 6) {
    // Placed by control points alone, in the keys' coordinate system; a
    // ".gcp" file beside the image is taken before them.
    if (ControlPoints->Count() == 0)
      for (const TGCPoint& point : ControlPointsOfTiePoints(tie, keys.RasterType))
        ControlPoints->Add(&point);
  } else {
    std::string name = FindCompanion(FileName, ".tifw");
    if (name.empty()) name = FindCompanion(FileName, ".tfw");
    TWorldFile world;
    if (name.empty() || !world.Read(name)) {
      if (scale.size() >= 2) {
        Georef.Affine.CellSizeX = scale[0];
        Georef.Affine.CellSizeY = std::fabs(scale[1]);
      }
      return;
    }
    TakeWorldFile(world);
  }
  NamesOfCoordinateSystem(Georef.Crs, Georef.Projection, Georef.Datum, Georef.Spheroid);
}

bool TTifMap2::CheckLayout() {
  if (BitsPerSample.size() < SamplesPerPixel)
    BitsPerSample.resize(SamplesPerPixel, BitsPerSample.back());
  if (SampleFormat.size() < SamplesPerPixel)
    SampleFormat.resize(SamplesPerPixel, SampleFormat.back());
  for (uint32_t i = 1; i < SamplesPerPixel; ++i)
    if (BitsPerSample[i] != BitsPerSample[0] || SampleFormat[i] != SampleFormat[0]) {
      TiffError = "Samples of different sizes or formats";
      Decodable = true;
      return false;
    }
  const uint32_t bits = BitsPerSample[0];
  const uint32_t format = SampleFormat[0];
  CellType = ctUnknown;
  if (bits == 1) CellType = ctOneBit;
  if (bits == 8 && format == sfUnsigned) CellType = ctUnsigned8;
  if (bits == 8 && format == sfSigned) CellType = ctSigned8;
  if (bits == 16 && format == sfUnsigned) CellType = ctUnsigned16;
  if (bits == 16 && format == sfSigned) CellType = ctSigned16;
  if (bits == 32 && format == sfUnsigned) CellType = ctUnsigned32;
  if (bits == 32 && format == sfSigned) CellType = ctSigned32;
  if (bits == 32 && format == sfFloat) CellType = ctFloat32;
  if (bits == 64 && format == sfFloat) CellType = ctFloat64;
  if (CellType == ctUnknown || CellType == ctOneBit) {
    const char* kind = format == sfUnsigned ? "unsigned integer"
                       : format == sfSigned ? "signed integer"
                       : format == sfFloat  ? "floating-point"
                                            : "untyped";
    TiffError = std::to_string(bits) + "-bit " + kind + " samples not supported";
    Decodable = true;
    return false;
  }
  SampleWidth = CellTypeWidth(CellType);
  if (RowsPerStrip > ImageLength) RowsPerStrip = ImageLength;
  StripLineBytes =
      uint64_t{ImageWidth} * SampleWidth * (PlanarConfiguration == 2 ? 1 : SamplesPerPixel);
  if (StripLineBytes > kLongestLine) {
    TiffError = "Buffer size is less than one line";
    return false;
  }
  for (size_t k = 0; k < StripTable.size(); ++k) {
    const uint64_t first = uint64_t{k % StripsPerPlane} * RowsPerStrip;
    const uint64_t rows = std::min<uint64_t>(RowsPerStrip, ImageLength - first);
    const uint64_t bytes = rows * StripLineBytes;
    if (StripTable[k] > Mapped.GetFileSize() || bytes > Mapped.GetFileSize() - StripTable[k]) {
      TiffError = "Strip " + std::to_string(k) + " runs past the end of the file";
      return false;
    }
  }
  if (PlanarConfiguration == 2 && SamplesPerPixel > 1 && Mapped.GetFileSize() > kMaxWindowSize) {
    for (uint32_t b = 0; b < SamplesPerPixel; ++b) {
      auto window = std::make_unique<TMappedFile>();
      if (!window->OpenMapping(FileName, OpenMode, 0, FileMaker())) {
        TiffError =
            "Plane " + std::to_string(b) + " not mapped: " + window->Error().NumberedText("");
        return false;
      }
      PlaneWindows.push_back(std::move(window));
    }
  }
  return true;
}

}  // namespace mirava
