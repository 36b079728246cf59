#include "formats/header/ErsMap.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

static bool Contains(const std::string& line, const char* key) {
  return line.find(key) != std::string::npos;
}

// ER Mapper's "degrees:minutes:seconds", the sign before the degrees; plain
// degrees are taken too.
static double DegreesOfDms(const std::string& text) {
  const std::string t = TrimBlanks(text);
  const bool negative = !t.empty() && t[0] == '-';
  double degrees = 0, scale = 1;
  size_t at = negative ? 1 : 0;
  while (at <= t.size()) {
    const size_t colon = std::min(t.find(':', at), t.size());
    degrees += ParseReal(t.substr(at, colon - at), 0) / scale;
    scale *= 60;
    at = colon + 1;
  }
  return negative ? -degrees : degrees;
}

static std::string DmsOfDegrees(double value) {
  // Seconds to a billionth, which hides the binary fractions of a round
  // trip and still places a cell to well under a millimetre.
  const double billionths = std::round(std::fabs(value) * 3600e9);
  const double degrees = std::floor(billionths / 3600e9);
  const double minutes = std::floor((billionths - degrees * 3600e9) / 60e9);
  const double seconds = (billionths - degrees * 3600e9 - minutes * 60e9) / 1e9;
  return std::string(value < 0 ? "-" : "") + FormatExact(degrees, 0) + ":" +
         FormatExact(minutes, 0) + ":" + FormatExact(seconds, 1);
}

// A number of the header must be one whole: "10abc", "0x10" or nothing
// would otherwise place the raster by a default nobody wrote.
double TErsHeader::HeaderNumber(const char* field, const std::string& value) {
  const double number = ParseHeaderReal(value, 0);
  if (number == 0 && std::isnan(ParseHeaderReal(value, std::nan(""))))
    NoteMalformed(std::string(field) + " = '" + value + "' is not a number");
  return number;
}

void TErsHeader::ParseLine(const std::string& line) {
  if (InControlPoints) {
    if (Contains(line, "}"))
      InControlPoints = false;
    else
      AddControlPointLine(line);
  }
  if (!InControlPoints && Contains(line, "CONTROLPOINTS")) InControlPoints = true;

  const std::string value = TrimRightBlanks(ValueAfterEquals(line));
  if (Contains(line, "PROJECTION")) {
    (ProjectionSeen ? WarpProjection : Projection) = value;
    ProjectionSeen = true;
  }
  if (Contains(line, "DATUM")) {
    (DatumSeen ? WarpDatum : Datum) = value;
    DatumSeen = true;
  }
  if (Contains(line, "COORDINATETYPE")) {
    (CoordinateTypeSeen ? WarpCoordinateType : CoordinateType) = ParseCoordinateType(value);
    CoordinateTypeSeen = true;
  }
  if (Contains(line, "BYTEORDER")) {
    const std::string order = value.size() >= 2 && value.front() == '"' && value.back() == '"'
                                  ? value.substr(1, value.size() - 2)
                                  : value;
    if (order != "MSBFIRST" && order != "LSBFIRST")
      NoteMalformed("ByteOrder = '" + value + "' is neither MSBFirst nor LSBFirst");
    else
      MSBFirst = order == "MSBFIRST";
  }
  if (Contains(line, "CELLTYPE")) {
    CellType = ParseCellType(value);
    CellTypeWord = value;
  }
  if (Contains(line, "XDIMENSION")) CellSizeX = HeaderNumber("Xdimension", value);
  if (Contains(line, "YDIMENSION")) CellSizeY = HeaderNumber("Ydimension", value);
  if (Contains(line, "NROFBANDS")) Bands = HeaderInt(value);
  if (Contains(line, "NROFLINES")) Rows = HeaderCount(value);
  if (Contains(line, "NROFCELLSPERLINE")) Columns = HeaderCount(value);
  if (Contains(line, "REGISTRATIONCELLX"))
    RegistrationCellX = HeaderNumber("RegistrationCellX", value);
  if (Contains(line, "REGISTRATIONCELLY"))
    RegistrationCellY = HeaderNumber("RegistrationCellY", value);
  if (Contains(line, "EASTINGS")) RegistrationX = HeaderNumber("Eastings", value);
  if (Contains(line, "NORTHINGS")) RegistrationY = HeaderNumber("Northings", value);
  if (Contains(line, "EASTINGS") || Contains(line, "NORTHINGS") || Contains(line, "LONGITUDE") ||
      Contains(line, "LATITUDE"))
    Georeferenced = true;
  if (Contains(line, "NULLCELLVALUE")) {
    const double v = ParseReal(value, std::nan(""));
    if (!std::isnan(v) || value == "NAN") NoData = v;
  }
  if (Contains(line, "LONGITUDE")) RegistrationX = DegreesOfDms(value);
  if (Contains(line, "LATITUDE")) RegistrationY = DegreesOfDms(value);
}

void TErsHeader::AddControlPointLine(const std::string& line) {
  ControlPoints->AddFromErsLine(line);
  TTokenSplitter tokens;
  tokens.SetTokenSource(line);
  for (int field = 0; field < 7; ++field) tokens.NextToken();
  if (tokens.NextToken().empty()) PointsWithoutHeight = true;
}

void TErsHeader::HeightsFromPointFile(const std::string& headerName) {
  const std::string name = FindCompanion(headerName, ".gcp");
  TGCPList file;
  if (name.empty() || !file.LoadFromFile(name) || file.Count() != ControlPoints->Count()) return;
  for (int i = 0; i < file.Count(); ++i) {
    const TGCPoint& a = *file.Items(i);
    const TGCPoint& b = *ControlPoints->Items(i);
    if (UpperCase(a.GetName()) != UpperCase(b.GetName()) ||
        std::fabs(a.GetCellX() - b.GetCellX()) > 1e-3 ||
        std::fabs(a.GetCellY() - b.GetCellY()) > 1e-3)
      return;
  }
  for (int i = 0; i < file.Count(); ++i) ControlPoints->Items(i)->SetZ(file.Items(i)->GetZ());
}

bool TErsHeader::ReadHeader(const std::string& fileName) {
  HeaderError.clear();
  TReadLine reader(fileName);
  if (reader.Error().Failed()) {
    HeaderError = "(" + reader.Error().Text + ")";
    return false;
  }
  {
    if (UpperCase(reader.ReadLine().substr(0, 4)) != Signature()) {
      HeaderError = std::string("(not an ") + KindName() + " header)";
      return false;
    }
    reader.Reset();
    for (std::string line = reader.ReadLine(); !IsEndMarker(line); line = reader.ReadLine())
      ParseLine(UpperCase(line));
  }
  if (PointsWithoutHeight) HeightsFromPointFile(fileName);
  return true;
}

std::string TErsHeader::CellTypeText() const {
  return CellTypeWord.empty() ? THeader::CellTypeText() : CellTypeWord;
}

std::string LastUpdatedStamp() {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char rest[64];
  std::snprintf(rest, sizeof rest, " %02d %02d:%02d:%02d \"GMT\" %04d", t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec, t.tm_year + 1900);
  return std::string(days[t.tm_wday]) + " " + months[t.tm_mon] + rest;
}

static std::string CellTypeKeyword(uint8_t cellType) {
  // Readers other than ours know these cells by these names only.
  if (cellType == ctFloat32) return "IEEE4ByteReal";
  if (cellType == ctFloat64) return "IEEE8ByteReal";
  if (cellType == ctUnsigned32) return "Unsigned32BitInteger";
  return cellType < kCellTypeCount ? CellTypeNames[cellType] : "";
}

// Enough digits for the georeference to survive a round trip.
static std::string Real(double value) { return FormatExact(value, 3); }

bool TErsHeader::WriteHeader(const std::string& fileName, TFileMaker& files) {
  HeaderError.clear();
  TTextFileWriter out(fileName, files);
  auto rawRule = [&] {
    if (IsRaw(Datum, Projection)) CoordinateType = ctRAW;
  };
  auto coordinateName = [](uint8_t code) {
    return std::string(code < 4 ? CoordinateTypeNames[code] : "");
  };
  out.WriteLine("DatasetHeader Begin");
  out.WriteLine("  Version   = \"1.0\"");
  out.WriteLine("  LastUpdated = " + LastUpdatedStamp());
  out.WriteLine("  DataSetType = ERStorage");
  out.WriteLine("  DataType = Raster");
  out.WriteLine(std::string("  ByteOrder = ") + (MSBFirst ? "MSBFirst" : "LSBFirst"));
  out.WriteLine("  CoordinateSpace Begin");
  out.WriteLine("    Datum      = " + QuoteIfBare(Datum));
  out.WriteLine("    Projection = " + QuoteIfBare(Projection));
  rawRule();
  out.WriteLine("    CoordinateType  = " + coordinateName(CoordinateType));
  if (CoordinateType != ctRAW)
    out.WriteLine(std::string("    Units   = ") + (Feet ? "\"FEET\"" : "\"METERS\""));
  out.WriteLine("    Rotation = 0:0:0.0");
  out.WriteLine("  CoordinateSpace End");
  out.WriteLine("  RasterInfo Begin");
  out.WriteLine("    CellType = " + CellTypeKeyword(CellType));
  // Only a stated value: 0 would make every zero cell missing to readers.
  if (NoData) out.WriteLine("    NullCellValue = " + FormatExact(*NoData, 0));
  if (CellSizeX != 0 && CellSizeY != 0) {
    out.WriteLine("    CellInfo Begin");
    out.WriteLine("      Xdimension = " + Real(CellSizeX));
    out.WriteLine("      Ydimension = " + Real(CellSizeY));
    out.WriteLine("    CellInfo End");
  }
  out.WriteLine("    NrOfLines = " + std::to_string(Rows));
  out.WriteLine("    NrOfCellsPerLine = " + std::to_string(Columns));
  // Registered whatever the names say: RAW names place a raster as well.
  if (Georeferenced) {
    out.WriteLine("    RegistrationCoord Begin");
    if (CoordinateType == ctLATLONG) {
      out.WriteLine("      Longitude = " + DmsOfDegrees(RegistrationX));
      out.WriteLine("      Latitude = " + DmsOfDegrees(RegistrationY));
    } else {
      out.WriteLine("      Eastings = " + Real(RegistrationX));
      out.WriteLine("      Northings = " + Real(RegistrationY));
    }
    out.WriteLine("    RegistrationCoord End");
    out.WriteLine("    RegistrationCellX = " + Real(RegistrationCellX));
    out.WriteLine("    RegistrationCellY = " + Real(RegistrationCellY));
  }
  out.WriteLine("    NrOfBands = " + std::to_string(Bands));
  static const char* const bandNames[] = {"Red Layer", "Green Layer", "Blue Layer"};
  for (int32_t i = 0; i < Bands; ++i) {
    out.WriteLine("    BandId Begin");
    out.WriteLine(std::string("      Value=\"") + bandNames[i % 3] + "\"");
    out.WriteLine("    BandId End");
  }
  if (ControlPoints->Count() > 0) {
    out.WriteLine("    WarpControl Begin");
    out.WriteLine("      WarpType\t= Polynomial");
    out.WriteLine("      WarpSampling\t= Nearest");
    out.WriteLine("      CoordinateSpace Begin");
    out.WriteLine("        Datum      = " + QuoteIfBare(WarpDatum));
    out.WriteLine("        Projection = " + QuoteIfBare(WarpProjection));
    rawRule();
    out.WriteLine("        CoordinateType  = " + coordinateName(WarpCoordinateType));
    if (CoordinateType != ctRAW) out.WriteLine("        Units      = \"METERS\"");
    out.WriteLine("        Rotation\t= 0:0:0.0");
    out.WriteLine("      CoordinateSpace End");
    out.WriteLine("      ControlPoints\t= {");
    for (int i = 0; i < ControlPoints->Count(); ++i) {
      const TGCPoint& p = *ControlPoints->Items(i);
      std::string line = "\t\t\t" + p.GetName();
      line += p.GetEnabled() ? "\tYes" : "\tNo";
      line += p.GetSecondFlag() ? "\tYes" : "\tNo";
      for (double v : {p.GetCellX(), p.GetCellY(), p.GetX(), p.GetY(), p.GetZ()})
        line += "\t" + PadLeft(Real(v), 10);
      out.WriteLine(line);
    }
    out.WriteLine("      }");
    out.WriteLine("    WarpControl End");
  }
  out.WriteLine("  RasterInfo End");
  out.WriteLine("DatasetHeader End");
  if (!out.Close()) {
    HeaderError = out.Error().Text;
    return false;
  }
  return true;
}

void TErsHeader::StateCoordinateSystem(const TCoordinateSystem& crs) {
  const TErMapperNames names = ErMapperNamesFor(crs, {Projection, Datum, Spheroid, Feet});
  Projection = names.Projection;
  Datum = names.Datum;
  Spheroid = names.Spheroid;
  Feet = names.Feet;
}

TErsMap2::TErsMap2() : THeadMap2(std::make_unique<TErsHeader>()) {}

void TErsMap2::SetFileName(const std::string& fileName) {
  FileName = RemoveFileExt(fileName);
  Header->HeaderFileName = CompanionFile(fileName, ".ers");
}

}  // namespace mirava
