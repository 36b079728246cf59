#include "formats/header/OsdMap.h"

#include "formats/header/ErsMap.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

void TOsdHeader::ParseLine(const std::string& line) {
  TErsHeader::ParseLine(line);
  if (line.find("SPHEROID") != std::string::npos) {
    (SpheroidSeen ? WarpSpheroid : Spheroid) = TrimRightBlanks(ValueAfterEquals(line));
    SpheroidSeen = true;
  }
}

// Enough digits for the georeference to survive a round trip.
static std::string Real(double value) { return FormatExact(value, 3); }

bool TOsdHeader::WriteHeader(const std::string& fileName, TFileMaker& files) {
  HeaderError.clear();
  TTextFileWriter out(fileName, files);
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
  if (IsRaw(Datum, Projection)) CoordinateType = ctRAW;
  if (CoordinateType != ctRAW) {
    out.WriteLine("    Spheroid = " + QuoteIfBare(Spheroid));
    out.WriteLine(std::string("    Units      = ") + (Feet ? "\"FEET\"" : "\"METERS\""));
  }
  out.WriteLine("    CoordinateType  = " + coordinateName(CoordinateType));
  out.WriteLine("  CoordinateSystem ]");
  out.WriteLine("  ImageInfo [");
  out.WriteLine(std::string("    CellType   = ") +
                (CellType < kCellTypeCount ? CellTypeNames[CellType] : ""));
  // Registered whatever the names say: RAW names place a raster as well.
  if (Georeferenced && CellSizeX != 0 && CellSizeY != 0) {
    out.WriteLine("    Xdimension = " + FormatExact(CellSizeX, 15));
    out.WriteLine("    Ydimension = " + FormatExact(CellSizeY, 15));
  }
  out.WriteLine("    NrOfLines  = " + std::to_string(Rows));
  out.WriteLine("    NrOfCellsPerLine = " + std::to_string(Columns));
  if (Georeferenced) {
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
    if (IsRaw(WarpDatum, WarpProjection)) CoordinateType = ctRAW;
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
    HeaderError = out.Error().Text;
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
