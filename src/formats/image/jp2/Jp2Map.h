// JPEG 2000 images, wrapped in JP2 boxes (".jp2") or a bare codestream
// (".j2k"), through OpenJPEG. An input is decoded a band of rows at a time
// (a row of tiles, tile by tile, or a part of one that fits the job's
// memory) as the job reads it, the bands kept while the stores' memory holds them; an output
// is encoded a row of tiles at a time as its rows come top down, rows that
// come before their turn waiting in a scratch file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/BinaryFile.h"
#include "dataset/DataSetRoot.h"
#include "dataset/MappedGrid.h"
#include "dataset/OutputChecks.h"
#include "dataset/ScratchFile.h"
#include "formats/image/jp2/OpenJpeg.h"

namespace mirava {

// How an output is encoded: GDAL's JP2OpenJPEG creation options.
struct TJp2Options {
  // Percentages of the uncompressed size, one a quality layer, ascending;
  // 100 alone with Reversible: lossless.
  std::vector<double> Quality{100};
  bool Reversible = true;
  uint32_t BlockXSize = 1024, BlockYSize = 1024;
  uint32_t Resolutions = 0;  // 0: the smallest level of a tile no larger than 128
};
// Parses `options`; a refusal saying what is wrong with them, no failure
// when they are right.
TError ParseJp2Options(const std::vector<std::string>& options, TJp2Options& parsed);

// A codestream's image and how it is cut into tiles, in the reference grid.
struct TJ2kLayout {
  uint32_t X0 = 0, Y0 = 0, Width = 0, Height = 0;
  uint32_t Components = 0;
  uint32_t Precision = 0;
  bool Signed = false;
  uint32_t TileX0 = 0, TileY0 = 0, TileWidth = 0, TileHeight = 0;
  uint32_t TilesAcross = 1, TilesDown = 1;
  uint32_t Resolutions = 1;
};

// Decodes rows of a codestream that lies in a mapped file.
class TJ2kDecoder {
 public:
  // Reads the main header of the codestream at `offset`, `length` bytes
  // long; decoded at the resolution `reduce` levels below the full one.
  // The failure's text is the reason alone.
  TError Open(TMappedFile& file, uint64_t offset, uint64_t length, uint32_t reduce = 0);
  const TJ2kLayout& Layout() const { return Geometry; }
  const TMappedSource& Source() const { return Input; }
  // The decoded image's size: the reference grid's, or a reduced one's.
  uint32_t DecodedWidth() const;
  uint32_t DecodedHeight() const;
  // Rows first .. first + count - 1 of the decoded image (all of it when
  // reduced), every component, as pixels of interleaved cells of
  // `cellType` in `cells`.
  TError Decode(uint32_t first, uint32_t count, uint8_t cellType, uint8_t* cells);
  // Whether rows first .. first + count - 1 of cells of `cellType` are
  // decoded tile by tile: a whole row of tiles of a full-resolution image
  // of many tiles, into cells as wide as OpenJPEG's samples of one tile.
  bool TileByTile(uint32_t first, uint32_t count, uint8_t cellType) const;

 private:
  // A fresh codec and stream, the main header read.
  TError Start();

  TMappedSource Input;
  uint32_t Reduce = 0;
  TJ2kLayout Geometry;
  std::string Messages;
  TOpjCodec Codec;
  TOpjStream Stream;
  TOpjImage Image;
  bool Used = false;  // the codec decoded once already
  // The row of tiles the codec reads next tile by tile; kNoTileRow when it
  // must start again for any.
  static constexpr uint32_t kNoTileRow = UINT32_MAX;
  uint32_t NextTileRow = 0;
  // Off once the codestream's tiles came out of order or some were
  // missing: its rows are decoded as areas from then on, as OpenJPEG
  // assembles them.
  bool TilesInOrder = true;
  std::vector<uint8_t> TileSamples;  // one tile's, a plane a component
  // A codestream that failed to decode fails every read after: OpenJPEG's
  // state after a failure is unusable (it crashed when asked again), and
  // starting a codec again for each read of a broken file takes too long.
  TError Failure;
  TError DecodeArea(uint32_t first, uint32_t count, uint8_t cellType, uint8_t* cells);
  // The row of tiles of rows first .. first + count - 1, one tile's 32-bit
  // samples in OpenJPEG at a time; `inOrder` false, nothing failed, when
  // the codestream did not hand its tiles over one by one in that row.
  TError DecodeTiles(uint32_t first, uint32_t count, uint8_t* cells, bool& inOrder);
};

class TJp2Map2 : public TDataSetRoot2 {
 public:
  // 8- and 16-bit integer cells alone, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  static TError CheckCreationOptions(const std::vector<std::string>& options);
  TJp2Map2() = default;
  ~TJp2Map2() override;

  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  int32_t GetBandCount() override { return static_cast<int32_t>(Bands); }
  int32_t GetRowCount() override { return static_cast<int32_t>(Rows); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Columns); }
  uint8_t GetCellType() override { return CellType; }
  bool SetGeoreference(const TGeoreference& georeference) override;
  // A JP2 states it in its GeoJP2 box, with a GeoTIFF's keys.
  bool StatesCoordinateSystem() override;
  // The codestream's precision where it is below the cells' width; an
  // output keeps that of its input.
  uint32_t SignificantBits() override;

  uint32_t BlockRows() override;
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override;
  bool BlockLayout(TCellBlock& layout) override;
  // Decoded bands before `first` are done with.
  void ReadingRowsOnce(uint32_t first, uint64_t ahead) override;
  // Decoded rows are read once top down by whoever can.
  bool RowsInScratch() override { return OpenMode != omCreate; }
  // The cells are read from the smallest resolution level that still holds
  // that many, decoded whole.
  void SamplingOnly(uint32_t columns, uint32_t rows) override;
  bool WritesRowsInOrder() override { return OpenMode == omCreate; }
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override {
    return ReadCellNarrowed(column, row, band, value);
  }
  bool ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) override;
  bool FileCutShort() const override { return Mapped.FileCutShort(); }
  // Kind 0 into an output of no creation options takes the input's
  // codestream unchanged, with new boxes around it.
  static bool CanPlaceFile(const std::vector<std::string>& options, TPlacement placement) {
    return options.empty() && placement == TPlacement::None;
  }
  bool PlaceFile(const std::string& inputName, TPlacement placement) override;
  bool Close() override;

 protected:
  void KeepPlanned(const TGeoreference& planned) override { Georef.NoData = planned.NoData; }

 private:
  // A band of decoded rows.
  struct TBand {
    uint32_t First = 0, Count = 0;
    std::vector<uint8_t> Cells;
    uint64_t Used = 0;  // when it was last read, for dropping the oldest
  };

  bool OpenExisting(const std::string& fileName, bool cells);
  // Cuts the image into bands of rows: rows of tiles, split where one
  // would not fit a fraction of the stores' memory.
  void PlanBands();
  // The band that holds `row`, decoded; null with the failure recorded.
  TBand* BandOf(uint32_t row);
  uint64_t RowBytes() const;

  bool CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                  uint32_t bands);
  // A created file's colour table goes into its boxes: one band of
  // unsigned indices, a table that a pclr box holds.
  bool KeepsPalette() const;
  // The boxes before the codestream of samples of `bits` bits.
  bool WriteHeader(uint8_t bits);
  // Writes the boxes before the codestream and starts encoding it.
  bool StartCodestream();
  // The no-data file beside it and the codestream's length, the codestream
  // ending at `end`.
  bool CompleteFile(uint64_t end);
  // The staged rows handed to the tile rows, or to the scratch file when
  // their tile row's turn has not come; tile rows complete are encoded.
  bool CommitStage();
  bool PutRow(uint32_t row, const uint8_t* data);
  bool EncodeTileRow();
  // Fills the tile row now due from the scratch file.
  bool LoadTileRow();
  bool FinishFile();
  // The encoder's failure, or the file's that it met.
  bool EncodingFailed();
  uint8_t* Stage(uint32_t first, uint32_t count);

  uint32_t Columns = 0, Rows = 0, Bands = 0;
  uint8_t CellType = 0;
  bool Closed = false;

  // Of an input.
  TMappedFile Mapped{*this};
  TJ2kDecoder Decoder;
  std::vector<uint32_t> BandStarts;  // and the image's height last
  std::vector<TBand> Cache;
  uint64_t CacheBytes = 0, CacheBudget = 0, Uses = 0;
  std::vector<uint8_t> Joint;  // a block across bands
  // Of an input sampled only: a reduced image.
  std::vector<uint8_t> ReducedCells;
  uint32_t ReducedWidth = 0, ReducedHeight = 0;

  // Of an output.
  TJp2Options Asked;
  bool Wrapped = true;  // JP2 boxes around the codestream
  TBinaryFile File;
  bool Writing = false;  // the file was created
  TFileSink Sink;
  std::string Messages;
  TOpjCodec Encoder;
  TOpjStream OutStream;
  TOpjImage OutImage;
  uint64_t HeaderSize = 0;
  bool Started = false;
  bool Placed = false;  // the input's codestream was copied
  uint32_t TileRow = 0;  // the tile row due
  std::vector<uint8_t> TileRowCells;
  std::vector<bool> Have;  // rows of the tile row due in it
  uint32_t HaveCount = 0;
  std::vector<bool> InScratch;
  TScratchFile Scratch;
  bool ScratchMade = false;
  std::vector<uint8_t> StageCells;
  uint32_t StageFirst = 0, StageCount = 0;
  std::vector<uint8_t> TileCells;
};

}  // namespace mirava
