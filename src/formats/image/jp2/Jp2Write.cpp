#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/MemoryBudget.h"
#include "formats/image/jp2/Jp2Boxes.h"
#include "formats/image/jp2/Jp2Map.h"
#include "formats/image/tiff/GeoTiffKeys.h"
#include "raster/CellType.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// The largest tile OpenJPEG takes: its data size is a 32-bit number.
constexpr uint64_t kMostTileBytes = 0xFFFFFFFFu;
// The most entries a pclr box holds.
constexpr size_t kMostPaletteEntries = 1024;

// The resolution levels GDAL gives a tile: its smallest no larger than 128.
uint32_t DefaultResolutions(uint32_t tileWidth, uint32_t tileHeight) {
  uint32_t levels = 1;
  while (levels < 32 && (std::max(tileWidth, tileHeight) >> (levels - 1)) > 128 &&
         (std::min(tileWidth, tileHeight) >> levels) > 0)
    ++levels;
  return levels;
}

std::vector<std::string> CommaParts(const std::string& text) {
  std::vector<std::string> parts;
  for (size_t from = 0;;) {
    const size_t comma = text.find(',', from);
    parts.push_back(text.substr(from, comma - from));
    if (comma == std::string::npos) return parts;
    from = comma + 1;
  }
}

// What is wrong with `options`, empty when nothing is.
std::string WrongOptions(const std::vector<std::string>& options, TJp2Options& parsed) {
  parsed = {};
  bool reversibleGiven = false, qualityGiven = false;
  for (const std::string& option : options) {
    const size_t eq = option.find('=');
    if (eq == std::string::npos || eq == 0)
      return "creation option \"" + option + "\" is not KEY=VALUE";
    const std::string key = UpperCase(option.substr(0, eq));
    const std::string text = option.substr(eq + 1);
    const std::string word = UpperCase(text);
    const std::string bad = "creation option " + key + "=" + text + ": ";
    uint32_t n = 0;
    if (key == "QUALITY") {
      parsed.Quality.clear();
      for (const std::string& part : CommaParts(text)) {
        char* end = nullptr;
        const double q = std::strtod(part.c_str(), &end);
        if (part.empty() || *end != '\0' || !(q > 0 && q <= 100))
          return bad + "percentages of the uncompressed size, above 0 and at most 100, "
                       "separated by commas";
        parsed.Quality.push_back(q);
      }
      if (parsed.Quality.empty()) return bad + "no percentage";
      std::sort(parsed.Quality.begin(), parsed.Quality.end());
      qualityGiven = true;
    } else if (key == "REVERSIBLE") {
      if (word == "YES" || word == "TRUE" || word == "ON")
        parsed.Reversible = true;
      else if (word == "NO" || word == "FALSE" || word == "OFF")
        parsed.Reversible = false;
      else
        return bad + "YES or NO";
      reversibleGiven = true;
    } else if (key == "BLOCKXSIZE" || key == "BLOCKYSIZE") {
      if (!ParseCount(text, 32, 65536, n)) return bad + "a number of pixels from 32 to 65536";
      (key == "BLOCKXSIZE" ? parsed.BlockXSize : parsed.BlockYSize) = n;
    } else if (key == "RESOLUTIONS") {
      if (!ParseCount(text, 1, 30, n)) return bad + "a number of levels from 1 to 30";
      parsed.Resolutions = n;
    } else {
      return "unknown creation option " + key +
             " (JPEG 2000 outputs take QUALITY, REVERSIBLE, BLOCKXSIZE, BLOCKYSIZE and "
             "RESOLUTIONS)";
    }
  }
  // Lossy qualities alone ask for the irreversible wavelet, as in GDAL.
  if (qualityGiven && !reversibleGiven)
    parsed.Reversible = parsed.Quality.size() == 1 && parsed.Quality[0] == 100;
  return {};
}

}  // namespace

TError ParseJp2Options(const std::vector<std::string>& options, TJp2Options& parsed) {
  const std::string wrong = WrongOptions(options, parsed);
  return wrong.empty() ? TError() : TError::Refused(wrong);
}

TError TJp2Map2::CheckCreationOptions(const std::vector<std::string>& options) {
  TJp2Options parsed;
  return ParseJp2Options(options, parsed);
}

TError TJp2Map2::WriteRefusal(const TRasterShape& shape) {
  const uint8_t t = shape.CellType;
  if (t == ctUnsigned8 || t == ctSigned8 || t == ctUnsigned16 || t == ctSigned16) return {};
  return TError::Refused("JPEG 2000 files hold 8- or 16-bit integer cells, not " +
                         CellTypeWords(t) + " cells");
}

bool TJp2Map2::CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows,
                          uint8_t cellType, uint32_t bands) {
  if (TError refused = WriteRefusal({.Bands = bands, .CellType = cellType}); refused.Failed())
    return Fail(std::move(refused));
  if (columns == 0 || rows == 0 || bands == 0 || bands > 16384)
    return Fail(TErrorCode::Refused, fileName + ": JPEG 2000 files hold 1 to 16384 bands of at "
                                                "least one cell");
  if (TError wrong = ParseJp2Options(CreationOptions, Asked); wrong.Failed())
    return Fail(std::move(wrong));
  Columns = columns;
  Rows = rows;
  Bands = bands;
  CellType = cellType;
  Asked.BlockXSize = std::min(Asked.BlockXSize, Columns);
  Asked.BlockYSize = std::min(Asked.BlockYSize, Rows);
  const uint64_t tileBytes =
      uint64_t{Asked.BlockXSize} * Asked.BlockYSize * Bands * CellTypeWidth(CellType);
  if (tileBytes > kMostTileBytes)
    return Fail(TErrorCode::Refused, fileName + ": tiles of " + std::to_string(tileBytes) +
                                         " bytes are more than OpenJPEG takes; ask for smaller "
                                         "ones (BLOCKXSIZE, BLOCKYSIZE)");
  Wrapped = UpperCase(ExtractFileExt(fileName)) != ".J2K";
  if (!ColorTable.empty() && !KeepsPalette())
    Notes.push_back(Wrapped ? "Colour table not kept: JPEG 2000 palettes hold at most " +
                                  std::to_string(kMostPaletteEntries) +
                                  " colours of unsigned indices"
                            : "Colour table not kept: a bare JPEG 2000 codestream (.j2k) holds "
                              "the cell values without their colours");
  if (!File.Create(fileName, FileMaker())) return Fail(TError::System(File.ErrorCode(), fileName));
  Writing = true;
  TileRow = 0;
  TileRowCells.assign(uint64_t{Asked.BlockYSize} * RowBytes(), 0);
  Have.assign(Asked.BlockYSize, false);
  HaveCount = 0;
  InScratch.assign(Rows, false);
  StageCount = 0;
  Started = false;
  Placed = false;
  return true;
}

bool TJp2Map2::KeepsPalette() const {
  return Wrapped && Bands == 1 && !ColorTable.empty() &&
         ColorTable.size() <= kMostPaletteEntries &&
         (CellType == ctUnsigned8 || CellType == ctUnsigned16);
}

bool TJp2Map2::SetGeoreference(const TGeoreference& georeference) {
  KeepGeoreference(georeference);
  return true;
}

bool TJp2Map2::StatesCoordinateSystem() {
  return Georef.Crs.Empty() ||
         (Wrapped && (Georef.Placed || !PlacingPoints.empty()) &&
          !GeoTiffOutputFor(Georef.Crs, Georef.Projection, Georef.Datum, Georef.Affine.X0)
               .Keys.Empty());
}

bool TJp2Map2::WriteHeader(uint8_t bits) {
  HeaderSize = 0;
  if (!Wrapped) return true;
  TJp2Header header;
  header.Width = Columns;
  header.Height = Rows;
  header.Components = Bands;
  header.Bits = bits;
  header.Signed = CellType == ctSigned8 || CellType == ctSigned16;
  header.Color = Bands == 3 || Bands == 4;
  if (KeepsPalette()) header.Palette = EightBitColors(ColorTable, ColorTable.size());
  header.Georeference = Georef;
  header.ControlPoints = PlacingPoints;
  const std::vector<uint8_t> bytes = Jp2HeaderBytes(header);
  if (!File.WriteAt(0, bytes.data(), bytes.size()))
    return Fail(TErrorCode::IO, "Writing " + FileName + ": " + File.ErrorText());
  HeaderSize = bytes.size();
  return true;
}

bool TJp2Map2::StartCodestream() {
  Started = true;
  const uint32_t bits = SignificantBits() ? SignificantBits() : CellTypeWidth(CellType) * 8;
  if (!WriteHeader(static_cast<uint8_t>(bits))) return false;
  Messages.clear();
  Encoder.reset(opj_create_compress(OPJ_CODEC_J2K));
  if (!Encoder) return Fail(TErrorCode::Codec, FileName + ": OpenJPEG made no encoder");
  CollectErrors(Encoder.get(), Messages);
  opj_cparameters_t p;
  opj_set_default_encoder_parameters(&p);
  p.tile_size_on = OPJ_TRUE;
  p.cp_tx0 = p.cp_ty0 = 0;
  p.cp_tdx = static_cast<int>(Asked.BlockXSize);
  p.cp_tdy = static_cast<int>(Asked.BlockYSize);
  p.numresolution = static_cast<int>(
      Asked.Resolutions ? Asked.Resolutions : DefaultResolutions(Asked.BlockXSize, Asked.BlockYSize));
  // OpenJPEG wants every level at least a pixel of each tile.
  while (p.numresolution > 1 &&
         (std::min(Asked.BlockXSize, Asked.BlockYSize) >> (p.numresolution - 1)) == 0)
    --p.numresolution;
  p.irreversible = Asked.Reversible ? 0 : 1;
  p.tcp_mct = Bands == 3 || Bands == 4 ? 1 : 0;
  p.cp_disto_alloc = 1;
  p.tcp_numlayers = static_cast<int>(std::min<size_t>(Asked.Quality.size(), 100));
  // Rates are compression ratios, the first layer the smallest; 0 for all
  // that is left.
  for (int i = 0; i < p.tcp_numlayers; ++i) {
    const double q = Asked.Quality[static_cast<size_t>(i)];
    p.tcp_rates[i] = q >= 100 ? 0.0f : static_cast<float>(100.0 / q);
  }
  std::vector<opj_image_cmptparm_t> parts(Bands);
  for (opj_image_cmptparm_t& part : parts) {
    part = {};
    part.dx = part.dy = 1;
    part.w = Columns;
    part.h = Rows;
    part.prec = bits;
    part.sgnd = CellType == ctSigned8 || CellType == ctSigned16;
  }
  const OPJ_COLOR_SPACE space = Bands == 3 || Bands == 4 ? OPJ_CLRSPC_SRGB
                                : Bands == 1            ? OPJ_CLRSPC_GRAY
                                                        : OPJ_CLRSPC_UNSPECIFIED;
  OutImage.reset(opj_image_tile_create(Bands, parts.data(), space));
  if (!OutImage) return Fail(TErrorCode::Codec, FileName + ": OpenJPEG made no image");
  OutImage->x0 = OutImage->y0 = 0;
  OutImage->x1 = Columns;
  OutImage->y1 = Rows;
  if (!opj_setup_encoder(Encoder.get(), &p, OutImage.get()))
    return Fail(TErrorCode::Codec, "OpenJPEG refused to encode " + FileName + ": " + Messages);
  opj_codec_set_threads(Encoder.get(), CodecThreads());
  Sink = {&File, HeaderSize, HeaderSize, false};
  OutStream = WriteStream(Sink);
  if (!OutStream) return Fail(TErrorCode::Codec, FileName + ": OpenJPEG made no stream");
  if (!opj_start_compress(Encoder.get(), OutImage.get(), OutStream.get()))
    return EncodingFailed();
  return true;
}

bool TJp2Map2::EncodingFailed() {
  if (Sink.Failed) return Fail(TErrorCode::IO, "Writing " + FileName + ": " + File.ErrorText());
  return Fail(TErrorCode::Codec, "JPEG 2000 error in " + FileName + ": " +
                                     (Messages.empty() ? "OpenJPEG failed" : Messages));
}

uint8_t* TJp2Map2::Stage(uint32_t first, uint32_t count) {
  if (OpenMode != omCreate || count == 0 || first >= Rows || count > Rows - first) return nullptr;
  if (StageCount > 0 && first == StageFirst && count == StageCount) return StageCells.data();
  if (!CommitStage()) return nullptr;
  StageFirst = first;
  StageCount = count;
  StageCells.assign(count * RowBytes(), 0);
  return StageCells.data();
}

bool TJp2Map2::CommitStage() {
  const uint64_t rowBytes = RowBytes();
  for (uint32_t k = 0; k < StageCount; ++k)
    if (!PutRow(StageFirst + k, StageCells.data() + k * rowBytes)) return false;
  StageCount = 0;
  return true;
}

bool TJp2Map2::PutRow(uint32_t row, const uint8_t* data) {
  const uint32_t tileRow = row / Asked.BlockYSize;
  const uint64_t rowBytes = RowBytes();
  if (tileRow < TileRow)
    return Fail(TErrorCode::Internal, "Row " + std::to_string(row) + " of " + FileName +
                                          " came again after it was encoded");
  if (tileRow > TileRow) {
    if (!ScratchMade) {
      if (!Scratch.Create(ScratchDirectoryBeside(FileName), uint64_t{Rows} * rowBytes))
        return Fail(TErrorCode::IO, "Writing " + FileName +
                                        ": no scratch file for rows that come before their turn");
      ScratchMade = true;
    }
    if (const int code = Scratch.Write(data, rowBytes, uint64_t{row} * rowBytes))
      return Fail(TError::System(code, FileName + " (its scratch file)"));
    InScratch[row] = true;
    return true;
  }
  const uint32_t line = row - TileRow * Asked.BlockYSize;
  std::memcpy(TileRowCells.data() + line * rowBytes, data, rowBytes);
  if (!Have[line]) {
    Have[line] = true;
    ++HaveCount;
  }
  const uint32_t due = std::min(Asked.BlockYSize, Rows - TileRow * Asked.BlockYSize);
  while (HaveCount == due && TileRow * uint64_t{Asked.BlockYSize} < Rows) {
    if (!EncodeTileRow() || !LoadTileRow()) return false;
    if (TileRow * uint64_t{Asked.BlockYSize} >= Rows) break;
  }
  return true;
}

bool TJp2Map2::EncodeTileRow() {
  if (!Started && !StartCodestream()) return false;
  const uint32_t tileHeight = Asked.BlockYSize, tileWidth = Asked.BlockXSize;
  const uint32_t top = TileRow * tileHeight;
  const uint32_t height = std::min(tileHeight, Rows - top);
  const uint32_t across = (Columns + tileWidth - 1) / tileWidth;
  const uint64_t width = CellTypeWidth(CellType);
  const uint64_t rowBytes = RowBytes();
  for (uint32_t t = 0; t < across; ++t) {
    if (Stop && Stop->load()) return Fail(TErrorCode::Codec, "Encoding " + FileName + " stopped");
    const uint32_t left = t * tileWidth;
    const uint32_t w = std::min(tileWidth, Columns - left);
    const uint64_t plane = uint64_t{w} * height * width;
    TileCells.resize(plane * Bands);
    // OpenJPEG takes a tile's components one after the other.
    for (uint32_t b = 0; b < Bands; ++b) {
      uint8_t* out = TileCells.data() + b * plane;
      for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = TileRowCells.data() + y * rowBytes + (uint64_t{left} * Bands + b) * width;
        if (width == 1)
          for (uint32_t x = 0; x < w; ++x) *out++ = in[uint64_t{x} * Bands];
        else
          for (uint32_t x = 0; x < w; ++x, out += 2) std::memcpy(out, in + uint64_t{x} * Bands * 2, 2);
      }
    }
    if (!opj_write_tile(Encoder.get(), TileRow * across + t, TileCells.data(),
                        static_cast<OPJ_UINT32>(TileCells.size()), OutStream.get()))
      return EncodingFailed();
  }
  ++TileRow;
  return true;
}

bool TJp2Map2::LoadTileRow() {
  const uint64_t rowBytes = RowBytes();
  std::fill(TileRowCells.begin(), TileRowCells.end(), 0);
  std::fill(Have.begin(), Have.end(), false);
  HaveCount = 0;
  const uint32_t top = TileRow * Asked.BlockYSize;
  for (uint32_t r = top; r < std::min<uint64_t>(Rows, uint64_t{top} + Asked.BlockYSize); ++r) {
    if (!InScratch[r]) continue;
    if (const int code = Scratch.Read(TileRowCells.data() + (r - top) * rowBytes, rowBytes,
                                      uint64_t{r} * rowBytes))
      return Fail(TError::System(code, FileName + " (its scratch file)"));
    Have[r - top] = true;
    ++HaveCount;
  }
  return true;
}

bool TJp2Map2::FinishFile() {
  if (!CommitStage()) return false;
  // Rows never written are zeros.
  while (TileRow * uint64_t{Asked.BlockYSize} < Rows)
    if (!EncodeTileRow() || !LoadTileRow()) return false;
  if (!opj_end_compress(Encoder.get(), OutStream.get())) return EncodingFailed();
  OutStream.reset();
  if (Sink.Failed) return EncodingFailed();
  return CompleteFile(Sink.Position);
}

bool TJp2Map2::CompleteFile(uint64_t end) {
  if (Georef.NoData) {
    const std::string text = Jp2AuxXml(*Georef.NoData, Bands);
    TBinaryFile aux;
    if (!aux.Create(FileName + ".aux.xml", FileMaker()) || !aux.Write(text.data(), text.size()) ||
        !aux.Close())
      return Fail(TErrorCode::IO, "Writing " + FileName + ".aux.xml: " + aux.ErrorText());
  }
  if (Wrapped) {
    const std::array<uint8_t, 8> length = Jp2CodestreamBoxLength(end - HeaderSize);
    if (!File.WriteAt(Jp2CodestreamLengthOffset(HeaderSize), length.data(), length.size()))
      return Fail(TErrorCode::IO, "Writing " + FileName + ": " + File.ErrorText());
  }
  return true;
}

bool TJp2Map2::PlaceFile(const std::string& inputName, TPlacement placement) {
  if (OpenMode != omCreate || Started || placement != TPlacement::None)
    return Fail(TErrorCode::Internal, "A JPEG 2000 codestream is taken unchanged by kind 0 only");
  TFailureRecord record;
  TMappedFile input(record);
  if (!input.OpenMapping(inputName, omRead, 0, FilesInPlace())) return Fail(record.Error());
  const uint64_t size = input.GetFileSize();
  const uint64_t seen = std::min(size, input.UsableWindow());
  const uint8_t* bytes = input.MapRange(0, seen);
  if (!bytes) return Fail(record.Error());
  TJp2Boxes boxes;
  if (TError failed = ReadJp2Boxes(std::span<const uint8_t>(bytes, seen), inputName, boxes);
      failed.Failed())
    return Fail(std::move(failed));
  const uint64_t offset = boxes.Wrapped ? boxes.CodestreamOffset : 0;
  const uint64_t length = boxes.Wrapped ? boxes.CodestreamLength : size;
  TJ2kDecoder decoder;
  if (TError failed = decoder.Open(input, offset, length); failed.Failed())
    return Fail(std::move(failed).In("JPEG 2000 error in " + inputName + ": "));
  const TJ2kLayout& layout = decoder.Layout();
  if (layout.Width != Columns || layout.Height != Rows || layout.Components != Bands)
    return Fail(TErrorCode::Internal, inputName + " is not the image " + FileName + " was made for");
  Started = true;
  Placed = true;
  if (!WriteHeader(static_cast<uint8_t>(layout.Precision))) return false;
  TBinaryFile source;
  if (!source.OpenRead(inputName)) return Fail(TError::System(source.ErrorCode(), inputName));
  if (!File.CopyFrom(source, offset, length, HeaderSize))
    return Fail(TErrorCode::IO, "Writing " + FileName + ": " + File.ErrorText());
  if (PlaceProgress) PlaceProgress(Rows);
  return CompleteFile(HeaderSize + length);
}

bool TJp2Map2::WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) {
  return WriteCellExact(column, row, band, value);
}

bool TJp2Map2::WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) {
  if (OpenMode != omCreate || column >= Columns || row >= Rows || band >= Bands) return false;
  uint8_t* line = row >= StageFirst && row - StageFirst < StageCount
                      ? StageCells.data() + (row - StageFirst) * RowBytes()
                      : Stage(row, 1);
  if (!line) return false;
  const uint64_t width = CellTypeWidth(CellType);
  EncodeCellExact(line + (uint64_t{column} * Bands + band) * width, CellType, false, value);
  return true;
}

bool TJp2Map2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (OpenMode == omCreate && Writing) {
    Writing = false;
    ok = !Error().Failed() && (Placed || FinishFile());
    Encoder.reset();
    OutImage.reset();
    if (!File.Close() && ok)
      ok = Fail(TErrorCode::IO, "Closing " + FileName + ": " + File.ErrorText());
  }
  Cache.clear();
  if (!Mapped.CloseMapping() && ok) ok = FailIn("Closing " + FileName + ": ");
  return ok;
}

}  // namespace mirava
