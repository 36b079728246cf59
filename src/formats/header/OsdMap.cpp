#include "formats/header/OsdMap.h"

#include "formats/header/ErsMap.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

static bool Contains(const std::string& line, const char* key) {
  return line.find(key) != std::string::npos;
}

void TOsdHeader::ParseLine(const std::string& line) {
  if (InControlPoints) {
    if (Contains(line, "}"))
      InControlPoints = false;
    else
      ControlPoints->AddFromLine(line);
  }
  if (!InControlPoints && Contains(line, "CONTROLPOINTS")) InControlPoints = true;

  const std::string value = TrimRightBlanks(ValueAfterEquals(line));
  if (Contains(line, "SPHEROID")) {
    (SpheroidSeen ? WarpSpheroid : Spheroid) = value;
    SpheroidSeen = true;
  }
  if (Contains(line, "DATUM")) {
    (DatumSeen ? WarpDatum : Datum) = value;
    DatumSeen = true;
  }
  if (Contains(line, "PROJECTION")) {
    (ProjectionSeen ? WarpProjection : Projection) = value;
    ProjectionSeen = true;
  }
  if (Contains(line, "COORDINATETYPE")) {
    (CoordinateTypeSeen ? WarpCoordinateType : CoordinateType) =
        ParseCoordinateType(value);
    CoordinateTypeSeen = true;
  }
  if (Contains(line, "BYTEORDER")) MSBFirst = value == "MSBFIRST";
  if (Contains(line, "CELLTYPE")) {
    CellType = ParseCellType(value);
    CellTypeWord = value;
  }
  if (Contains(line, "XDIMENSION")) CellSizeX = ParseReal(value, 1);
  if (Contains(line, "YDIMENSION")) CellSizeY = ParseReal(value, 1);
  if (Contains(line, "NROFBANDS")) Bands = ParseHeaderInt(value);
  // Negative counts are as malformed as non-numbers.
  auto count = [&](const std::string& text) {
    int32_t n = ParseHeaderInt(text);
    if (n < 0) throw EConvertError("'" + text + "' is not a valid count");
    return static_cast<uint32_t>(n);
  };
  if (Contains(line, "NROFLINES")) Rows = count(value);
  if (Contains(line, "NROFCELLSPERLINE")) Columns = count(value);
  if (Contains(line, "REGISTRATIONCELLX")) RegistrationCellX = ParseReal(value, 0);
  if (Contains(line, "REGISTRATIONCELLY")) RegistrationCellY = ParseReal(value, 0);
  if (Contains(line, "EASTINGS")) RegistrationX = ParseReal(value, 0);
  if (Contains(line, "NORTHINGS")) RegistrationY = ParseReal(value, 0);
}

bool TOsdHeader::ReadHeader(const std::string& fileName) {
  HeaderError.clear();
  try {
    TReadLine reader(fileName);
    if (UpperCase(reader.ReadLine().substr(0, 4)) != "ORTH") {
      HeaderStatus = 2;
      HeaderError = "(not an OSD header)";
      return false;
    }
    reader.Reset();
    for (std::string line = reader.ReadLine(); !IsEndMarker(line);
         line = reader.ReadLine())
      ParseLine(UpperCase(line));
  } catch (const EReadLineError& e) {
    HeaderStatus = 2;
    HeaderError = std::string("(") + e.what() + ")";
    return false;
  }
  HeaderStatus = 0;
  return true;
}

std::string TOsdHeader::CellTypeText() const {
  return CellTypeWord.empty() ? THeader::CellTypeText() : CellTypeWord;
}

// Enough digits for the georeference to survive a round trip.
static std::string Real(double value) { return FormatExact(value, 3); }

bool TOsdHeader::WriteHeader(const std::string& fileName) {
  HeaderError.clear();
  TTextFileWriter out(fileName);
  auto coordinateName = [](uint8_t code) {
    return std::string(code < 4 ? CoordinateTypeNames[code] : "");
  };
  out.WriteLine("OrthoSetDataHeader [");
  out.WriteLine("  Version      = 1.0");
  out.WriteLine("  LastUpdated = " + LastUpdatedStamp());
  out.WriteLine("  DataSetType  = OrthoSetData");
  out.WriteLine(std::string("  ByteOrder = ") + (MSBFirst ? "MSBFirst" : "LSBFirst"));
  out.WriteLine("  CoordinateSystem [");
  out.WriteLine("    Datum      = " + QuoteIfBare(Datum));
  out.WriteLine("    Projection = " + QuoteIfBare(Projection));
  if (Contains(Datum, "RAW") && Contains(Projection, "RAW")) CoordinateType = ctRAW;
  if (CoordinateType != ctRAW) {
    out.WriteLine("    Spheroid = " + QuoteIfBare(Spheroid));
    out.WriteLine("    Units      = \"METERS\"");
  }
  out.WriteLine("    CoordinateType  = " + coordinateName(CoordinateType));
  out.WriteLine("  CoordinateSystem ]");
  out.WriteLine("  ImageInfo [");
  out.WriteLine(std::string("    CellType   = ") +
                (CellType < kCellTypeCount ? CellTypeNames[CellType] : ""));
  if (CoordinateType != ctRAW && CellSizeX != 0 && CellSizeY != 0) {
    out.WriteLine("    Xdimension = " + FormatExact(CellSizeX, 15));
    out.WriteLine("    Ydimension = " + FormatExact(CellSizeY, 15));
  }
  out.WriteLine("    NrOfLines  = " + std::to_string(Rows));
  out.WriteLine("    NrOfCellsPerLine = " + std::to_string(Columns));
  if (CoordinateType != ctRAW) {
    out.WriteLine("    RegistrationPoint [");
    out.WriteLine("      Eastings  = " + Real(RegistrationX));
    out.WriteLine("      Northings = " + Real(RegistrationY));
    out.WriteLine("    RegistrationPoint ]");
    out.WriteLine("    RegistrationCellX\t= " + Real(RegistrationCellX));
    out.WriteLine("    RegistrationCellY\t= " + Real(RegistrationCellY));
  }
  out.WriteLine("    NrOfBands = " + std::to_string(Bands));
  if (ControlPoints->Count() > 0) {
    out.WriteLine("    WarpControl [");
    out.WriteLine("      CoordinateSpace [");
    out.WriteLine("        Datum      = " + QuoteIfBare(WarpDatum));
    out.WriteLine("        Projection = " + QuoteIfBare(WarpProjection));
    if (Contains(WarpDatum, "RAW") && Contains(WarpProjection, "RAW"))
      CoordinateType = ctRAW;
    if (CoordinateType != ctRAW) {
      out.WriteLine("        Spheroid = " + QuoteIfBare(WarpSpheroid));
      out.WriteLine("        Units      = \"METERS\"");
    }
    out.WriteLine("        CoordinateType  = " + coordinateName(CoordinateType));
    out.WriteLine("      CoordinateSpace ]");
    out.WriteLine("      ControlPoints\t= {");
    for (int i = 0; i < ControlPoints->Count(); ++i)
      out.WriteLine("\t\t\t" + FormatPointLine(*ControlPoints->Items(i)));
    out.WriteLine("      }");
    out.WriteLine("    WarpControl ]");
  }
  out.WriteLine("  ImageInfo ]");
  out.WriteLine("OrthoSetDataHeader ]");
  if (!out.Close()) {
    HeaderError = out.ErrorText();
    return false;
  }
  return true;
}

TOsdMap2::TOsdMap2() : THeadMap2(std::make_unique<TOsdHeader>()) {}

void TOsdMap2::SetFileName(const std::string& fileName) {
  FileName = RemoveFileExt(fileName);
  Header->HeaderFileName = CompanionFile(fileName, ".osd");
}

}  // namespace mirava
