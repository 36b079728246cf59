#include "formats/header/NogMap.h"

#include <cstring>

#include "dataset/BinaryFile.h"
#include "dataset/OutputChecks.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Offset and room (bytes up to the next field) of each text field.
struct TNogField {
  size_t Offset;
  size_t Room;
};
constexpr TNogField kCellSize{187, 102};
constexpr TNogField kTop{289, 51};
constexpr TNogField kLeft{340, 272};
constexpr TNogField kRows{612, 17};
constexpr TNogField kColumns{629, 1071};

}  // namespace

TNogHeader::TNogHeader() {
  CellType = ctSigned16;
  Bands = 1;
}

bool TNogHeader::ReadHeader(const std::string& fileName) {
  HeaderError.clear();
  Georeferenced = true;  // the format has no raster without a place
  if (!FileExists(fileName)) {
    HeaderError = "(no such file)";
    return false;
  }
  size_t got = 0;
  TBinaryFile file;
  if (!file.OpenRead(fileName) || !file.Read(HeaderBlock.data(), HeaderBlock.size(), got)) {
    HeaderError = "(" + file.ErrorText() + ")";
    return false;
  }
  file.Close();
  if (got < HeaderBlock.size()) {
    HeaderError = "(" + std::to_string(got) + " bytes; a NOG header has " +
                  std::to_string(kNogHeaderSize) + ")";
    return false;
  }
  std::string texts[5];
  const TNogField fields[5] = {kCellSize, kTop, kLeft, kRows, kColumns};
  for (int i = 0; i < 5; ++i) {
    const char* start = reinterpret_cast<const char*>(HeaderBlock.data()) + fields[i].Offset;
    const void* end = std::memchr(start, 0, fields[i].Room);
    if (!end) {
      HeaderError = "(the text at offset " + std::to_string(fields[i].Offset) +
                    " has no end within its field)";
      return false;
    }
    texts[i].assign(start, static_cast<const char*>(end));
  }
  Rows = HeaderCount(texts[3]);
  Columns = HeaderCount(texts[4]);
  RegistrationX = ParseHeaderReal(texts[2], 0);
  RegistrationY = ParseHeaderReal(texts[1], 0);
  CellSizeX = ParseHeaderReal(texts[0], 0);
  CellSizeY = CellSizeX;
  return true;
}

bool TNogHeader::WriteHeader(const std::string& fileName, TFileMaker& files) {
  HeaderError.clear();
  if (fileName.empty()) return false;
  // The file holds the outer corner of cell (0, 0).
  const double left = RegistrationX - RegistrationCellX * CellSizeX;
  const double top = RegistrationY + RegistrationCellY * CellSizeY;
  const struct {
    TNogField Field;
    std::string Text;
  } values[] = {{kCellSize, FormatExact(CellSizeX, 3)},
                {kTop, FormatExact(top, 3)},
                {kLeft, FormatExact(left, 3)},
                {kRows, std::to_string(Rows)},
                {kColumns, std::to_string(Columns)}};
  for (const auto& v : values) {
    if (v.Text.size() >= v.Field.Room) {
      HeaderError = "(" + v.Text + " does not fit its field at offset " +
                    std::to_string(v.Field.Offset) + ")";
      return false;
    }
    std::memcpy(HeaderBlock.data() + v.Field.Offset, v.Text.c_str(), v.Text.size() + 1);
  }
  TBinaryFile file;
  if (!file.Create(fileName, files) || !file.Write(HeaderBlock.data(), HeaderBlock.size()) ||
      !file.Close()) {
    HeaderError = "(" + file.ErrorText() + ")";
    return false;
  }
  return true;
}

TNogMap2::TNogMap2() : THeadMap2(std::make_unique<TNogHeader>()) {}

TNogMap2::~TNogMap2() { Close(); }

void TNogMap2::SetFileName(const std::string& fileName) {
  FileName = CompanionFile(fileName, ".002");
  Header->HeaderFileName = CompanionFile(fileName, ".001");
}

TError TNogMap2::WriteRefusal(const TRasterShape& shape) {
  if (TError why = Signed16Refusal("NOG", shape.CellType, shape.Bands); why.Failed()) return why;
  return SquareCellRefusal("NOG", shape.CellSizeX, shape.CellSizeY, 0);
}

bool TNogMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  if (mode == omCreate) {
    if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
    return THeadMap2::Open(fileName, columns, rows, ctSigned16, 1, mode);
  }
  return THeadMap2::Open(fileName, columns, rows, cellType, bands, mode);
}

bool TNogMap2::SetGeoreference(const TGeoreference& georeference) {
  THeadMap2::SetGeoreference(georeference);
  // The header has room for one cell size.
  if (TError why =
          SquareCellRefusal("NOG", georeference.Affine.CellSizeX, georeference.Affine.CellSizeY,
                            std::max(Header->Columns, Header->Rows));
      why.Failed())
    return Fail(std::move(why));
  return true;
}

}  // namespace mirava
