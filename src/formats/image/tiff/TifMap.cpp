#include "formats/image/tiff/TifMap.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "formats/image/tiff/GeoTiffKeys.h"
#include "formats/image/tiff/TiffDecoder.h"
#include "formats/image/tiff/TiffTags.h"
#include "georef/WorldFile.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

// A reading failure, with the file it is about.
static std::string TiffErrorText(const std::string& fileName, const std::string& reason) {
  return "Tiff error in " + fileName + ": " + reason;
}

static TError TiffFailure(const std::string& fileName, TError error) {
  return std::move(error).In(TiffErrorText(fileName, ""));
}

TTifMap2::TTifMap2() { ControlPoints = std::make_unique<TGCPList>(); }

TTifMap2::~TTifMap2() { Close(); }

void TTifMap2::ResetDescription() {
  MSBFirst = false;
  BigTiff = false;
  FixedLayout = true;
  PixelStart = kTiffHeaderSize;
  StripTable.clear();
  Placed = false;
  Decoding.reset();
  PlaneWindows.clear();
  BitsPerSample.assign(1, 1);
  SampleFormat.assign(1, sfUnsigned);
  Compression = 1;
  PhotoMetricInterpretation = 1;
  PlanarConfiguration = 1;
  RowsPerStrip = 2147483647;
  SamplesPerPixel = 1;
  ImageWidth = ImageLength = 0;
  TiffError.clear();
  ResetGeoreference();
}

bool TTifMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  BeginOpen(fileName, mode);
  Closed = false;
  ResetDescription();
  if (mode == omCreate) return CreateFile(fileName, columns, rows, cellType, bands);
  if (mode != omRead && mode != omReadWrite) {
    return Fail(TErrorCode::Format, "Unknown open mode " + std::to_string(mode));
  }
  const std::string gcp = FindCompanion(fileName, ".gcp");
  if (!gcp.empty()) ControlPoints->LoadFromFile(gcp);
  return OpenExisting(fileName, mode);
}

bool TTifMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  // A file that needs decoding is only described.
  DescribeOnly = true;
  const bool opened = Open(fileName, 0, 0, ctUnsigned8, 1, omRead);
  DescribeOnly = false;
  if (!opened) return false;
  Decoding.reset();
  PlaneWindows.clear();
  return Mapped.CloseMapping();
}

bool TTifMap2::OpenExisting(const std::string& fileName, uint8_t mode) {
  ColorTable.clear();
  if (!Mapped.OpenMapping(fileName, mode, 0, FileMaker())) {
    return FailOpen("Open read error ");
  }
  auto refuse = [&](const std::string& text) {
    PlaneWindows.clear();
    Mapped.CloseMapping();
    return Fail(TErrorCode::Format, text);
  };
  uint8_t head[16] = {};
  if (!Mapped.FetchBytes(0, std::min<uint64_t>(16, Mapped.GetFileSize()), head) ||
      !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
    return refuse(TiffErrorText(fileName, "Wrong TIFF order"));
  MSBFirst = head[0] == 'M';
  const uint16_t version = Get16(head + 2);
  BigTiff =
      version == 43 && Mapped.GetFileSize() >= 16 && Get16(head + 4) == 8 && Get16(head + 6) == 0;
  if (Mapped.GetFileSize() < 8 || (version != 42 && !BigTiff))
    return refuse(TiffErrorText(fileName, "Wrong TIFF version"));
  IfdPosition = BigTiff ? Get64(head + 8) : Get32(head + 4);
  Decodable = false;
  if (!ParseIfd() || !CheckLayout()) {
    if (!Decodable) return refuse(TiffErrorText(fileName, TiffError));
    PlaneWindows.clear();
    Mapped.CloseMapping();
    return OpenDecoded(mode);
  }
  ClearError();
  return true;
}

bool TTifMap2::OpenDecoded(uint8_t mode) {
  auto refuse = [&](const std::string& text) {
    Mapped.CloseMapping();
    return Fail(TErrorCode::Refused, TiffErrorText(FileName, text));
  };
  if (mode != omRead) return refuse(TiffError + ": the file can only be read");
  Decoding = std::make_unique<TTiffDecoding>();
  RowsKnownDecoded = 0;
  if (Georef.NoData) Decoding->FillEmpty(*Georef.NoData);
  const char* folder = std::getenv("TMPDIR");
  if (TError error = DescribeOnly ? Decoding->Inspect(FileName)
                                  : Decoding->Start(FileName, folder && *folder ? folder : "/tmp",
                                                    MemoryLimit);
      error.Failed()) {
    Decoding.reset();
    Mapped.CloseMapping();
    return Fail(TiffFailure(FileName, std::move(error)));
  }
  const TDecodedTiff& decoded = Decoding->Decoded();
  if (!DescribeOnly) {
    const bool mapped = Mapped.OpenMapping(decoded.ScratchName, omRead, 0, FileMaker());
    unlink(decoded.ScratchName.c_str());
    if (!mapped) {
      Decoding.reset();
      return refuse("scratch file: " + Error().Text);
    }
  }
  MSBFirst = false;
  ImageWidth = decoded.Width;
  ImageLength = decoded.Length;
  SamplesPerPixel = decoded.Samples;
  BitsPerSample.assign(SamplesPerPixel, 8 * CellTypeWidth(decoded.CellType));
  SampleFormat.assign(SamplesPerPixel, SampleFormatOf(decoded.CellType));
  PhotoMetricInterpretation = 1;
  PlanarConfiguration = 1;
  RowsPerStrip = ImageLength;
  StripsPerPlane = 1;
  // Described only, there are no rows to check.
  StripTable.assign(DescribeOnly ? 0 : 1, 0);
  ColorTable = decoded.Colors;
  if (!CheckLayout()) {
    Decoding.reset();
    return refuse(TiffError);
  }
  ClearError();
  return true;
}

bool TTifMap2::RowsDecoded(uint32_t end) {
  if (!Decoding || end <= RowsKnownDecoded) return true;
  if (TError error = Decoding->WaitFor(end); error.Failed())
    return Fail(TiffFailure(FileName, std::move(error)));
  RowsKnownDecoded = end;
  return true;
}

TRowsState TTifMap2::AwaitRows(uint32_t end, std::chrono::milliseconds most) {
  if (!Decoding) return TRowsState::Ready;
  TError error;
  const TRowsState state = Decoding->Await(end, most, error);
  if (state == TRowsState::Failed) Fail(TiffFailure(FileName, std::move(error)));
  return state;
}

bool TTifMap2::SelectRow(uint32_t row, uint32_t band) {
  if (row >= ImageLength || StripTable.empty() || !RowsDecoded(row + 1)) return false;
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  const uint32_t strip = row / RowsPerStrip;
  const uint32_t line = row % RowsPerStrip;
  const uint64_t index = strip + (PlanarConfiguration == 2 ? uint64_t{band} * StripsPerPlane : 0);
  if (index >= StripTable.size()) return false;
  const uint64_t position = StripTable[index] + line * StripLineBytes;
  if (!PlaneWindows.empty()) {
    TMappedFile& window = *PlaneWindows[band];
    RowCells = window.Reach(position, static_cast<uint32_t>(StripLineBytes));
    if (!RowCells) Fail(window.Error());
    return RowCells != nullptr;
  }
  RowCells = Mapped.Reach(position, static_cast<uint32_t>(StripLineBytes));
  return RowCells != nullptr;
}

uint32_t TTifMap2::BlockRows() {
  if (Encoder)
    return static_cast<uint32_t>(
        std::clamp<uint64_t>(kMaxStagedBytes / StripLineBytes, 1, ImageLength));
  if (ContiguousRows < 0) {
    bool plain = PlanarConfiguration == 1 && PlaneWindows.empty() && !StripTable.empty() &&
                 StripLineBytes > 0 && CellTypeConvertible(CellType);
    const uint64_t stripBytes = uint64_t{RowsPerStrip} * StripLineBytes;
    for (size_t i = 1; plain && i < StripTable.size(); ++i)
      plain = StripTable[i] == StripTable[0] + i * stripBytes;
    ContiguousRows = plain;
  }
  if (!ContiguousRows) return 0;
  return static_cast<uint32_t>(
      std::min<uint64_t>(Mapped.UsableWindow() / StripLineBytes, ImageLength));
}

bool TTifMap2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (BlockRows() == 0 || count == 0 || first >= ImageLength || count > ImageLength - first ||
      !RowsDecoded(first + count))
    return false;
  uint8_t* data =
      Encoder ? Encoder->Stage(first, count)
              : Mapped.BlockRange(StripTable[0] + first * StripLineBytes, count * StripLineBytes);
  if (!data && Encoder) return Fail(Encoder->Error());
  if (!data) return false;
  SetLayout(block);
  block.Data = data;
  return true;
}

void TTifMap2::SetLayout(TCellBlock& block) const {
  block.Data = nullptr;
  block.RowStride = static_cast<int64_t>(StripLineBytes);
  block.BandStride = SampleWidth;
  block.ColumnStride = static_cast<int64_t>(SampleWidth) * SamplesPerPixel;
  block.CellType = CellType;
  block.MSBFirst = MSBFirst;
}

void TTifMap2::ReadingRowsOnce(uint32_t first, uint64_t ahead) {
  if (Decoding)
    Decoding->Release(first);
  else if (BlockRows() > 0)
    Mapped.ReadingOnceAt(StripTable[0] + first * StripLineBytes, ahead);
}

bool TTifMap2::RowLayout(TCellBlock& layout) {
  // Encoded rows are taken in blocks only, which keeps a quarter turn's
  // output rows whole and in order.
  if (OpenMode != omCreate || Encoder || BlockRows() == 0) return false;
  SetLayout(layout);
  return true;
}

bool TTifMap2::BlockLayout(TCellBlock& layout) {
  if (!Encoder) return false;
  SetLayout(layout);
  return true;
}

bool TTifMap2::PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) {
  if (Encoder || BlockRows() == 0 || count == 0 || first >= ImageLength ||
      count > ImageLength - first)
    return false;
  return Mapped.WriteRows(StripTable[0] + first * StripLineBytes, rows, count, StripLineBytes);
}

bool TTifMap2::PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                           const uint8_t* data, uint64_t dataStride, bool toDisk) {
  if (Encoder || BlockRows() == 0 || count == 0 || first >= ImageLength ||
      count > ImageLength - first)
    return false;
  return Mapped.WriteRowParts(StripTable[0] + first * StripLineBytes, StripLineBytes, count, offset,
                              length, data, dataStride, toDisk);
}

uint64_t TTifMap2::SampleOffset(uint32_t column, uint32_t band) const {
  return PlanarConfiguration == 2 ? uint64_t{column} * SampleWidth
                                  : (band + uint64_t{column} * SamplesPerPixel) * SampleWidth;
}

bool TTifMap2::ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) {
  value = 0;
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  if (column >= ImageWidth || row >= ImageLength) return false;
  if (!SelectRow(row, band)) return false;
  value = DecodeCellExact(RowCells + SampleOffset(column, band), CellType, MSBFirst);
  return true;
}

bool TTifMap2::WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) {
  return WriteCellExact(column, row, band, value);
}

bool TTifMap2::WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) {
  if (OpenMode == omRead) return false;
  if (band >= SamplesPerPixel) band = SamplesPerPixel - 1u;
  if (column >= ImageWidth || row >= ImageLength) return false;
  if (Encoder) {
    uint8_t* line = Encoder->StagedRow(row);
    if (!line) line = Encoder->Stage(row, 1);
    if (!line) return Fail(Encoder->Error());
    EncodeCellExact(line + SampleOffset(column, band), CellType, false, value);
    return true;
  }
  if (!SelectRow(row, band)) return false;
  EncodeCellExact(RowCells + SampleOffset(column, band), CellType, MSBFirst, value);
  return true;
}

bool TTifMap2::SetGeoreference(const TGeoreference& georeference) {
  KeepGeoreference(georeference);
  if (OpenMode != omCreate) return true;
  TAffine world = GetGeoreference().Affine;
  world.X0 -= GeoTiffOutputFor(Georef.Crs, Georef.Projection, Georef.Datum, world.X0).EastingPrefix;
  if (!SaveWorldFile(ChangeFileExt(FileName, ".tfw"), TWorldFile::FromOrigin(world))) return false;
  // An encoded file gets its header when it is complete.
  if (!Encoder && !WriteTiffHeader())
    return Fail(TErrorCode::IO, "TIFF header not written: " + Error().Text);
  return true;
}

bool TTifMap2::StatesCoordinateSystem() {
  // The keys go with a placement or tie points only.
  return Georef.Crs.Empty() ||
         ((Georef.Placed || !PlacingPoints.empty()) &&
          !GeoTiffOutputFor(Georef.Crs, Georef.Projection, Georef.Datum, Georef.Affine.X0)
               .Keys.Empty());
}

bool TTifMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = !(Encoder || Placed) || CloseEncoded();
  Decoding.reset();
  PlaneWindows.clear();
  if (!Mapped.CloseMapping()) {
    if (ok) FailIn("Closing " + FileName + ": ");
    ok = false;
  }
  return ok;
}

}  // namespace mirava
