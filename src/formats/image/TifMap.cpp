#include "formats/image/TifMap.h"

#include <dirent.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "georef/WorldFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

std::string FindBesideImage(const std::string& imageName, const std::string& ext) {
  const std::string exact = ChangeFileExt(imageName, ext);
  if (FileExists(exact)) return exact;
  const size_t slash = imageName.rfind('/');
  const std::string prefix =
      slash == std::string::npos ? std::string() : imageName.substr(0, slash + 1);
  const std::string stem = ExtractFileName(RemoveFileExt(imageName));
  std::unique_ptr<DIR, int (*)(DIR*)> dir(
      opendir(prefix.empty() ? "." : prefix.c_str()), closedir);
  if (!dir) return {};
  std::string found;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() != stem.size() + ext.size() ||
        name.compare(0, stem.size(), stem) != 0 ||
        strcasecmp(name.c_str() + stem.size(), ext.c_str()) != 0 ||
        !FileExists(prefix + name))
      continue;
    // The first in name order, so that the choice does not depend on the
    // order the directory lists its entries in.
    if (found.empty() || name < found) found = name;
  }
  return found.empty() ? found : prefix + found;
}

namespace {

// The TIFF field types this program reads or writes.
enum : uint16_t {
  ftByte = 1,
  ftShort = 3,
  ftLong = 4,
  ftRational = 5,
  ftDouble = 12,
};

enum : uint16_t {
  tgImageWidth = 256,
  tgImageLength = 257,
  tgBitsPerSample = 258,
  tgCompression = 259,
  tgPhotoMetricInterpretation = 262,
  tgStripOffset = 273,
  tgSamplesPerPixel = 277,
  tgRowsPerStrip = 278,
  tgStripByteCounts = 279,
  tgXResolution = 282,
  tgYResolution = 283,
  tgPlanarConfiguration = 284,
  tgResolutionUnit = 296,
  tgTileWidth = 322,
  tgTileOffsets = 324,
  tgSampleFormat = 339,
  tgModelPixelScale = 33550,
  tgModelTiePoint = 33922,
  tgModelTransformation = 34264,
  tgGeoKeyDirectory = 34735,
};

// GeoTIFF keys and values.
enum : uint16_t {
  gkModelType = 1024,
  gkRasterType = 1025,
  gkGeographicType = 2048,
  gkGeogAngularUnits = 2054,
  gkProjectedCSType = 3072,
  gkProjLinearUnits = 3076,
  gkVerticalUnits = 4099,
  kRasterPixelIsArea = 1,
  kRasterPixelIsPoint = 2,
  kEpsgWgs84 = 4326,
  kUnitMetre = 9001,
  kUnitDegree = 9102,
};

// SampleFormat values.
enum : uint16_t { sfUnsigned = 1, sfSigned = 2, sfFloat = 3 };

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

// The longest line a mapped window can hold with its start rounded down.
constexpr uint64_t kLongestLine = kMaxWindowSize - kWindowAlignment;

// Eastings of zone-prefixed UTM and Gauss-Kruger coordinates.
constexpr double kZonePrefix = 1000000.0;

// Letters and digits only, upper-cased: "WGS 84", "wgs-84" and "WGS84" match.
std::string DatumKey(const std::string& datum) {
  std::string key;
  for (char c : UpperCase(datum))
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) key += c;
  return key;
}

// A datum that names none or WGS 84, the datum of the 326xx/327xx codes.
bool DatumAllowsWgs84(const std::string& datum) {
  const std::string key = DatumKey(datum);
  return key.empty() || key == "RAW" || key == "UNKNOWN" || key == "WGS84";
}

// One or two digits right after `key` in `text`; 0 when there are none.
int ZoneAfter(const std::string& text, size_t keyEnd) {
  int zone = 0;
  size_t i = keyEnd;
  for (; i < text.size() && i < keyEnd + 2 && text[i] >= '0' && text[i] <= '9'; ++i)
    zone = zone * 10 + (text[i] - '0');
  if (i < text.size() && text[i] >= '0' && text[i] <= '9') return 0;
  return zone;
}

int ZoneOfEasting(double originX) {
  const double zone = std::floor(originX / kZonePrefix);
  return zone >= 0 && zone <= 1000 ? static_cast<int>(zone) : 0;
}

// Pulkovo 1942 Gauss-Kruger zones that have an EPSG code of the 284xx series.
bool GaussZone(int zone) { return zone >= 2 && zone <= 32; }
bool UtmZone(int zone) { return zone >= 1 && zone <= 60; }

}  // namespace

TGeoTiffCrs GeoTiffCrsFor(const std::string& projection,
                          const std::string& datum, double originX) {
  // Header formats keep the quotes their files put around names.
  std::string p;
  for (char c : UpperCase(projection))
    if (c != '"' && c != ' ' && c != '\t') p += c;
  TGeoTiffCrs crs;
  auto projected = [&](int code) {
    crs.ModelType = gmProjected;
    crs.Code = static_cast<uint16_t>(code);
  };
  auto contains = [&](const char* key) { return p.find(key) != std::string::npos; };
  if (size_t at = p.find("NUTM"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 4);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) projected(32600 + zone);
  } else if (size_t at = p.find("SUTM"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 4);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) projected(32700 + zone);
  } else if (size_t at = p.find("TMGKN"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 5);
    if (GaussZone(zone)) projected(28400 + zone);
  } else if (contains("UTM_NORTH") || contains("UTM_SOUTH")) {
    const int zone = ZoneOfEasting(originX);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) {
      projected((contains("UTM_SOUTH") ? 32700 : 32600) + zone);
      crs.EastingPrefix = zone * kZonePrefix;
    }
  } else if (contains("GAUSS_NORTH")) {
    // The 284xx systems keep the zone prefix in their false easting.
    const int zone = ZoneOfEasting(originX);
    if (GaussZone(zone)) projected(28400 + zone);
  } else if (p == "GEODETIC" && DatumKey(datum) == "WGS84") {
    crs.ModelType = gmGeographic;
    crs.Code = kEpsgWgs84;
  }
  return crs;
}

class TPlaneWindow : public TMapByte {
 public:
  uint8_t* Reach(uint64_t position, uint32_t bytes) {
    Position = position;
    MinBytes = bytes;
    return MapWindow() ? DataPointer : nullptr;
  }
};

TTifMap2::TTifMap2() { ControlPoints = std::make_unique<TGCPList>(); }

TTifMap2::~TTifMap2() { Close(); }

void TTifMap2::ResetDescription() {
  MSBFirst = false;
  StripTable.clear();
  PlaneWindows.clear();
  BitsPerSample.assign(1, 1);
  SampleFormat.assign(1, sfUnsigned);
  Compression = 1;
  PhotoMetricInterpretation = 1;
  PlanarConfiguration = 1;
  RowsPerStrip = 2147483647;
  SamplesPerPixel = 1;
  ImageWidth = ImageLength = 0;
  TiffError.clear();
  RegistrationX = RegistrationY = 0;
  RegistrationCellX = RegistrationCellY = 0;
  CellSizeX = CellSizeY = 1;
  ColumnTermY = RowTermX = 0;
  Projection = Datum = Spheroid = "RAW";
  WorldFileError.clear();
}

bool TTifMap2::Open(const std::string& fileName, uint32_t columns,
                    uint32_t rows, uint8_t cellType, uint32_t bands,
                    uint8_t mode) {
  SetFileName(fileName);
  OpenMode = mode;
  Closed = false;
  ErrorText.clear();
  ErrorCode = 0;
  ResetDescription();
  // A fresh list: points of a previous file must not travel with this one.
  ControlPoints = std::make_unique<TGCPList>();
  if (mode == omCreate) return CreateFile(fileName, columns, rows, cellType, bands);
  if (mode != omRead && mode != omReadWrite) {
    ErrorText = "Unknown open mode " + std::to_string(mode);
    return false;
  }
  const std::string gcp = FindBesideImage(fileName, ".gcp");
  if (!gcp.empty()) ControlPoints->LoadFromFile(gcp);
  return OpenExisting(fileName, mode);
}

bool TTifMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    ErrorText = "File not Exists";
    return false;
  }
  if (!Open(fileName, 0, 0, ctUnsigned8, 1, omRead)) return false;
  PlaneWindows.clear();
  return CloseMapping();
}

bool TTifMap2::OpenExisting(const std::string& fileName, uint8_t mode) {
  if (!OpenMapping(fileName, mode, 0)) {
    ErrorText = ErrorWithCode("Open read error ", ErrorCode, ErrorText);
    ErrorCode = 1;
    return false;
  }
  auto refuse = [&](int code, const std::string& text) {
    PlaneWindows.clear();
    CloseMapping();
    ErrorCode = code;
    ErrorText = text;
    return false;
  };
  uint8_t head[8] = {};
  if (!FetchBytes(0, std::min<uint64_t>(8, FileSize), head) ||
      !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
    return refuse(2, "Wrong TIFF order");
  MSBFirst = head[0] == 'M';
  if (FileSize < 8 || Get16(head + 2) != 42) return refuse(3, "Wrong TIFF version");
  IfdPosition = Get32(head + 4);
  if (!ParseIfd() || !CheckLayout()) return refuse(4, "Tiff error " + TiffError);
  if (CellType == ctOneBit) return refuse(5, "Bit type not supported");
  ErrorText.clear();
  ErrorCode = 0;
  return true;
}

uint16_t TTifMap2::Get16(const uint8_t* p) const {
  return MSBFirst ? static_cast<uint16_t>(p[0] << 8 | p[1])
                  : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t TTifMap2::Get32(const uint8_t* p) const {
  return MSBFirst ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 |
                     uint32_t{p[2]} << 8 | p[3])
                  : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 |
                     uint32_t{p[1]} << 8 | p[0]);
}

double TTifMap2::GetDouble(const uint8_t* p) const {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = MSBFirst ? p[7 - i] : p[i];
  double v;
  std::memcpy(&v, b, 8);
  return v;
}

bool TTifMap2::FetchBytes(uint64_t position, uint64_t count, uint8_t* target) {
  while (count > 0) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, kWindowAlignment));
    if (position >= FileSize || chunk > FileSize - position) return false;
    Position = position;
    MinBytes = chunk;
    if (!MapWindow()) return false;
    std::memcpy(target, DataPointer, chunk);
    position += chunk;
    target += chunk;
    count -= chunk;
  }
  return true;
}

bool TTifMap2::EntryNumbers(const TIfdEntry& entry, uint32_t wanted,
                            std::vector<uint32_t>& values) {
  values.clear();
  if (entry.Type != ftByte && entry.Type != ftShort && entry.Type != ftLong)
    return false;
  const uint32_t size = entry.Type == ftByte ? 1 : entry.Type == ftShort ? 2 : 4;
  const uint64_t total = uint64_t{entry.Count} * size;
  uint64_t at = entry.FieldPosition;
  if (total > 4) {
    uint8_t field[4];
    if (!FetchBytes(entry.FieldPosition, 4, field)) return false;
    at = Get32(field);
  }
  if (at > FileSize || total > FileSize - at) return false;
  const uint32_t n = std::min(entry.Count, wanted);
  std::vector<uint8_t> bytes(uint64_t{n} * size);
  if (!FetchBytes(at, bytes.size(), bytes.data())) return false;
  values.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* p = bytes.data() + uint64_t{i} * size;
    values[i] = size == 1 ? p[0] : size == 2 ? Get16(p) : Get32(p);
  }
  return true;
}

bool TTifMap2::EntryDoubles(const TIfdEntry& entry, uint32_t wanted,
                            std::vector<double>& values) {
  values.clear();
  if (entry.Type != ftDouble || entry.Count < wanted) return false;
  uint8_t field[4];
  if (!FetchBytes(entry.FieldPosition, 4, field)) return false;
  const uint64_t at = Get32(field);
  if (at > FileSize || uint64_t{entry.Count} * 8 > FileSize - at) return false;
  std::vector<uint8_t> bytes(uint64_t{wanted} * 8);
  if (!FetchBytes(at, bytes.size(), bytes.data())) return false;
  for (uint32_t i = 0; i < wanted; ++i) values.push_back(GetDouble(bytes.data() + 8 * i));
  return true;
}

const TTifMap2::TIfdEntry* TTifMap2::FindEntry(
    const std::vector<TIfdEntry>& entries, uint16_t tag) const {
  for (const TIfdEntry& e : entries)
    if (e.Tag == tag) return &e;
  return nullptr;
}

bool TTifMap2::ParseIfd() {
  uint8_t countBytes[2];
  if (IfdPosition < 8 || !FetchBytes(IfdPosition, 2, countBytes)) {
    TiffError = "IFD at " + std::to_string(IfdPosition) + " lies outside the file";
    return false;
  }
  IfdEntryCount = Get16(countBytes);
  std::vector<uint8_t> raw(12ull * IfdEntryCount);
  if (!FetchBytes(IfdPosition + 2ull, raw.size(), raw.data())) {
    TiffError = "IFD of " + std::to_string(IfdEntryCount) +
                " entries runs past the end of the file";
    return false;
  }
  std::vector<TIfdEntry> entries;
  for (uint32_t i = 0; i < IfdEntryCount; ++i) {
    const uint8_t* p = raw.data() + 12ull * i;
    TIfdEntry e;
    e.Tag = Get16(p);
    e.Type = Get16(p + 2);
    e.Count = Get32(p + 4);
    e.FieldPosition = IfdPosition + 2ull + 12ull * i + 8;
    if (!FindEntry(entries, e.Tag)) entries.push_back(e);
  }

  // Refusals are checked in tag order and the last one reported, so a
  // palette image that is also compressed reports its palette.
  std::vector<uint32_t> v;
  auto number = [&](uint16_t tag, uint32_t fallback, const char* name) -> int64_t {
    const TIfdEntry* e = FindEntry(entries, tag);
    if (!e) return fallback;
    if (!EntryNumbers(*e, 1, v) || v.empty()) {
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
                               : bits ? std::max<uint32_t>(bits->Count, 1) : 1;
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
  const int64_t photometric =
      number(tgPhotoMetricInterpretation, 1, "PhotoMetricInterpretation");
  const int64_t rowsPerStrip = number(tgRowsPerStrip, 2147483647, "RowsPerStrip");
  const int64_t planar = number(tgPlanarConfiguration, 1, "PlanarConfiguration");
  if (compression < 0 || photometric < 0 || rowsPerStrip < 0 || planar < 0)
    return false;
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

  const TIfdEntry* offsets = FindEntry(entries, tgStripOffset);
  if (Compression > 1) TiffError = "Compressed tiff";
  if (PhotoMetricInterpretation > 2) TiffError = "Not greyScale or RGB";
  if (offsets && offsets->Type != ftShort && offsets->Type != ftLong)
    TiffError = "StripOffset not of Short or Long type";
  if (FindEntry(entries, tgTileWidth) || FindEntry(entries, tgTileOffsets))
    TiffError = "Tiled tiff";
  if (!TiffError.empty()) return false;
  if (!offsets) {
    TiffError = "No StripOffset";
    return false;
  }

  ReadGeoTiff(entries);

  // The strip table is read once the geometry tells how many strips count.
  if (ImageWidth == 0 || ImageLength == 0) {
    TiffError = "Image of " + std::to_string(ImageWidth) + " x " +
                std::to_string(ImageLength) + " pixels";
    return false;
  }
  if (RowsPerStrip == 0) {
    TiffError = "RowsPerStrip is 0";
    return false;
  }
  StripsPerPlane = (ImageLength - 1) / std::min(RowsPerStrip, ImageLength) + 1;
  const uint64_t needed = uint64_t{StripsPerPlane} *
                          (PlanarConfiguration == 2 ? SamplesPerPixel : 1);
  if (offsets->Count < needed) {
    TiffError = "StripOffset holds " + std::to_string(offsets->Count) +
                " strips, the image needs " + std::to_string(needed);
    return false;
  }
  if (!EntryNumbers(*offsets, static_cast<uint32_t>(needed), StripTable)) {
    TiffError = "StripOffset entry runs past the end of the file";
    return false;
  }
  return true;
}

void TTifMap2::ReadGeoTiff(const std::vector<TIfdEntry>& entries) {
  std::vector<double> scale, tie, matrix;
  const TIfdEntry* e = FindEntry(entries, tgModelPixelScale);
  const bool hasScale = e && EntryDoubles(*e, 2, scale);
  e = FindEntry(entries, tgModelTiePoint);
  const bool hasTie = e && EntryDoubles(*e, 6, tie);
  e = FindEntry(entries, tgModelTransformation);
  const bool hasMatrix = e && EntryDoubles(*e, 8, matrix);

  uint16_t modelType = 0, rasterType = kRasterPixelIsArea, geographic = 0,
           projected = 0;
  std::vector<uint32_t> keys;
  e = FindEntry(entries, tgGeoKeyDirectory);
  if (e && e->Type == ftShort && EntryNumbers(*e, e->Count, keys) &&
      keys.size() >= 4) {
    const size_t count = std::min<size_t>(keys[3], (keys.size() - 4) / 4);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t* k = &keys[4 + 4 * i];
      if (k[1] != 0 || k[2] != 1) continue;  // only values held in the key
      const uint16_t value = static_cast<uint16_t>(k[3]);
      switch (k[0]) {
        case gkModelType: modelType = value; break;
        case gkRasterType: rasterType = value; break;
        case gkGeographicType: geographic = value; break;
        case gkProjectedCSType: projected = value; break;
        default: break;
      }
    }
  }

  // The tags inside the file come first, as in every GIS; the world file
  // (".tifw", else ".tfw") serves files without them.
  bool placed = false;
  double sx = 1, sy = 1, originX = 0, originY = 0, rowTerm = 0, columnTerm = 0;
  if (hasScale && hasTie) {
    sx = scale[0];
    sy = scale[1];
    originX = tie[3] - tie[0] * sx;
    originY = tie[4] + tie[1] * sy;
    placed = true;
  } else if (hasMatrix) {
    sx = matrix[0];
    rowTerm = matrix[1];
    originX = matrix[3];
    columnTerm = matrix[4];
    sy = -matrix[5];
    originY = matrix[7];
    placed = true;
  }
  if (placed && rasterType == kRasterPixelIsPoint) {
    // The tie point names the centre of the pixel, not its outer corner.
    originX -= (sx + rowTerm) / 2;
    originY += (sy - columnTerm) / 2;
  }
  if (placed) {
    CellSizeX = sx;
    CellSizeY = std::fabs(sy);
    RowTermX = rowTerm;
    ColumnTermY = columnTerm;
    RegistrationX = originX;
    RegistrationY = originY;
  } else {
    std::string name = FindBesideImage(FileName, ".tifw");
    if (name.empty()) name = FindBesideImage(FileName, ".tfw");
    TWorldFile world;
    if (!name.empty() && world.Read(name)) {
      CellSizeX = world.CellSizeX;
      CellSizeY = world.CellSizeY;
      ColumnTermY = world.ColumnTermY;
      RowTermX = world.RowTermX;
      RegistrationX = world.OriginX();
      RegistrationY = world.OriginY();
      placed = true;
    } else if (hasScale) {
      CellSizeX = scale[0];
      CellSizeY = std::fabs(scale[1]);
    }
  }
  if (!placed) return;
  Projection = Datum = Spheroid = "UNKNOWN";
  if (modelType == gmGeographic && geographic == kEpsgWgs84) {
    Projection = "GEODETIC";
    Datum = Spheroid = "WGS84";
  } else if (modelType == gmProjected &&
             ((projected > 32600 && projected <= 32660) ||
              (projected > 32700 && projected <= 32760))) {
    const int zone = projected % 100;
    Projection = std::string(projected < 32700 ? "NUTM" : "SUTM") +
                 (zone < 10 ? "0" : "") + std::to_string(zone);
    Datum = Spheroid = "WGS84";
  }
}

bool TTifMap2::CheckLayout() {
  if (BitsPerSample.size() < SamplesPerPixel)
    BitsPerSample.resize(SamplesPerPixel, BitsPerSample.back());
  if (SampleFormat.size() < SamplesPerPixel)
    SampleFormat.resize(SamplesPerPixel, SampleFormat.back());
  for (uint32_t i = 1; i < SamplesPerPixel; ++i)
    if (BitsPerSample[i] != BitsPerSample[0] || SampleFormat[i] != SampleFormat[0]) {
      TiffError = "Samples of different sizes or formats";
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
  if (bits == 32 && format == sfSigned) CellType = ctSigned32;
  if (bits == 32 && format == sfFloat) CellType = ctFloat32;
  if (CellType == ctOneBit) return true;
  if (CellType == ctUnknown) {
    const char* kind = format == sfUnsigned ? "unsigned integer"
                       : format == sfSigned ? "signed integer"
                       : format == sfFloat  ? "floating-point"
                                            : "untyped";
    TiffError = std::to_string(bits) + "-bit " + kind + " samples not supported";
    return false;
  }
  WhiteIsZero = PhotoMetricInterpretation == 0;
  if (WhiteIsZero && CellType != ctUnsigned8 && CellType != ctUnsigned16) {
    TiffError = "White-is-zero samples that are not unsigned 8 or 16 bits";
    return false;
  }
  SampleWidth = CellTypeWidth(CellType);
  if (RowsPerStrip > ImageLength) RowsPerStrip = ImageLength;
  StripLineBytes = uint64_t{ImageWidth} * SampleWidth *
                   (PlanarConfiguration == 2 ? 1 : SamplesPerPixel);
  if (StripLineBytes > kLongestLine) {
    TiffError = "Buffer size is less than one line";
    return false;
  }
  for (size_t k = 0; k < StripTable.size(); ++k) {
    const uint64_t first = uint64_t{k % StripsPerPlane} * RowsPerStrip;
    const uint64_t rows = std::min<uint64_t>(RowsPerStrip, ImageLength - first);
    const uint64_t bytes = rows * StripLineBytes;
    if (StripTable[k] > FileSize || bytes > FileSize - StripTable[k]) {
      TiffError = "Strip " + std::to_string(k) + " runs past the end of the file";
      return false;
    }
  }
  if (PlanarConfiguration == 2 && SamplesPerPixel > 1 && FileSize > kMaxWindowSize) {
    for (uint32_t b = 0; b < SamplesPerPixel; ++b) {
      auto window = std::make_unique<TPlaneWindow>();
      if (!window->OpenMapping(FileName, OpenMode, 0)) {
        TiffError = "Plane " + std::to_string(b) + " not mapped: " +
                    ErrorWithCode("", window->ErrorCode, window->ErrorText);
        return false;
      }
      PlaneWindows.push_back(std::move(window));
    }
  }
  LineLength = uint64_t{ImageWidth} * SamplesPerPixel * SampleWidth;
  GridColumns = ImageWidth;
  GridRows = ImageLength;
  GridBands = SamplesPerPixel;
  GridCellType = CellType;
  GridWidth = SampleWidth;
  NativeOrder = !MSBFirst;
  FirstMappedRow = 0;
  EndMappedRow = -1;
  return true;
}

bool TTifMap2::SelectRow(uint32_t row, uint32_t band) {
  if (row >= ImageLength || StripTable.empty()) return false;
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  const uint32_t strip = row / RowsPerStrip;
  const uint32_t line = row % RowsPerStrip;
  const uint64_t index =
      strip + (PlanarConfiguration == 2 ? uint64_t{band} * StripsPerPlane : 0);
  if (index >= StripTable.size()) return false;
  const uint64_t position = StripTable[index] + line * StripLineBytes;
  if (!PlaneWindows.empty()) {
    TPlaneWindow& window = *PlaneWindows[band];
    DataPointer = window.Reach(position, static_cast<uint32_t>(StripLineBytes));
    if (!DataPointer) ErrorText = window.ErrorText;
    return DataPointer != nullptr;
  }
  Position = position;
  MinBytes = static_cast<uint32_t>(StripLineBytes);
  return MapWindow();
}

uint32_t TTifMap2::BlockRows() {
  if (ContiguousRows < 0) {
    bool plain = PlanarConfiguration == 1 && !WhiteIsZero && PlaneWindows.empty() &&
                 !StripTable.empty() && StripLineBytes > 0 && CellTypeConvertible(CellType);
    const uint64_t stripBytes = uint64_t{RowsPerStrip} * StripLineBytes;
    for (size_t i = 1; plain && i < StripTable.size(); ++i)
      plain = StripTable[i] == StripTable[0] + i * stripBytes;
    ContiguousRows = plain;
  }
  if (!ContiguousRows || !WorldFileError.empty()) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(UsableWindow() / StripLineBytes, ImageLength));
}

bool TTifMap2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (BlockRows() == 0 || count == 0 || first >= ImageLength || count > ImageLength - first)
    return false;
  uint8_t* data = BlockRange(StripTable[0] + first * StripLineBytes, count * StripLineBytes);
  if (!data) return false;
  SetLayout(block);
  block.Data = data;
  return true;
}

void TTifMap2::SetLayout(TCellBlock& block) const {
  block.Data = nullptr;
  block.RowStride = static_cast<int64_t>(StripLineBytes);
  block.BandStride = SampleWidth;
  block.ColumnStride = static_cast<int64_t>(SampleWidth) * SamplesPerPixel;
  block.CellType = CellType;
  block.MSBFirst = MSBFirst;
}

bool TTifMap2::RowLayout(TCellBlock& layout) {
  if (OpenMode != omCreate || BlockRows() == 0) return false;
  SetLayout(layout);
  return true;
}

bool TTifMap2::PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) {
  if (BlockRows() == 0 || count == 0 || first >= ImageLength || count > ImageLength - first)
    return false;
  return WriteRows(StripTable[0] + first * StripLineBytes, rows, count, StripLineBytes);
}

uint64_t TTifMap2::SampleOffset(uint32_t column, uint32_t band) const {
  return PlanarConfiguration == 2
             ? uint64_t{column} * SampleWidth
             : (band + uint64_t{column} * SamplesPerPixel) * SampleWidth;
}

bool TTifMap2::ReadCell(uint32_t column, uint32_t row, uint32_t band,
                        float& value) {
  value = 0;
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  if (column >= ImageWidth || row >= ImageLength) return false;
  if (!SelectRow(row, band)) return false;
  value = DecodeCell(DataPointer + SampleOffset(column, band), CellType, MSBFirst);
  if (WhiteIsZero) value = (CellType == ctUnsigned8 ? 255.0f : 65535.0f) - value;
  return true;
}

bool TTifMap2::WriteCell(uint32_t column, uint32_t row, uint32_t band,
                         float value) {
  if (OpenMode == omRead) return false;
  if (!WorldFileError.empty()) {
    ErrorText = WorldFileError;
    return false;
  }
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  if (column >= ImageWidth || row >= ImageLength) return false;
  if (!SelectRow(row, band)) return false;
  EncodeCell(DataPointer + SampleOffset(column, band), CellType, MSBFirst, value);
  return true;
}

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
  const uint16_t format = cellType == ctFloat32 ? sfFloat
                          : cellType == ctSigned8 || cellType == ctSigned16 ||
                                  cellType == ctSigned32
                              ? sfSigned
                              : sfUnsigned;
  SampleFormat.assign(bands, format);
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

namespace {

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
  std::vector<uint16_t> keys;
  auto key = [&](uint16_t id, uint16_t value) {
    keys.insert(keys.end(), {id, 0, 1, value});
  };
  // Without a coordinate system the directory stays empty: a lone raster
  // type key makes readers invent an unnamed local one.
  if (crs.ModelType != gmNone) {
    key(gkModelType, crs.ModelType);
    key(gkRasterType, kRasterPixelIsArea);
  }
  if (crs.ModelType == gmGeographic) {
    key(gkGeographicType, crs.Code);
    key(gkGeogAngularUnits, kUnitDegree);
  } else if (crs.ModelType == gmProjected) {
    key(gkProjectedCSType, crs.Code);
    key(gkProjLinearUnits, kUnitMetre);
    key(gkVerticalUnits, kUnitMetre);
  }
  keys.insert(keys.begin(), {1, 1, 0, static_cast<uint16_t>(keys.size() / 4)});

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

void TTifMap2::SetGeoreference(const std::string& spheroid,
                               const std::string& datum, double cellSizeX,
                               double cellSizeY, double registrationCellX,
                               double registrationCellY, double registrationX,
                               double registrationY,
                               const std::string& projection) {
  CellSizeX = cellSizeX;
  CellSizeY = cellSizeY;
  ColumnTermY = RowTermX = 0;
  RegistrationX = registrationX - registrationCellX * cellSizeX;
  RegistrationY = registrationY + registrationCellY * cellSizeY;
  Projection = projection;
  Datum = datum;
  Spheroid = spheroid;
  if (OpenMode != omCreate) return;
  const TGeoTiffCrs crs = GeoTiffCrsFor(Projection, Datum, GetRegistrationX());
  const TWorldFile world = TWorldFile::FromOrigin(
      GetCellSizeX(), 0, 0, GetCellSizeY(), GetRegistrationX() - crs.EastingPrefix,
      GetRegistrationY());
  const std::string worldName = ChangeFileExt(FileName, ".tfw");
  std::string error;
  if (!world.Write(worldName, error))
    WorldFileError = "World file " + worldName + " not written: " + error;
  if (!WriteTiffHeader() && WorldFileError.empty())
    WorldFileError = "TIFF header not written: " + ErrorText;
}

void TTifMap2::PixelToWorld(double column, double row, double& x, double& y) {
  Affine().PixelToWorld(column, row, x, y);
}

void TTifMap2::WorldToPixel(double x, double y, double& column, double& row) {
  Affine().WorldToPixel(x, y, column, row);
}

bool TTifMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (OpenMode == omCreate && !WorldFileError.empty()) {
    ErrorText = WorldFileError;
    ok = false;
  }
  PlaneWindows.clear();
  if (!CloseMapping()) {
    if (ok) ErrorText = "Closing " + FileName + ": " + ErrorText;
    ok = false;
  }
  return ok;
}

}  // namespace mirava
