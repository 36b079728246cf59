// Rasters made of a header (text or binary) describing the grid and its
// georeference, plus raw band-interleaved cells in a data file.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "dataset/DataSetRoot.h"
#include "dataset/MappedGrid.h"
#include "georef/ControlPoints.h"

namespace mirava {

class THeader {
 public:
  THeader() = default;
  virtual ~THeader() = default;
  THeader(const THeader&) = delete;
  THeader& operator=(const THeader&) = delete;

  virtual void ParseLine(const std::string&) {}
  // Puts a created file's coordinate system into the header's own names,
  // where the format has names for it.
  virtual void StateCoordinateSystem(const TCoordinateSystem&) {}
  virtual bool ReadHeader(const std::string& fileName) = 0;
  // ReadHeader, with a number that does not parse, and a cell size or
  // registration value that is no finite number or a cell size of 0,
  // reported in HeaderError like any other fault of the header, so that the
  // message names the file and the field.
  bool Read(const std::string& fileName);
  // The header's own words for its georeference fields, for those messages.
  struct TFieldNames {
    const char* CellSizeX = "cell size X";
    const char* CellSizeY = "cell size Y";
    const char* RegistrationX = "registration X";
    const char* RegistrationY = "registration Y";
    const char* RegistrationCellX = "registration cell X";
    const char* RegistrationCellY = "registration cell Y";
  };
  virtual TFieldNames FieldNames() const { return {}; }
  // Writes the header file, made by `files`.
  virtual bool WriteHeader(const std::string& fileName, TFileMaker& files) = 0;
  virtual void Setup(uint32_t rows, uint32_t columns, int32_t bands, double cellSizeX,
                     double cellSizeY, double registrationCellX, double registrationCellY,
                     double registrationX, double registrationY, const std::string& spheroid,
                     const std::string& datum, const std::string& projection, uint8_t cellType);
  virtual bool SetupAndWrite(uint32_t rows, uint32_t columns, int32_t bands, double cellSizeX,
                             double cellSizeY, double registrationCellX, double registrationCellY,
                             double registrationX, double registrationY,
                             const std::string& spheroid, const std::string& datum,
                             const std::string& projection, uint8_t cellType, TFileMaker& files);
  // The cell type as the header named it, for messages.
  virtual std::string CellTypeText() const;

  double RegistrationCellX = 0;
  double RegistrationCellY = 0;
  double RegistrationX = 0;
  double RegistrationY = 0;
  uint8_t CellType = 0;
  bool MSBFirst = false;
  double CellSizeX = 1.0;
  double CellSizeY = 1.0;
  int32_t Bands = 0;
  uint32_t Rows = 0;
  uint32_t Columns = 0;
  uint8_t CoordinateType = 0;
  bool Feet = false;  // linear units in feet
  std::string Projection;
  std::string Datum;
  std::string Spheroid;
  std::string HeaderFileName;
  // Whether the header places the raster (a registration read or given),
  // and the cell value it names as no data.
  bool Georeferenced = false;
  std::optional<double> NoData;
  std::unique_ptr<TGCPList> ControlPoints = std::make_unique<TGCPList>();
  uint8_t WarpCoordinateType = 0;
  std::string WarpProjection;
  std::string WarpDatum;
  std::string WarpSpheroid;
  // Why the last ReadHeader or WriteHeader failed, when it can tell.
  std::string HeaderError;

 protected:
  // A value of the header that does not parse: the first one is kept, and
  // Read fails with it once ReadHeader is done.
  void NoteMalformed(std::string problem) {
    if (Malformed.empty()) Malformed = std::move(problem);
  }
  // A 32-bit integer of the header, or a count (not negative); 0, noted as
  // malformed, when the text is neither.
  int32_t HeaderInt(const std::string& text);
  uint32_t HeaderCount(const std::string& text);

 private:
  std::string Malformed;
};

class THeadMap2 : public TDataSetRoot2 {
 public:
  explicit THeadMap2(std::unique_ptr<THeader> header);
  ~THeadMap2() override;

  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  int32_t GetBandCount() override { return Header->Bands; }
  int32_t GetRowCount() override { return static_cast<int32_t>(Header->Rows); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Header->Columns); }
  uint8_t GetCellType() override { return Header->CellType; }
  // The header's fields are the georeference: these two convert between
  // them.
  TGeoreference GetGeoreference() const override;
  bool SetGeoreference(const TGeoreference& georeference) override;
  TGCPList* GetControlPoints() override { return Header->ControlPoints.get(); }
  void SetControlPoints(TGCPList* list) override {
    if (list != Header->ControlPoints.get()) Header->ControlPoints.reset(list);
  }
  // The data file is the plain mapped grid; formats with a layout of their
  // own answer 0 rows.
  uint32_t BlockRows() override { return Grid.BlockRows(); }
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override {
    return Grid.Block(first, count, block);
  }
  void ReadingRowsOnce(uint32_t first, uint64_t ahead) override {
    Grid.ReadingRowsOnce(first, ahead);
  }
  bool RowLayout(TCellBlock& layout) override {
    if (OpenMode != omCreate || BlockRows() == 0) return false;
    Grid.Layout(layout);
    return true;
  }
  bool PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) override {
    return Grid.PutRows(first, count, rows);
  }
  bool PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                   const uint8_t* data, uint64_t dataStride, bool toDisk) override {
    return Grid.PutRowParts(first, count, offset, length, data, dataStride, toDisk);
  }
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override {
    double exact = 0;
    if (!Grid.ReadCell(column, row, band, exact)) return false;
    value = static_cast<float>(exact);
    return true;
  }
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override {
    return Grid.WriteCell(column, row, band, value);
  }
  bool FileCutShort() const override { return Grid.FileCutShort(); }
  // A created raster writes its header here, after its last cell.
  bool Close() override;

  THeader& GetHeader() { return *Header; }

 protected:
  void KeepPlanned(const TGeoreference& planned) override;

  std::unique_ptr<THeader> Header;
  // The data file: the grid of cells, or a file of a layout of the format's
  // own that it maps.
  TMappedGrid Grid{*this};
  bool Closed = false;
};

}  // namespace mirava
