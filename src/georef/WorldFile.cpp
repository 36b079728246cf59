#include "georef/WorldFile.h"

#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

TWorldFile TWorldFile::FromOrigin(const TAffine& affine) {
  TWorldFile w;
  w.CellSizeX = affine.CellSizeX;
  w.ColumnTermY = affine.ColumnTermY;
  w.RowTermX = affine.RowTermX;
  w.CellSizeY = affine.CellSizeY;
  w.CentreX = affine.X0 + affine.CellSizeX / 2 + affine.RowTermX / 2;
  w.CentreY = affine.Y0 + affine.ColumnTermY / 2 - w.CellSizeY / 2;
  w.Lines = 6;
  return w;
}

bool TWorldFile::Read(const std::string& fileName) {
  TReadLine reader(fileName);
  if (reader.Error().Failed()) return false;
  double* fields[] = {&CellSizeX, &ColumnTermY, &RowTermX, &CellSizeY, &CentreX, &CentreY};
  const double defaults[] = {1, 0, 0, -1, 0, 0};
  Lines = 0;
  for (int i = 0; i < 6; ++i) {
    std::string line = reader.ReadLine();
    if (IsEndMarker(line)) break;
    *fields[i] = ParseReal(line, defaults[i]);
    ++Lines;
  }
  // Line 4 is negative for rows that run south, as GIS software reads it.
  CellSizeY = -CellSizeY;
  return Lines > 0;
}

TError TWorldFile::Write(const std::string& fileName, TFileMaker& files) const {
  TTextFileWriter out(fileName, files);
  // 0.0 - x rather than -x: a turned raster's cell size of 0 is written 0,
  // not -0.
  for (double v : {CellSizeX, ColumnTermY, RowTermX, 0.0 - CellSizeY, CentreX, CentreY})
    out.WriteLine(PadLeft(FormatFixed(v, 14), 18));
  out.Close();
  return out.Error();
}

}  // namespace mirava
