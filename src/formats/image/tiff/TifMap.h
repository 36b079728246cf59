// TIFF and GeoTIFF rasters. Uncompressed strips of 8-, 16- or 32-bit grey or
// RGB samples, in either byte order and either planar configuration, are read
// in place through the mapped windows. Created files have one fixed
// little-endian layout: a header with the GeoTIFF tags, then the pixels as
// one strip, and a ".tfw" world file beside them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset/BinaryFile.h"
#include "dataset/DataSetRoot.h"
#include "dataset/MappedGrid.h"
#include "formats/image/tiff/TiffChunkCopy.h"
#include "formats/image/tiff/TiffDecoder.h"
#include "formats/image/tiff/TiffEncoder.h"
#include "formats/image/tiff/TiffOverviews.h"
#include "georef/WorldFile.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

// Bytes before the pixels of a created TIFF.
constexpr uint32_t kTiffHeaderSize = 368;

// The longest line a mapped window can hold with its start rounded down.
constexpr uint64_t kLongestLine = kMaxWindowSize - kWindowAlignment;

class TIfdImage;

class TTifMap2 : public TDataSetRoot2 {
 public:
  TTifMap2();
  ~TTifMap2() override;

  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override {
    return ReadCellNarrowed(column, row, band, value);
  }
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) override;
  bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  int32_t GetBandCount() override { return SamplesPerPixel; }
  int32_t GetRowCount() override { return static_cast<int32_t>(ImageLength); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(ImageWidth); }
  uint8_t GetCellType() override { return CellType; }
  bool IsMSBFirst() const { return MSBFirst; }
  bool SetGeoreference(const TGeoreference& georeference) override;
  bool StatesCoordinateSystem() override;
  TColours StatedColours() override;
  // Pixel-interleaved files whose strips follow each other offer their
  // rows as blocks.
  uint32_t BlockRows() override;
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override;
  void ReadingRowsOnce(uint32_t first, uint64_t ahead) override;
  bool RowsInScratch() override { return Decoding != nullptr; }
  TRowsState AwaitRows(uint32_t end, std::chrono::milliseconds most) override;
  bool RowLayout(TCellBlock& layout) override;
  bool BlockLayout(TCellBlock& layout) override;
  bool WritesRowsInOrder() override { return Encoder != nullptr; }
  bool PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) override;
  bool PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                   const uint8_t* data, uint64_t dataStride, bool toDisk) override;
  bool Close() override;
  bool FileCutShort() const override { return Mapped.FileCutShort(); }
  // Whether a job of no placement (kind 0) from `inputName` into a TIFF created with
  // `options` can take the input's strips or tiles unchanged: the same
  // lossless compression, predictor, blocks and samples.
  static bool CanPlaceFile(const std::string& inputName, const std::vector<std::string>& options,
                           TPlacement placement);
  // Copies the input's strips or tiles into this created file, which
  // CanPlaceFile allowed; Close writes the header.
  bool PlaceFile(const std::string& inputName, TPlacement placement) override;
  // GDAL's creation options as far as libtiff serves them (TiffOptions.h);
  // no failure when `options` are right.
  static TError CheckCreationOptions(const std::vector<std::string>& options);

 protected:
  void KeepPlanned(const TGeoreference& planned) override { Georef.NoData = planned.NoData; }

 private:
  struct TIfdEntry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint64_t Count = 0;
    uint64_t FieldPosition = 0;  // file position of the value field
  };

  void ResetDescription();
  // Points RowCells at the row's samples of `band` (all of them where the
  // samples are interleaved); false when they cannot be reached.
  bool SelectRow(uint32_t row, uint32_t band);
  bool OpenExisting(const std::string& fileName, uint8_t mode);
  // Decodes the file through libtiff into a scratch file read in its place
  // while it fills.
  bool OpenDecoded(uint8_t mode);
  // Waits until the rows before `end` are decoded; false with the reason
  // when the decoding failed.
  bool RowsDecoded(uint32_t end);
  bool CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                  uint32_t bands);
  // A file whose pixels are compressed or tiled: written through libtiff's
  // codecs as the rows come, completed by Close.
  bool CreateEncoded(const std::string& fileName, const TTiffOptions& options);
  bool CloseEncoded();
  // A cloud-optimised GeoTIFF's end: every level encoded, then the header
  // and IFDs, the overviews' tiles from the smallest up, and the image's
  // tiles, each level's in row-major order.
  bool CloseCog();
  bool WriteCog();
  // The overviews' encoder and scratch files, made beside the output.
  bool CreateCog(const std::string& fileName);
  // Whether the file is a BigTIFF, when it `may` pass 4 GiB, as BIGTIFF
  // asks; false with the failure when it must be one and BIGTIFF=NO.
  bool ChooseBigTiff(bool may, uint64_t bytes);
  // Copies the chunks `stored` lists into the file, in their order.
  bool CopyChunks(const std::string& inputName, const TStoredChunks& stored);
  // Reads the first IFD; false with the reason in TiffError.
  bool ParseIfd();
  // The pieces of ParseIfd: the directory's entries (the first of each
  // tag), the image's size and sample layout, and the strips' offsets.
  bool ReadIfdEntries(std::vector<TIfdEntry>& entries);
  bool ReadLayoutTags(const std::vector<TIfdEntry>& entries);
  bool ReadStripTable(const TIfdEntry& offsets);
  bool CheckLayout();
  void ReadGeoTiff(const std::vector<TIfdEntry>& entries);
  const TIfdEntry* FindEntry(const std::vector<TIfdEntry>& entries, uint16_t tag) const;
  // Values of a BYTE, SHORT, LONG or LONG8 entry (at most `wanted`).
  template <typename T>
  bool EntryNumbers(const TIfdEntry& entry, uint64_t wanted, std::vector<T>& values);
  // Where an entry's values lie: in its value field when they fit.
  uint64_t ValuePosition(const TIfdEntry& entry, uint64_t bytes);
  uint64_t OffsetBytes() const { return BigTiff ? 8 : 4; }
  bool EntryDoubles(const TIfdEntry& entry, uint32_t wanted, std::vector<double>& values);
  // The text of an ASCII entry of at most `most` bytes, without its
  // terminating NULs; empty when it has none or is longer.
  std::string EntryText(const TIfdEntry& entry, uint64_t most);
  // The number an ASCII entry spells; none when it holds no number.
  std::optional<double> EntryNumberText(const TIfdEntry& entry);
  uint16_t Get16(const uint8_t* p) const;
  uint32_t Get32(const uint8_t* p) const;
  uint64_t Get64(const uint8_t* p) const;
  uint64_t GetOffset(const uint8_t* p) const;
  double GetDouble(const uint8_t* p) const;
  bool WriteTiffHeader();
  // The header of a created file: the fixed one (1 or 3 bands of 8 or 16
  // bits under 4 GiB) or one laid out for any other raster.
  std::vector<uint8_t> FixedHeader();
  // With `placed`, the placement tags and keys, which a file without a
  // georeference lacks but which its room is laid out for.
  std::vector<uint8_t> OpenHeader(bool placed);
  // A level of a cloud-optimised GeoTIFF where its tiles are in the file.
  struct TCogLevel {
    uint32_t Width = 0, Length = 0;
    std::vector<uint64_t> Offsets, ByteCounts;
  };
  // The entries of the image's IFD, or of an overview's.
  void FillIfd(TIfdImage& ifd, bool placed, const TCogLevel* overview);
  // The room an open header needs, placed or not (then with its control
  // points as tie points).
  uint64_t HeaderRoom();
  uint64_t SampleOffset(uint32_t column, uint32_t band) const;
  void SetLayout(TCellBlock& block) const;

  uint64_t IfdPosition = 0;
  uint64_t IfdEntryCount = 0;
  bool BigTiff = false;
  bool FixedLayout = true;
  uint64_t PixelStart = kTiffHeaderSize;  // of a created file
  std::string TiffError;
  bool Decodable = false;  // refused for a layout libtiff decodes
  uint32_t ImageWidth = 0;
  uint32_t ImageLength = 0;
  std::vector<uint32_t> BitsPerSample;
  std::vector<uint32_t> SampleFormat;
  uint16_t Compression = 1;
  uint16_t PhotoMetricInterpretation = 1;
  uint16_t PlanarConfiguration = 1;
  uint32_t RowsPerStrip = 2147483647;
  uint16_t SamplesPerPixel = 1;
  std::vector<uint64_t> StripTable;
  // Of an input decoded through libtiff, the decoding under way.
  std::unique_ptr<TTiffDecoding> Decoding;
  uint32_t RowsKnownDecoded = 0;  // rows it is known to have decoded
  bool DescribeOnly = false;      // OpenRead: such an input is not decoded
  // Of a created compressed or tiled file: its encoder and file, and the
  // layout of its strips or tiles.
  // Of a cloud-optimised GeoTIFF, the image's tiles encoded into a scratch
  // file until Close, and its overviews; the encoder writing to it goes
  // first.
  TBinaryFile CogScratch;
  std::unique_ptr<TTiffOverviews> Overviews;
  std::unique_ptr<TTiffEncoder> Encoder;
  TBinaryFile EncodedFile;
  TTiffPixels Encoded;
  std::vector<uint64_t> ChunkByteCounts;
  TTiffOptions Asked;  // of a created file
  bool Placed = false;  // the chunks were copied by PlaceFile
  // One window per sample plane, for band-separate files larger than one
  // window: a single window would be moved for every band of every cell.
  // The file; a decoded input's scratch file.
  TMappedFile Mapped{*this};
  uint8_t* RowCells = nullptr;
  // Second mapped windows over the same file, one a sample plane.
  std::vector<std::unique_ptr<TMappedFile>> PlaneWindows;
  uint32_t StripsPerPlane = 0;
  uint64_t StripLineBytes = 0;  // one line of one strip
  uint8_t CellType = ctUnsigned8;
  uint32_t SampleWidth = 1;
  bool MSBFirst = false;
  bool Closed = false;
  int ContiguousRows = -1;  // unknown until BlockRows asks
};

}  // namespace mirava
