#include "dataset/HeadMap.h"

#include <cmath>

#include "georef/CoordinateSystem.h"
#include "raster/CellType.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

int32_t THeader::HeaderInt(const std::string& text) {
  const std::optional<int32_t> value = ParseHeaderInt(text);
  if (!value) NoteMalformed("'" + text + "' is not a valid integer value");
  return value.value_or(0);
}

uint32_t THeader::HeaderCount(const std::string& text) {
  const int32_t n = HeaderInt(text);
  // Negative counts are as malformed as non-numbers.
  if (n >= 0) return static_cast<uint32_t>(n);
  NoteMalformed("'" + text + "' is not a valid count");
  return 0;
}

bool THeader::Read(const std::string& fileName) {
  Malformed.clear();
  const bool read = ReadHeader(fileName);
  if (!Malformed.empty()) {
    HeaderError = "(" + Malformed + ")";
    return false;
  }
  if (!read) return false;
  // Such a value would pass silently into every output's georeference.
  const TFieldNames names = FieldNames();
  const struct {
    double Value;
    const char* Name;
    bool CellSize;
  } fields[] = {{CellSizeX, names.CellSizeX, true},
                {CellSizeY, names.CellSizeY, true},
                {RegistrationX, names.RegistrationX, false},
                {RegistrationY, names.RegistrationY, false},
                {RegistrationCellX, names.RegistrationCellX, false},
                {RegistrationCellY, names.RegistrationCellY, false}};
  for (const auto& field : fields) {
    if (!std::isfinite(field.Value)) {
      HeaderError = std::string("(") + field.Name + " is not a finite number)";
      return false;
    }
    if (field.CellSize && field.Value == 0) {
      HeaderError = std::string("(") + field.Name + " is 0)";
      return false;
    }
  }
  return true;
}

void THeader::Setup(uint32_t rows, uint32_t columns, int32_t bands, double cellSizeX,
                    double cellSizeY, double registrationCellX, double registrationCellY,
                    double registrationX, double registrationY, const std::string& spheroid,
                    const std::string& datum, const std::string& projection, uint8_t cellType) {
  Rows = rows;
  Columns = columns;
  Bands = bands;
  CellSizeX = cellSizeX;
  CellSizeY = cellSizeY;
  RegistrationCellX = registrationCellX;
  RegistrationCellY = registrationCellY;
  RegistrationX = registrationX;
  RegistrationY = registrationY;
  Spheroid = spheroid;
  Datum = datum;
  Projection = projection;
  CellType = cellType;
}

bool THeader::SetupAndWrite(uint32_t rows, uint32_t columns, int32_t bands, double cellSizeX,
                            double cellSizeY, double registrationCellX, double registrationCellY,
                            double registrationX, double registrationY, const std::string& spheroid,
                            const std::string& datum, const std::string& projection,
                            uint8_t cellType, TFileMaker& files) {
  Setup(rows, columns, bands, cellSizeX, cellSizeY, registrationCellX, registrationCellY,
        registrationX, registrationY, spheroid, datum, projection, cellType);
  return WriteHeader(HeaderFileName, files);
}

std::string THeader::CellTypeText() const {
  const char* name = CellType < kCellTypeCount ? CellTypeNames[CellType] : "";
  return *name ? name : "(unrecognised)";
}

THeadMap2::THeadMap2(std::unique_ptr<THeader> header) : Header(std::move(header)) {}

THeadMap2::~THeadMap2() { Close(); }

bool THeadMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                     uint32_t bands, uint8_t mode) {
  SetFileName(fileName);
  OpenMode = mode;
  const std::string dataFile = FileName;
  if (mode == omCreate) {
    Header->Setup(rows, columns, static_cast<int32_t>(bands), 1.0, 1.0, 0, 0, 0, 0, "", "", "",
                  cellType);
    Header->MSBFirst = false;
    if (!Grid.OpenRaster(dataFile, columns, rows, Header->CellType, bands, mode, false,
                         FileMaker())) {
      return FailOpen("Open map write error=");
    }
    return true;
  }
  if (mode != omRead && mode != omReadWrite) return true;
  if (!Header->Read(Header->HeaderFileName)) {
    return Fail(TErrorCode::Header, "Header " + ShortenPath(Header->HeaderFileName, 20) +
                                        " reading error " + Header->HeaderError);
  }
  if (!CellTypeConvertible(Header->CellType)) {
    return Fail(TErrorCode::Format, "Cell type " + Header->CellTypeText() + " of " +
                                        Header->HeaderFileName + " is not supported");
  }
  if (Header->Bands <= 0) {
    return Fail(TErrorCode::Format, "Header " + Header->HeaderFileName + " gives no bands");
  }
  if (!Grid.OpenRaster(dataFile, Header->Columns, Header->Rows, Header->CellType,
                       static_cast<uint32_t>(Header->Bands), mode, Header->MSBFirst, FileMaker())) {
    return FailOpen("Open Map Read Error=");
  }
  Georef.Crs = {};
  Georef.Crs.Epsg = EpsgOfErMapperNames(Header->Projection, Header->Datum);
  return true;
}

bool THeadMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  return Open(fileName, 0, 0, 1, 1, omRead);
}

TGeoreference THeadMap2::GetGeoreference() const {
  const THeader& h = *Header;
  TGeoreference georeference;
  georeference.Affine = {h.CellSizeX,
                         Georef.Affine.ColumnTermY,
                         Georef.Affine.RowTermX,
                         h.CellSizeY,
                         h.RegistrationX - h.RegistrationCellX * h.CellSizeX,
                         h.RegistrationY + h.RegistrationCellY * h.CellSizeY};
  georeference.Crs = Georef.Crs;
  georeference.Spheroid = h.Spheroid;
  georeference.Datum = h.Datum;
  georeference.Projection = h.Projection;
  georeference.Placed = h.Georeferenced;
  georeference.Geographic = h.CoordinateType == ctLATLONG;
  georeference.NoData = h.NoData;
  return georeference;
}

bool THeadMap2::SetGeoreference(const TGeoreference& georeference) {
  const TAffine& a = georeference.Affine;
  Header->Georeferenced = true;
  Header->Setup(static_cast<uint32_t>(GetRowCount()), static_cast<uint32_t>(GetColumnCount()),
                GetBandCount(), a.CellSizeX, a.CellSizeY, 0, 0, a.X0, a.Y0, georeference.Spheroid,
                georeference.Datum, georeference.Projection, Header->CellType);
  if (georeference.Geographic) Header->CoordinateType = ctLATLONG;
  Header->StateCoordinateSystem(Georef.Crs);
  return true;
}

void THeadMap2::KeepPlanned(const TGeoreference& planned) {
  // Geographic registrations stay in longitude and latitude, placed or not.
  if (planned.Geographic) Header->CoordinateType = ctLATLONG;
}

bool THeadMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (OpenMode == omCreate && Grid.IsOpen()) {
    if (!Header->WriteHeader(Header->HeaderFileName, FileMaker())) {
      ok = Fail(TErrorCode::IO,
                "Header " + Header->HeaderFileName + " writing error " + Header->HeaderError);
    }
  }
  if (!Grid.CloseMapping()) {
    if (ok) FailIn("Closing " + FileName + ": ");
    ok = false;
  }
  return ok;
}

}  // namespace mirava
