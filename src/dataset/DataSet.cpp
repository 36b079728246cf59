#include "dataset/DataSet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "formats/header/DtmMap.h"
#include "formats/header/ErsMap.h"
#include "formats/header/HgtMap.h"
#include "formats/header/NogMap.h"
#include "formats/header/OsdMap.h"
#include "formats/header/VegFile.h"
#include "formats/image/EcwMap.h"
#include "formats/image/JpgMap.h"
#include "formats/image/jp2/Jp2Map.h"
#include "formats/image/RswMap.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "formats/image/BmpMap.h"
#include "formats/image/tiff/TifMap.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

template <typename T>
std::unique_ptr<TDataSetRoot2> Make() {
  return std::make_unique<T>();
}

using TFiles = std::vector<std::string>;
constexpr const char* kAnyGrid =
    "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats";
constexpr const char* kStoredAsFloats =
    "1 band of any cell type but 64-bit floats and unsigned 32-bit integers, stored as 32-bit "
    "floats";

// The one table that knows every format.
const TFormatEntry Formats[] = {
    {.Code = fcErs,
     .Name = "ER Mapper",
     .Key = "ers",
     .Extensions = ".ers",
     .Signatures = {{{"DATA", 4, true}}},
     .Create = Make<TErsMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {RemoveFileExt(n), CompanionFile(n, ".ers")};
     },
     .Reads = kAnyGrid,
     .Writes = kAnyGrid,
     .Dialog = {.SaveEntry = 4, .Description = "ER Mapper files", .Patterns = "*.ers"}},
    {.Code = fcOsd,
     .Name = "OSD",
     .Key = "osd",
     .Extensions = ".osd",
     .Signatures = {{{"ORTH", 4, true}}},
     .Create = Make<TOsdMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {RemoveFileExt(n), CompanionFile(n, ".osd")};
     },
     .Reads = kAnyGrid,
     .Writes = kAnyGrid,
     .Dialog = {.SaveEntry = 1, .Description = "OSD file", .Patterns = "*.osd"}},
    {.Code = fcTiff,
     .Name = "TIFF",
     .Key = "tiff",
     .Extensions = ".tif .tiff",
     .Signatures = {{{"II", 2, true}, {"MM", 2, true}}},
     .Create = Make<TTifMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {n, ChangeFileExt(n, ".tfw"), ChangeFileExt(n, ".tifw")};
     },
     .ReadsControlPointFile = true,
     .Reads = "any TIFF libtiff decodes: any bands of 1- to 32-bit integer or 32/64-bit float "
              "samples, palettes as indices with their colour table, one-bit images with their two "
              "colours, tie points as control points",
     .Writes = "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats, a "
               "palette's colour table; uncompressed, or Deflate, LZW, ZSTD, LZMA, PackBits, JPEG "
               "or WebP, in strips or tiles; the input's colours (photometric interpretation)",
     .HoldsAffine = true,
     .Palette = TPaletteUse::Table,
     .CheckCreationOptions = TTifMap2::CheckCreationOptions,
     .Dialog = {.SaveEntry = 2, .Description = "Tiff file", .Patterns = "*.tif"}},
    {.Code = fcBmp,
     .Name = "BMP",
     .Key = "bmp",
     .Extensions = ".bmp",
     .Signatures = {{{"BM", 2, true}}},
     .Create = Make<TBMPMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {n, ChangeFileExt(n, ".bmpw")};
     },
     .ReadsControlPointFile = true,
     .Reads = "1/4/8-bit palettes, RLE, 16/24/32-bit pixels",
     .Writes = "1 band (8-bit grey or palette) or 3 bands (24-bit) of unsigned 8-bit cells",
     .Refusal = TBMPMap2::WriteRefusal,
     .HoldsAffine = true,
     .Palette = TPaletteUse::Table,
     .Dialog = {.SaveEntry = 3, .Description = "BMP file", .Patterns = "*.bmp"}},
    {.Code = fcDtm,
     .Name = "DTM",
     .Key = "dtm",
     .Extensions = ".dtm",
     .Signatures = {{{"\x00\x00\x80\xBF", 4}}},
     .Create = Make<TDtmMap2>,
     .Files = [](const std::string& n) -> TFiles { return {n}; },
     .Reads = "1 band of 32-bit floats",
     .Writes = kStoredAsFloats,
     .Refusal = TDtmMap2::WriteRefusal},
    {.Code = fcNog,
     .Name = "NOG",
     .Key = "nog",
     .Extensions = ".001",
     .ByExtension = TByExtension::Fallback,
     .Create = Make<TNogMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {CompanionFile(n, ".002"), CompanionFile(n, ".001")};
     },
     .Reads = "1 band of signed 16-bit integers",
     .Writes = "1 band of 8-bit or signed 16-bit integers",
     .Refusal = TNogMap2::WriteRefusal},
    {.Code = fcJpeg,
     .Name = "JPEG",
     .Key = "jpg",
     .Extensions = ".jpg .jpeg",
     .Signatures = {{{"\xFF\xD8", 2}}},
     .Create = Make<TJpgMap2>,
     .Files = [](const std::string& n) -> TFiles {
       return {n, ChangeFileExt(n, ".jgw"), ChangeFileExt(n, ".jpgw")};
     },
     .Reads = "8-bit grey, RGB, CMYK or YCCK",
     .Writes = "1 or 3 bands of unsigned 8-bit cells (a palette's colours as 3 bands)",
     .Refusal = TJpgMap2::WriteRefusal,
     .HoldsAffine = true,
     .Palette = TPaletteUse::Colors,
     .Dialog = {.SaveEntry = 5, .Description = "Jpeg files", .Patterns = "*.jpg;*.jpeg"}},
    {.Code = fcVeg,
     .Name = "VEG",
     .Key = "veg",
     .Extensions = ".veg",
     .ByExtension = TByExtension::Fallback,
     .Create = Make<TVegFile>,
     .Files = [](const std::string& n) -> TFiles {
       return {CompanionFile(n, ".veg"), CompanionFile(n, ".dat")};
     },
     .Reads = "1 band of 32-bit floats",
     .Writes = kStoredAsFloats,
     .Refusal = TVegFile::WriteRefusal},
    {.Code = fcEcw,
     .Name = "ECW",
     .Key = "ecw",
     .Extensions = ".ecw",
     .Signatures = {{{"\x65\x02\x01\x02", 4}}},
     .ByExtension = TByExtension::Fallback,
     .Create = Make<TECWMap2>,
     .Files = [](const std::string& n) -> TFiles { return {n}; },
     .Reads = "files of our own codec only",
     .Writes = "1 or 3 bands of unsigned 8-bit cells (a palette's colours as 3 bands), in "
               "Mirava's own layout, which other programs do not read; JPEG 2000 (\".jp2\") is "
               "a compact wavelet file a GIS opens",
     .Refusal = TECWMap2::WriteRefusal,
     .Palette = TPaletteUse::Colors,
     .Dialog = {.SaveEntry = 6, .Description = "ECW files", .Patterns = "*.ecw"}},
    {.Code = fcRsw,
     .Name = "Panorama RSW",
     .Key = "rsw",
     .Extensions = ".rsw",
     .Signatures = {{{"RSW", 3, true}}},
     .Create = Make<TRswMap2>,
     .Files = [](const std::string& n) -> TFiles { return {n}; },
     .ReadsControlPointFile = true,
     .Reads = "8-bit palette or 24-bit colour",
     .Writes = "3 bands of unsigned 8-bit cells (a palette's colours as 3 bands)",
     .Refusal = TRswMap2::WriteRefusal,
     .Palette = TPaletteUse::Colors,
     .Dialog = {.SaveEntry = 7, .Description = "Panorama raster files", .Patterns = "*.rsw"}},
    // Tiles have no signature, and their first height can look like another
    // format's (-40 m is FF D8, JPEG's): their extension comes first.
    {.Code = fcHgt,
     .Name = "HGT",
     .Key = "hgt",
     .Extensions = ".hgt",
     .ByExtension = TByExtension::First,
     .Create = Make<THgtMap2>,
     .Files = [](const std::string& n) -> TFiles { return {CompanionFile(n, ".hgt")}; },
     .Reads = "1201 or 3601 square tiles of signed 16-bit heights",
     .Writes = "1 band of 8-bit or signed 16-bit integers",
     .Refusal = THgtMap2::WriteRefusal},
    {.Code = fcJp2,
     .Name = "JPEG 2000",
     .Key = "jp2",
     .Extensions = ".jp2 .j2k",
     .Signatures = {{{"\x00\x00\x00\x0CjP  ", 8}, {"\xFF\x4F\xFF\x51", 4}}},
     .Create = Make<TJp2Map2>,
     .Files = [](const std::string& n) -> TFiles { return {n, n + ".aux.xml"}; },
     .ReadsControlPointFile = true,
     .Reads = "JP2 files and bare codestreams of 1 to N components of 1 to 16 bits (signed or "
              "not, widened to 8 or 16 bits), any tiling, wavelet and progression; GeoJP2 and "
              "GMLJP2 georeferences",
     .Writes = "any bands of 8/16-bit integers (signed or not), lossless (reversible 5/3) or at "
               "QUALITY percentages, in tiles, at the input's precision; a colour table of up to "
               "1024 colours; GeoJP2 and GMLJP2 georeferences (.j2k: the bare "
               "codestream)",
     .Refusal = TJp2Map2::WriteRefusal,
     .HoldsAffine = true,
     .Palette = TPaletteUse::Table,
     .CheckCreationOptions = TJp2Map2::CheckCreationOptions,
     .Dialog = {.SaveEntry = 8, .Description = "JPEG 2000 files", .Patterns = "*.jp2;*.j2k"}},
};

// Formats told by name, extension or signature that have no class of their
// own: they open through the OSD dataset. The four-letter TIFF-like
// signatures come before TIFF's own.
const TFormatEntry Recognised[] = {
    {.Code = fcGif,
     .Name = "GIF",
     .Key = "gif",
     .Extensions = ".gif",
     .Signatures = {{{"GIF8", 4, true}}}},
    {.Code = fcQuad,
     .Name = "MMMM/IIII",
     .Key = "quad",
     .Extensions = "",
     .Signatures = {{{"MMMM", 4, true}, {"IIII", 4, true}}}},
    {.Code = fcDcr, .Name = "DCR", .Key = "dcr", .Extensions = ".dcr"},
    {.Code = fcBit,
     .Name = "BIT",
     .Key = "bit",
     .Extensions = ".bit",
     .Signatures = {{{"BITR", 4}}}},
    {.Code = fcByt,
     .Name = "BYT",
     .Key = "byt",
     .Extensions = ".byt",
     .Signatures = {{{"BYTR", 4}}}},
};

// Formats that are told by their first bytes only to say what a file is
// that no dataset reads.
struct TForeignFormat {
  const char* Words;
  const char* Bytes;
  size_t Length;
};
constexpr TForeignFormat kForeign[] = {
    {"a PNG file", "\x89PNG\r\n\x1A\n", 8},
    {"a PDF document", "%PDF", 4},
    {"an HDF5 or NetCDF-4 file", "\x89HDF\r\n\x1A\n", 8},
    {"a NetCDF file", "CDF", 3},
    {"a SQLite database (GeoPackage)", "SQLite format 3", 15},
    {"a MrSID file", "msid", 4},
    {"a ZIP archive", "PK\x03\x04", 4},
    {"a gzip archive", "\x1F\x8B", 2},
    {"a 7-Zip archive", "7z\xBC\xAF\x27\x1C", 6},
};

// What a file of no format read here is, in words ("a PNG file");
// empty when its first bytes say nothing.
std::string ForeignFormat(const std::string& fileName) {
  unsigned char b[16] = {};
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  const ssize_t got = ::read(fd, b, sizeof b);
  ::close(fd);
  for (const TForeignFormat& f : kForeign)
    if (got >= static_cast<ssize_t>(f.Length) && std::memcmp(b, f.Bytes, f.Length) == 0)
      return f.Words;
  return {};
}

// Codes without a class of their own open through the OSD dataset.
const TFormatEntry& EntryFor(int code) {
  for (const TFormatEntry& entry : Formats)
    if (entry.Code == code) return entry;
  return Formats[1];
}

// The code of the first format whose entry `matches`, looking at those
// without a class of their own first; fcUnknown when none does.
template <typename F>
int FirstFormat(F&& matches) {
  using TTable = std::span<const TFormatEntry>;
  for (const TTable table : {TTable(Recognised), TTable(Formats)})
    for (const TFormatEntry& entry : table)
      if (matches(entry)) return entry.Code;
  return fcUnknown;
}

}  // namespace

std::span<const TFormatEntry> FormatEntries() { return Formats; }

TError WriteRefusal(int code, const TRasterShape& shape) {
  if (code <= fcUnknown) return {};
  const TFormatEntry& entry = EntryFor(code);
  return entry.Refusal ? entry.Refusal(OutputShape(code, shape)) : TError();
}

bool HoldsAffine(int code) { return code > fcUnknown && EntryFor(code).HoldsAffine; }

TPaletteUse PaletteUse(int code) {
  return code > fcUnknown ? EntryFor(code).Palette : TPaletteUse::Indices;
}

TRasterShape OutputShape(int code, const TRasterShape& input) {
  if (!input.ColorTable || input.Bands != 1 || PaletteUse(code) != TPaletteUse::Colors)
    return input;
  TRasterShape colors = input;
  colors.Bands = 3;
  colors.CellType = ctUnsigned8;
  colors.ColorTable = false;
  return colors;
}

TError CreationOptionsRefusal(int code, const std::vector<std::string>& options) {
  if (options.empty()) return {};
  const TOptionsCheck check = code > fcUnknown ? EntryFor(code).CheckCreationOptions : nullptr;
  if (!check) return TError::Refused(FormatName(code) + " outputs take no creation options (-co)");
  return check(options);
}

std::string FirstExtension(const TFormatEntry& entry) {
  const std::string extensions = entry.Extensions;
  return extensions.substr(0, extensions.find(' '));
}

std::string FormatName(int code) {
  if (code <= fcUnknown) return "unknown";
  for (const TFormatEntry& entry : Recognised)
    if (entry.Code == code) return entry.Name;
  return EntryFor(code).Name;
}

std::vector<std::string> FormatFiles(int code, const std::string& fileName, bool asOutput) {
  if (code <= fcUnknown) return {fileName};
  const TFormatEntry& entry = EntryFor(code);
  std::vector<std::string> files = entry.Files(fileName);
  if (asOutput || entry.ReadsControlPointFile) files.push_back(ChangeFileExt(fileName, ".gcp"));
  return files;
}

int FormatFromExtension(const std::string& fileName) {
  const std::string ext = UpperCase(ExtractFileExt(fileName));
  if (ext.empty()) return fcUnknown;
  return FirstFormat([&](const TFormatEntry& entry) {
    const std::string owned = UpperCase(entry.Extensions);
    for (size_t from = 0; from < owned.size();) {
      const size_t end = std::min(owned.find(' ', from), owned.size());
      if (owned.compare(from, end - from, ext) == 0) return true;
      from = end + 1;
    }
    return false;
  });
}

int OutputFormat(const std::string& fileName) {
  const int code = FormatFromExtension(fileName);
  for (const TFormatEntry& entry : Formats)
    if (entry.Code == code && entry.Create) return code;
  return fcUnknown;
}

int FormatFromSignature(const std::string& fileName, TError* ioError) {
  struct stat st;
  if (fileName.empty() || stat(fileName.c_str(), &st) != 0) return fcNoFile;
  // A FIFO would be waited on and a device read without end; neither maps.
  if (!S_ISREG(st.st_mode)) {
    if (ioError)
      *ioError = TError::Format(fileName +
                                (S_ISDIR(st.st_mode) ? " is a folder" : " is not a regular file"));
    return fcUnknown;
  }
  const int named = FormatFromExtension(fileName);
  if (named > fcUnknown && EntryFor(named).ByExtension == TByExtension::First) return named;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (ioError) *ioError = TError::System(errno, fileName);
    return fcUnknown;
  }
  unsigned char b[8];
  ssize_t got = ::read(fd, b, sizeof b);
  int readError = errno;
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof b)) {
    // A short file is a read past its end.
    if (ioError)
      *ioError = got < 0 ? TError::System(readError, fileName)
                         : TError::Format("Reached the end of the file " + fileName);
    return fcUnknown;
  }
  unsigned char upper[sizeof b];
  for (size_t i = 0; i < sizeof b; ++i)
    upper[i] = (b[i] >= 'a' && b[i] <= 'z') ? b[i] - 'a' + 'A' : b[i];
  const int bySignature = FirstFormat([&](const TFormatEntry& entry) {
    for (const TSignature& sig : entry.Signatures)
      if (sig.Length && std::memcmp(sig.AnyCase ? upper : b, sig.Bytes, sig.Length) == 0)
        return true;
    return false;
  });
  if (bySignature != fcUnknown) return bySignature;
  if (named > fcUnknown && EntryFor(named).ByExtension == TByExtension::Fallback) return named;
  return fcUnknown;
}

TDataSet2::~TDataSet2() { Close(); }

bool PlacesWholeFile(const std::string& inputName, const std::string& outputName,
                     TPlacement placement, const std::vector<std::string>& options,
                     uint64_t memoryLimit, std::string& why) {
  why.clear();
  const int input = FormatFromSignature(inputName);
  const int output = OutputFormat(outputName);
  if (input == fcTiff && output == fcTiff)
    return TTifMap2::CanPlaceFile(inputName, options, placement);
  if (input == fcJp2 && output == fcJp2) return TJp2Map2::CanPlaceFile(options, placement);
  if (input != fcJpeg || output != fcJpeg) return false;
  return TJpgMap2::CanPlaceFile(inputName, placement, memoryLimit, why);
}

bool TDataSet2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                     uint32_t bands, uint8_t mode) {
  return Open(fileName, columns, rows, cellType, bands, mode, TGeoreference(), TGeoExtras());
}

bool TDataSet2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                     uint32_t bands, uint8_t mode, const TGeoreference& planned,
                     const TGeoExtras& extras, TFileMaker& files) {
  if (!MakeDataSet(fileName, mode)) return false;
  if (mode == omCreate) {
    DataSet->PlanGeoreference(planned);
    DataSet->SetExtras(extras);
    DataSet->SetFileMaker(files);
  }
  return Guarded(fileName,
                 [&] { return DataSet->Open(fileName, columns, rows, cellType, bands, mode); });
}

bool TDataSet2::Describe(const std::string& fileName) {
  return MakeDataSet(fileName, omRead) &&
         Guarded(fileName, [&] { return DataSet->OpenRead(fileName); });
}

bool TDataSet2::Guarded(const std::string& fileName, const std::function<bool()>& open) {
  try {
    return open();
  } catch (const std::exception& e) {
    return DataSet->Fail(TErrorCode::Internal, fileName + ": " + e.what());
  }
}

bool TDataSet2::MakeDataSet(const std::string& fileName, uint8_t mode) {
  Err = {};
  if (fileName.empty()) {
    Err = TError::Internal("No file name");
    return false;
  }
  TError ioError;
  Format = mode != omCreate          ? FormatFromSignature(fileName, &ioError)
           : CreateFormat > fcUnknown ? CreateFormat
                                      : OutputFormat(fileName);
  if (Format == fcUnknown) {
    if (ioError.Failed() || mode == omCreate) {
      Err = ioError.Failed() ? ioError : TError::Format("Unknown output format for " + fileName);
      return false;
    }
    const std::string foreign = ForeignFormat(fileName);
    Err = TError::Format("Unknown file format: " + fileName + "\n" +
                         (foreign.empty() ? "Its first bytes are those of no format Mirava reads"
                                          : "It is " + foreign + ", which Mirava does not read") +
                         "; mirava-cli --formats lists the formats it reads");
    return false;
  }
  if (Format == fcNoFile) {
    Err = TError::Format("No file: " + fileName);
    return false;
  }
  // Every format of the table has a factory, and EntryFor gives one of them.
  Mode = mode;
  DataSet = EntryFor(Format).Create();
  DataSet->SetMemoryLimit(MemoryLimit);
  return true;
}

bool TDataSet2::Close() {
  if (!DataSet) return true;
  bool ok = DataSet->Close();
  if (!ok) Err = DataSet->Error();
  DataSet.reset();
  return ok;
}

int32_t TDataSet2::GetBandCount() { return DataSet ? DataSet->GetBandCount() : 0; }
int32_t TDataSet2::GetColumnCount() { return DataSet ? DataSet->GetColumnCount() : 0; }
int32_t TDataSet2::GetRowCount() { return DataSet ? DataSet->GetRowCount() : 0; }
uint8_t TDataSet2::GetCellType() { return DataSet ? DataSet->GetCellType() : 1; }

TGeoreference TDataSet2::GetGeoreference() const {
  return DataSet ? DataSet->GetGeoreference() : TGeoreference{};
}

bool TDataSet2::SetGeoreference(const TGeoreference& georeference) {
  return !DataSet || DataSet->SetGeoreference(georeference);
}

// A dataset answers false for a cell without data as for one it could not
// read; only a failure it recorded is one. The failure is looked at only
// then, since the cell copy reads every cell through here.
static TCellRead CellRead(bool read, const TDataSet2& set) {
  return read ? TCellRead::Value : set.Error().Failed() ? TCellRead::Failed : TCellRead::NoData;
}

TCellRead TDataSet2::ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) {
  return CellRead(DataSet && DataSet->ReadCell(column, row, band, value), *this);
}

bool TDataSet2::WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) {
  return DataSet && DataSet->WriteCell(column, row, band, value);
}

TCellRead TDataSet2::ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) {
  return CellRead(DataSet && DataSet->ReadCellExact(column, row, band, value), *this);
}

bool TDataSet2::WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) {
  return DataSet && DataSet->WriteCellExact(column, row, band, value);
}

TGCPList* TDataSet2::GetControlPoints() { return DataSet ? DataSet->GetControlPoints() : nullptr; }

const TError& TDataSet2::Error() const { return Err.Failed() || !DataSet ? Err : DataSet->Error(); }

}  // namespace mirava
