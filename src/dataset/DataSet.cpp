#include "dataset/DataSet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "formats/header/DtmMap.h"
#include "formats/header/ErsMap.h"
#include "formats/header/HgtMap.h"
#include "formats/header/NogMap.h"
#include "formats/header/OsdMap.h"
#include "formats/header/VegFile.h"
#include "formats/image/EcwMap.h"
#include "formats/image/JpgMap.h"
#include "formats/image/RswMap.h"
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

// The one table that knows every format.
const TFormatEntry Formats[] = {
    {fcErs, "ER Mapper", ".ers", Make<TErsMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {RemoveFileExt(n), ChangeFileExt(n, ".ers")};
     },
     false, "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats",
     "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats", nullptr},
    {fcOsd, "OSD", ".osd", Make<TOsdMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {RemoveFileExt(n), CompanionFile(n, ".osd")};
     },
     false, "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats",
     "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats", nullptr},
    {fcTiff, "TIFF", ".tif .tiff", Make<TTifMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {n, ChangeFileExt(n, ".tfw"), ChangeFileExt(n, ".tifw")};
     },
     true, "any TIFF libtiff decodes: any bands of 1- to 32-bit integer or 32/64-bit float samples",
     "any bands of 8/16/32-bit integers (signed or not) or 32/64-bit floats", nullptr, true,
     TPaletteUse::Table},
    {fcBmp, "BMP", ".bmp", Make<TBMPMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {n, ChangeFileExt(n, ".bmpw")};
     },
     true, "1/4/8-bit palettes, RLE, 16/24/32-bit pixels",
     "1 band (8-bit grey or palette) or 3 bands (24-bit) of unsigned 8-bit cells",
     TBMPMap2::WriteRefusal, true, TPaletteUse::Table},
    {fcDtm, "DTM", ".dtm", Make<TDtmMap2>,
     [](const std::string& n) -> std::vector<std::string> { return {n}; }, false,
     "1 band of 32-bit floats", "1 band of any cell type but 64-bit floats and unsigned 32-bit integers, stored as 32-bit floats", TDtmMap2::WriteRefusal},
    {fcNog, "NOG", ".001", Make<TNogMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {CompanionFile(n, ".002"), CompanionFile(n, ".001")};
     },
     false, "1 band of signed 16-bit integers", "1 band of 8-bit or signed 16-bit integers",
     TNogMap2::WriteRefusal},
    {fcJpeg, "JPEG", ".jpg", Make<TJpgMap2>,
     [](const std::string& n) -> std::vector<std::string> {
       return {n, ChangeFileExt(n, ".jgw"), ChangeFileExt(n, ".jpgw")};
     },
     false, "8-bit grey, RGB, CMYK or YCCK", "1 or 3 bands of unsigned 8-bit cells",
     TJpgMap2::WriteRefusal, true, TPaletteUse::Colors},
    {fcVeg, "VEG", ".veg", Make<TVegFile>,
     [](const std::string& n) -> std::vector<std::string> {
       return {CompanionFile(n, ".veg"), CompanionFile(n, ".dat")};
     },
     false, "1 band of 32-bit floats", "1 band of any cell type but 64-bit floats and unsigned 32-bit integers, stored as 32-bit floats", TVegFile::WriteRefusal},
    {fcEcw, "ECW", ".ecw", Make<TECWMap2>,
     [](const std::string& n) -> std::vector<std::string> { return {n}; }, false,
     "files of our own codec only", "1 or 3 bands of unsigned 8-bit cells", TECWMap2::WriteRefusal,
     false, TPaletteUse::Colors},
    {fcRsw, "Panorama RSW", ".rsw", Make<TRswMap2>,
     [](const std::string& n) -> std::vector<std::string> { return {n}; }, true,
     "8-bit palette or 24-bit colour", "3 bands of unsigned 8-bit cells", TRswMap2::WriteRefusal,
     false, TPaletteUse::Colors},
    {fcHgt, "HGT", ".hgt", Make<THgtMap2>,
     [](const std::string& n) -> std::vector<std::string> { return {CompanionFile(n, ".hgt")}; },
     false, "1201 or 3601 square tiles of signed 16-bit heights",
     "1 band of 8-bit or signed 16-bit integers", THgtMap2::WriteRefusal},
};

// Codes without a class of their own open through the OSD dataset.
const TFormatEntry& EntryFor(int code) {
  for (const TFormatEntry& entry : Formats)
    if (entry.Code == code) return entry;
  return Formats[1];
}

bool ExtensionContains(const std::string& ext, const char* key) {
  return ext.find(key) != std::string::npos;
}

}  // namespace

std::span<const TFormatEntry> FormatEntries() { return Formats; }

std::optional<std::string> WriteRefusal(int code, const TRasterShape& shape) {
  if (code <= fcUnknown) return std::nullopt;
  const TFormatEntry& entry = EntryFor(code);
  return entry.Refusal ? entry.Refusal(OutputShape(code, shape)) : std::nullopt;
}

bool HoldsRotation(int code) { return code > fcUnknown && EntryFor(code).HoldsRotation; }

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

std::string FormatName(int code) {
  switch (code) {
    case fcGif: return "GIF";
    case fcDcr: return "DCR";
    case fcBit: return "BIT";
    case fcQuad: return "MMMM/IIII";
    case fcByt: return "BYT";
    case fcNoFile:
    case fcUnknown: return "unknown";
    default: return EntryFor(code).Name;
  }
}

std::vector<std::string> FormatFiles(int code, const std::string& fileName,
                                     bool asOutput) {
  if (code <= fcUnknown) return {fileName};
  const TFormatEntry& entry = EntryFor(code);
  std::vector<std::string> files = entry.Files(fileName);
  if (asOutput || entry.ReadsControlPointFile)
    files.push_back(ChangeFileExt(fileName, ".gcp"));
  return files;
}

int FormatFromExtension(const std::string& fileName) {
  static const struct {
    const char* Key;
    int Code;
  } keys[] = {{"ERS", fcErs}, {"OSD", fcOsd}, {"TIF", fcTiff}, {"GIF", fcGif},
              {"BMP", fcBmp}, {"DTM", fcDtm}, {"001", fcNog},  {"JPG", fcJpeg},
              {"VEG", fcVeg}, {"ECW", fcEcw}, {"DCR", fcDcr},  {"RSW", fcRsw},
              {"BIT", fcBit}, {"BYT", fcByt}, {"HGT", fcHgt}};
  const std::string ext = UpperCase(ExtractFileExt(fileName));
  if (ext.empty()) return fcUnknown;
  for (const auto& key : keys)
    if (ExtensionContains(ext, key.Key)) return key.Code;
  return fcUnknown;
}

int FormatFromSignature(const std::string& fileName, std::string* ioError) {
  if (!FileExists(fileName)) return fcNoFile;
  // A FIFO would be waited on and a device read without end; neither maps.
  if (struct stat st; stat(fileName.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (ioError) *ioError = fileName + " is not a regular file";
    return fcUnknown;
  }
  // HGT tiles have no signature, and their first height can look like
  // another format's (-40 m is FF D8, JPEG's): trust their extension first.
  if (UpperCase(ExtractFileExt(fileName)) == ".HGT") return fcHgt;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (ioError) *ioError = SystemErrorText(errno);
    return fcUnknown;
  }
  unsigned char b[8];
  ssize_t got = ::read(fd, b, sizeof b);
  int readError = errno;
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof b)) {
    // A short file is a read past its end.
    if (ioError)
      *ioError = got < 0 ? SystemErrorText(readError) : "Reached the end of the file " + fileName;
    return fcUnknown;
  }
  unsigned char u[4];
  for (int i = 0; i < 4; ++i)
    u[i] = (b[i] >= 'a' && b[i] <= 'z') ? b[i] - 'a' + 'A' : b[i];
  auto upper = [&](const char* s, size_t n) { return std::memcmp(u, s, n) == 0; };
  auto exact = [&](const char* s, size_t n) { return std::memcmp(b, s, n) == 0; };
  if (upper("ORTH", 4)) return fcOsd;
  if (upper("DATA", 4)) return fcErs;
  if (upper("GIF8", 4)) return fcGif;
  if (upper("MMMM", 4) || upper("IIII", 4)) return fcQuad;
  if (upper("MM", 2) || upper("II", 2)) return fcTiff;
  if (upper("BM", 2)) return fcBmp;
  if (exact("\x00\x00\x80\xBF", 4)) return fcDtm;
  if (exact("\x65\x02\x01\x02", 4)) return fcEcw;
  if (upper("RSW", 3)) return fcRsw;
  if (exact("\xFF\xD8", 2)) return fcJpeg;
  if (exact("BITR", 4)) return fcBit;
  if (exact("BYTR", 4)) return fcByt;
  int code = FormatFromExtension(fileName);
  if (code == fcNog || code == fcVeg || code == fcEcw || code == fcHgt)
    return code;
  return fcUnknown;
}

TDataSet2::~TDataSet2() { Close(); }

bool PlacesWholeFile(const std::string& inputName, const std::string& outputName, int32_t kind,
                     std::string& why) {
  why.clear();
  if (FormatFromSignature(inputName) != fcJpeg || FormatFromExtension(outputName) != fcJpeg)
    return false;
  return TJpgMap2::CanPlaceFile(inputName, kind, why);
}

bool TDataSet2::Open(const std::string& fileName, uint32_t columns,
                     uint32_t rows, uint8_t cellType, uint32_t bands,
                     uint8_t mode, const TGeoExtras& extras) {
  if (!MakeDataSet(fileName, mode)) return false;
  if (mode == omCreate) DataSet->SetExtras(extras);
  return Guarded(fileName, [&] {
    return DataSet->Open(fileName, columns, rows, cellType, bands, mode);
  });
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
  SetErrorText("");
  if (fileName.empty()) {
    SetErrorText("No file name");
    return false;
  }
  std::string ioError;
  Format = mode == omCreate ? FormatFromExtension(fileName) : FormatFromSignature(fileName, &ioError);
  if (Format == fcUnknown) {
    SetErrorText(!ioError.empty()        ? ioError
                 : mode == omCreate ? "Unknown output format for " + fileName
                                    : "Unknown file format: " + fileName);
    return false;
  }
  if (Format == fcNoFile) {
    SetErrorText("No file: " + fileName);
    return false;
  }
  const TFormatEntry& entry = EntryFor(Format);
  if (!entry.Create) {
    SetErrorText(FormatName(Format) + " files are not supported yet");
    return false;
  }
  DataSet = entry.Create();
  return true;
}

bool TDataSet2::Close() {
  if (!DataSet) return true;
  bool ok = DataSet->Close();
  if (!ok) ErrorText = DataSet->ErrorText;
  DataSet.reset();
  return ok;
}

int32_t TDataSet2::GetBandCount() { return DataSet ? DataSet->GetBandCount() : 0; }
int32_t TDataSet2::GetColumnCount() {
  return DataSet ? DataSet->GetColumnCount() : 0;
}
int32_t TDataSet2::GetRowCount() { return DataSet ? DataSet->GetRowCount() : 0; }
uint8_t TDataSet2::GetCellType() { return DataSet ? DataSet->GetCellType() : 1; }

double TDataSet2::GetCellSizeX() {
  double v = DataSet ? DataSet->GetCellSizeX() : 1.0;
  return v == 0 ? 1.0 : v;
}

double TDataSet2::GetCellSizeY() {
  double v = DataSet ? DataSet->GetCellSizeY() : 1.0;
  return v == 0 ? 1.0 : v;
}

double TDataSet2::GetOriginX() { return DataSet ? DataSet->GetOriginX() : 0.0; }
double TDataSet2::GetOriginY() { return DataSet ? DataSet->GetOriginY() : 0.0; }

void TDataSet2::GetSpheroid(std::string& text) {
  if (DataSet) DataSet->GetSpheroid(text);
}
void TDataSet2::GetDatum(std::string& text) {
  if (DataSet) DataSet->GetDatum(text);
}
void TDataSet2::GetProjection(std::string& text) {
  if (DataSet) DataSet->GetProjection(text);
}

bool TDataSet2::SetGeoreference(const std::string& spheroid,
                                const std::string& datum, double cellSizeX,
                                double cellSizeY, double registrationCellX,
                                double registrationCellY, double registrationX,
                                double registrationY,
                                const std::string& projection) {
  return !DataSet || DataSet->SetGeoreference(spheroid, datum, cellSizeX, cellSizeY,
                                              registrationCellX, registrationCellY,
                                              registrationX, registrationY, projection);
}

bool TDataSet2::ReadCell(uint32_t column, uint32_t row, uint32_t band,
                         float& value) {
  return DataSet && DataSet->ReadCell(column, row, band, value);
}

bool TDataSet2::WriteCell(uint32_t column, uint32_t row, uint32_t band,
                          float value) {
  return DataSet && DataSet->WriteCell(column, row, band, value);
}

bool TDataSet2::ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) {
  return DataSet && DataSet->ReadCellExact(column, row, band, value);
}

bool TDataSet2::WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) {
  return DataSet && DataSet->WriteCellExact(column, row, band, value);
}

TGCPList* TDataSet2::GetControlPoints() {
  return DataSet ? DataSet->GetControlPoints() : nullptr;
}

void TDataSet2::GetErrorText(std::string& text) const {
  text = DataSet ? DataSet->ErrorText : ErrorText;
}

std::string TDataSet2::GetErrorText() const {
  std::string text;
  GetErrorText(text);
  return text;
}

void TDataSet2::SetErrorText(const std::string& text) {
  if (DataSet)
    DataSet->ErrorText = text;
  else
    ErrorText = text;
}

}  // namespace mirava
