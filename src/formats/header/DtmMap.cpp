#include "formats/header/DtmMap.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dataset/BinaryFile.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

static_assert(std::endian::native == std::endian::little,
              "DTM cells are mapped in the file's little-endian order");

static const float kSignature[6] = {-1, -1, 0, 0, -1, -1};

template <typename T>
static T Get(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
static void Put(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

TDTMHeader::TDTMHeader() {
  Bands = 1;
  CellType = ctFloat32;
}

bool TDTMHeader::ReadHeader(const std::string& fileName) {
  HeaderError.clear();
  Georeferenced = true;  // the format has no raster without a place
  TBinaryFile file;
  uint8_t b[kDtmHeaderSize] = {};
  size_t got = 0;
  if (!file.OpenRead(fileName) || !file.Read(b, sizeof b, got)) {
    HeaderError = "(" + file.ErrorText() + ")";
    return false;
  }
  FileSize = file.Size();
  file.Close();
  bool ok = true;
  if (got < sizeof b) {
    HeaderError = "(" + std::to_string(got) + " bytes, shorter than a DTM header)";
    ok = false;
  } else if (std::memcmp(b, kSignature, sizeof kSignature) != 0) {
    HeaderError = "(not a DTM file)";
    ok = false;
  }
  RegistrationX = Get<float>(b + 24);
  RegistrationY = Get<float>(b + 28);
  const int32_t columns = Get<int32_t>(b + 32);
  const int32_t rows = Get<int32_t>(b + 36);
  CellSizeX = Get<float>(b + 40);
  CellSizeY = Get<float>(b + 44);
  CellOffset = Get<int32_t>(b + 48);
  Columns = static_cast<uint32_t>(columns);
  Rows = static_cast<uint32_t>(rows);
  if (!ok) return false;
  // The cells named by the header must lie inside the file.
  const uint64_t cells = static_cast<uint64_t>(Columns) * Rows;
  if (columns <= 0 || rows <= 0 || CellOffset < 0 ||
      (FileSize - kDtmHeaderSize) / 4 < cells + static_cast<uint64_t>(CellOffset)) {
    HeaderError = "(" + std::to_string(columns) + " x " + std::to_string(rows) +
                  " cells from cell " + std::to_string(CellOffset) + " do not fit in the file's " +
                  std::to_string(FileSize) + " bytes)";
    return false;
  }
  return true;
}

TDtmMap2::TDtmMap2() : THeadMap2(std::make_unique<TDTMHeader>()) {}

TDtmMap2::~TDtmMap2() { Close(); }

void TDtmMap2::SetFileName(const std::string& fileName) {
  FileName = fileName;
  Header->HeaderFileName = fileName;
}

TError TDtmMap2::WriteRefusal(const TRasterShape& shape) {
  // A second band has nowhere to go.
  if (shape.Bands != 1)
    return TError::Refused("DTM files hold one band; the input has " + std::to_string(shape.Bands));
  return FloatCellRefusal("DTM", shape.CellType);
}

bool TDtmMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  SetFileName(fileName);
  if (mode == omCreate) {
    if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
    if (columns == 0 || rows == 0 || columns > INT32_MAX || rows > INT32_MAX) {
      return Fail(TErrorCode::Format, "A DTM file cannot hold " + std::to_string(columns) + " x " +
                                          std::to_string(rows) + " cells");
    }
    Header->Setup(rows, columns, 1, 1.0, 1.0, 0, 0, 0, 0, "", "", "", ctFloat32);
    Header->MSBFirst = false;
    const uint64_t size = static_cast<uint64_t>(columns) * rows * 4 + kDtmHeaderSize;
    OpenMode = omCreate;
    if (!Grid.OpenMapping(FileName, omCreate, size, FileMaker())) {
      return FailOpen("Open map write error=");
    }
    return true;
  }
  if (mode != omRead && mode != omReadWrite) return true;
  if (!Header->Read(FileName)) {
    return Fail(TErrorCode::Header,
                "Header " + ShortenPath(FileName, 20) + " reading error " + Header->HeaderError);
  }
  OpenMode = mode;
  if (!Grid.OpenMapping(FileName, mode, 0, FileMaker())) {
    return FailOpen("Open Map Read Error=");
  }
  return true;
}

uint8_t* TDtmMap2::MapCell(uint32_t column, uint32_t row) {
  return Grid.Reach(kDtmHeaderSize + 4 * (static_cast<uint64_t>(column) +
                                          static_cast<uint64_t>(Dtm().CellOffset) +
                                          static_cast<uint64_t>(row) * Header->Columns),
                    4);
}

bool TDtmMap2::ReadCell(uint32_t column, uint32_t row, uint32_t, float& value) {
  value = 0;
  if (column >= Header->Columns || row >= Header->Rows) return false;
  const uint8_t* cell = MapCell(column, row);
  if (!cell) return false;
  value = Get<float>(cell);
  return true;
}

bool TDtmMap2::WriteCell(uint32_t column, uint32_t row, uint32_t, float value) {
  if (OpenMode != omCreate) return false;
  if (column >= Header->Columns || row >= Header->Rows) return false;
  uint8_t* cell = MapCell(column, row);
  if (!cell) return false;
  Put<float>(cell, value);
  return true;
}

bool TDtmMap2::WriteDtmHeader() {
  uint8_t* p = Grid.Reach(0, kDtmHeaderSize);
  if (!p) return false;
  std::memcpy(p, kSignature, sizeof kSignature);
  // The file holds the outer corner of cell (0, 0).
  const TAffine a = GetGeoreference().Affine;
  Put<float>(p + 24, static_cast<float>(a.X0));
  Put<float>(p + 28, static_cast<float>(a.Y0));
  Put<int32_t>(p + 32, GetColumnCount());
  Put<int32_t>(p + 36, GetRowCount());
  Put<float>(p + 40, static_cast<float>(a.CellSizeX == 0 ? 1.0 : a.CellSizeX));
  Put<float>(p + 44, static_cast<float>(a.CellSizeY == 0 ? 1.0 : a.CellSizeY));
  Put<int32_t>(p + 48, 0);
  return true;
}

std::string TDtmMap2::GeoreferenceChange() {
  const TAffine a = GetGeoreference().Affine;
  const double x = a.X0, y = a.Y0, sx = a.CellSizeX, sy = a.CellSizeY;
  const double fx = static_cast<float>(x), fy = static_cast<float>(y);
  const double fsx = static_cast<float>(sx), fsy = static_cast<float>(sy);
  if (fx == x && fy == y && fsx == sx && fsy == sy) return {};
  // How far the far corner strays, in cells: the corner's rounding plus
  // that of every cell size on the way.
  const double straysX = std::fabs(fx - x) + std::fabs(fsx - sx) * GetColumnCount();
  const double straysY = std::fabs(fy - y) + std::fabs(fsy - sy) * GetRowCount();
  const double cells = std::max(straysX / std::fabs(sx), straysY / std::fabs(sy));
  std::string text = "DTM files hold the corner and cell size as 32-bit floats: the corner " +
                     FormatGeneral(x) + ", " + FormatGeneral(y) + " becomes " + FormatGeneral(fx) +
                     ", " + FormatGeneral(fy);
  if (fsx != sx || fsy != sy)
    text += " and the cell size " + FormatGeneral(sx) + " by " + FormatGeneral(sy) + " becomes " +
            FormatGeneral(fsx) + " by " + FormatGeneral(fsy);
  char share[32];
  std::snprintf(share, sizeof share, "%.2g", cells * 100);
  return text + " (the raster moves by up to " + share + "% of a cell)";
}

bool TDtmMap2::Close() {
  if (Closed) return true;
  if (OpenMode == omCreate && Grid.IsOpen() && !WriteDtmHeader()) {
    TError header = Error();
    header.Text = "Header " + FileName + " writing error (" + header.Text + ")";
    Fail(std::move(header));
    Closed = true;
    Grid.CloseMapping();
    return false;
  }
  return THeadMap2::Close();
}

}  // namespace mirava
