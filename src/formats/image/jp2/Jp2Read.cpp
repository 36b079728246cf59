#include <algorithm>
#include <cstring>
#include <fstream>
#include <new>
#include <iterator>

#include "dataset/MemoryBudget.h"
#include "formats/image/jp2/Jp2Boxes.h"
#include "formats/image/jp2/Jp2Map.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"

namespace mirava {

namespace {

// A band, its cells and OpenJPEG's 32-bit samples of them, takes at most
// this share of the stores' memory.
constexpr uint64_t kBandShare = 8;
// Bands split from one tile are whole code-blocks high.
constexpr uint32_t kCodeBlockRows = 64;

template <typename T>
void PutSamples(const opj_image_comp_t& comp, uint32_t components, uint32_t component,
                uint8_t* cells, uint64_t count) {
  const int64_t low = comp.sgnd ? -(int64_t{1} << (comp.prec - 1)) : 0;
  const int64_t high = comp.sgnd ? (int64_t{1} << (comp.prec - 1)) - 1
                                 : (int64_t{1} << comp.prec) - 1;
  T* out = reinterpret_cast<T*>(cells) + component;
  for (uint64_t i = 0; i < count; ++i)
    out[i * components] = static_cast<T>(std::clamp<int64_t>(comp.data[i], low, high));
}

// The bytes of a sample OpenJPEG hands over a tile at a time.
uint32_t TileSampleBytes(uint32_t precision) {
  return precision <= 8 ? 1 : precision <= 16 ? 2 : 4;
}

// A tile's planes, one a component, into interleaved cells `rowStride`
// bytes a row.
template <typename T>
void InterleaveTile(const uint8_t* planes, uint64_t width, uint64_t height, uint32_t components,
                    uint8_t* cells, uint64_t rowStride) {
  for (uint32_t c = 0; c < components; ++c)
    for (uint64_t y = 0; y < height; ++y) {
      const T* in = reinterpret_cast<const T*>(planes) + (c * height + y) * width;
      T* out = reinterpret_cast<T*>(cells + y * rowStride) + c;
      for (uint64_t x = 0; x < width; ++x) out[x * components] = in[x];
    }
}

}  // namespace

TError TJ2kDecoder::Open(TMappedFile& file, uint64_t offset, uint64_t length, uint32_t reduce) {
  Input = {&file, offset, length, 0};
  Reduce = reduce;
  Used = false;
  TilesInOrder = true;
  Failure = {};
  if (TError failed = Start(); failed.Failed()) return failed;
  const opj_image_t& image = *Image;
  if (image.numcomps == 0 || image.x1 <= image.x0 || image.y1 <= image.y0)
    return TError::Format("the codestream holds no image");
  const opj_image_comp_t& first = image.comps[0];
  for (uint32_t c = 0; c < image.numcomps; ++c) {
    const opj_image_comp_t& comp = image.comps[c];
    if (comp.dx != 1 || comp.dy != 1)
      return TError::Format("component " + std::to_string(c + 1) +
                            " is subsampled, which Mirava does not read");
    if (comp.prec != first.prec || comp.sgnd != first.sgnd)
      return TError::Format("its components differ in precision or sign, which Mirava does "
                            "not read");
  }
  if (first.prec < 1 || first.prec > 31)
    return TError::Format(std::to_string(first.prec) + "-bit samples");
  Geometry = {};
  Geometry.X0 = image.x0;
  Geometry.Y0 = image.y0;
  Geometry.Width = image.x1 - image.x0;
  Geometry.Height = image.y1 - image.y0;
  Geometry.Components = image.numcomps;
  Geometry.Precision = first.prec;
  Geometry.Signed = first.sgnd != 0;
  opj_codestream_info_v2_t* info = opj_get_cstr_info(Codec.get());
  if (!info) return TError::Format("no codestream information");
  Geometry.TileX0 = info->tx0;
  Geometry.TileY0 = info->ty0;
  Geometry.TileWidth = info->tdx;
  Geometry.TileHeight = info->tdy;
  Geometry.TilesAcross = info->tw;
  Geometry.TilesDown = info->th;
  Geometry.Resolutions =
      info->m_default_tile_info.tccp_info ? info->m_default_tile_info.tccp_info[0].numresolutions
                                          : 1;
  opj_destroy_cstr_info(&info);
  if (Geometry.TileWidth == 0 || Geometry.TileHeight == 0)
    return TError::Format("tiles of no size");
  return {};
}

TError TJ2kDecoder::Start() {
  Stream.reset();
  Image.reset();
  Messages.clear();
  Codec.reset(opj_create_decompress(OPJ_CODEC_J2K));
  if (!Codec) return TError::Codec("OpenJPEG made no decoder");
  CollectErrors(Codec.get(), Messages);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  parameters.cp_reduce = Reduce;
  if (!opj_setup_decoder(Codec.get(), &parameters))
    return TError::Codec("OpenJPEG: " + Messages);
  opj_codec_set_threads(Codec.get(), CodecThreads());
  Input.Position = 0;
  Stream = ReadStream(Input);
  if (!Stream) return TError::Codec("OpenJPEG made no stream");
  opj_image_t* image = nullptr;
  const bool read = opj_read_header(Stream.get(), Codec.get(), &image);
  Image.reset(image);
  if (!read || !image)
    return TError::Format(Messages.empty() ? "its codestream header does not read" : Messages);
  Used = false;
  NextTileRow = 0;
  return {};
}

// A reduced level's grid: the reference grid's bounds divided, rounding up.
static uint32_t ReducedExtent(uint32_t from, uint32_t extent, uint32_t reduce) {
  const uint64_t step = uint64_t{1} << reduce;
  return static_cast<uint32_t>((from + uint64_t{extent} + step - 1) / step - (from + step - 1) / step);
}

uint32_t TJ2kDecoder::DecodedWidth() const {
  return ReducedExtent(Geometry.X0, Geometry.Width, Reduce);
}

uint32_t TJ2kDecoder::DecodedHeight() const {
  return ReducedExtent(Geometry.Y0, Geometry.Height, Reduce);
}

TError TJ2kDecoder::Decode(uint32_t first, uint32_t count, uint8_t cellType, uint8_t* cells) {
  if (Failure.Failed()) return Failure;
  if (TilesInOrder && TileByTile(first, count, cellType)) {
    bool inOrder = true;
    Failure = DecodeTiles(first, count, cells, inOrder);
    if (Failure.Failed() || inOrder) return Failure;
    TilesInOrder = false;
  }
  Failure = DecodeArea(first, count, cellType, cells);
  return Failure;
}

bool TJ2kDecoder::TileByTile(uint32_t first, uint32_t count, uint8_t cellType) const {
  const TJ2kLayout& g = Geometry;
  if (Reduce > 0 || uint64_t{g.TilesAcross} * g.TilesDown < 2 ||
      TileSampleBytes(g.Precision) != CellTypeWidth(cellType))
    return false;
  const uint64_t tileRow = (uint64_t{g.Y0} + first - g.TileY0) / g.TileHeight;
  const uint64_t top = std::max<uint64_t>(g.Y0, g.TileY0 + tileRow * g.TileHeight);
  const uint64_t bottom =
      std::min<uint64_t>(uint64_t{g.Y0} + g.Height, g.TileY0 + (tileRow + 1) * g.TileHeight);
  return top == uint64_t{g.Y0} + first && bottom == top + count;
}

TError TJ2kDecoder::DecodeTiles(uint32_t first, uint32_t count, uint8_t* cells, bool& inOrder) {
  const TJ2kLayout& g = Geometry;
  const uint32_t tileRow = (g.Y0 + first - g.TileY0) / g.TileHeight;
  // A codec read on from the row before goes on; any other starts again,
  // the tiles above skipped.
  if (NextTileRow != tileRow) {
    if (TError failed = Start(); failed.Failed()) return failed;
    if (first > 0 &&
        !opj_set_decode_area(Codec.get(), Image.get(), static_cast<OPJ_INT32>(g.X0),
                             static_cast<OPJ_INT32>(g.Y0 + first),
                             static_cast<OPJ_INT32>(g.X0 + g.Width),
                             static_cast<OPJ_INT32>(g.Y0 + g.Height)))
      return TError::Format(Messages);
  }
  NextTileRow = kNoTileRow;
  Used = true;
  const uint32_t bytes = TileSampleBytes(g.Precision);
  const uint64_t rowStride = uint64_t{g.Width} * g.Components * bytes;
  std::vector<bool> done(g.TilesAcross);
  for (uint32_t n = 0; n < g.TilesAcross; ++n) {
    OPJ_UINT32 index = 0, size = 0, components = 0;
    OPJ_INT32 x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    OPJ_BOOL more = OPJ_FALSE;
    if (!opj_read_tile_header(Codec.get(), Stream.get(), &index, &size, &x0, &y0, &x1, &y1,
                              &components, &more))
      return TError::Format(Messages.empty() ? "a tile's header does not read" : Messages);
    const uint64_t width = static_cast<uint64_t>(x1) - static_cast<uint64_t>(x0);
    if (!more || index / g.TilesAcross != tileRow || done[index % g.TilesAcross] ||
        components != g.Components || static_cast<uint64_t>(x0) < g.X0 ||
        static_cast<uint64_t>(x1) > uint64_t{g.X0} + g.Width || x1 <= x0 ||
        static_cast<uint64_t>(y0) != uint64_t{g.Y0} + first ||
        static_cast<uint64_t>(y1) != uint64_t{g.Y0} + first + count ||
        size != width * count * components * bytes) {
      inOrder = false;
      return {};
    }
    done[index % g.TilesAcross] = true;
    TileSamples.resize(size);
    if (!opj_decode_tile_data(Codec.get(), index, TileSamples.data(), size, Stream.get()))
      return TError::Format(Messages.empty() ? "a tile does not decode" : Messages);
    uint8_t* out = cells + (static_cast<uint64_t>(x0) - g.X0) * components * bytes;
    if (components == 1)
      for (uint64_t y = 0; y < count; ++y)
        std::memcpy(out + y * rowStride, TileSamples.data() + y * width * bytes, width * bytes);
    else if (bytes == 1)
      InterleaveTile<uint8_t>(TileSamples.data(), width, count, components, out, rowStride);
    else if (bytes == 2)
      InterleaveTile<uint16_t>(TileSamples.data(), width, count, components, out, rowStride);
    else
      InterleaveTile<uint32_t>(TileSamples.data(), width, count, components, out, rowStride);
  }
  NextTileRow = tileRow + 1;
  return {};
}

TError TJ2kDecoder::DecodeArea(uint32_t first, uint32_t count, uint8_t cellType, uint8_t* cells) {
  // A codec decodes a single tile in part again and again; one of many
  // tiles only once.
  const bool oneTile = Geometry.TilesAcross * Geometry.TilesDown == 1;
  if (Used && (!oneTile || Reduce > 0))
    if (TError failed = Start(); failed.Failed()) return failed;
  Used = true;
  NextTileRow = kNoTileRow;
  if (Reduce == 0 &&
      !opj_set_decode_area(Codec.get(), Image.get(), static_cast<OPJ_INT32>(Geometry.X0),
                           static_cast<OPJ_INT32>(Geometry.Y0 + first),
                           static_cast<OPJ_INT32>(Geometry.X0 + Geometry.Width),
                           static_cast<OPJ_INT32>(Geometry.Y0 + first + count)))
    return TError::Format(Messages);
  if (!opj_decode(Codec.get(), Stream.get(), Image.get()))
    return TError::Format(Messages.empty() ? "its codestream does not decode" : Messages);
  const opj_image_t& image = *Image;
  const uint64_t width = image.comps[0].w;
  if (image.numcomps != Geometry.Components || width != DecodedWidth() ||
      image.comps[0].h != (Reduce == 0 ? count : DecodedHeight()))
    return TError::Format("OpenJPEG decoded another area than asked for");
  const uint64_t samples = width * image.comps[0].h;
  for (uint32_t c = 0; c < image.numcomps; ++c) {
    const opj_image_comp_t& comp = image.comps[c];
    if (!comp.data || uint64_t{comp.w} * comp.h != samples)
      return TError::Format("OpenJPEG decoded no samples of component " + std::to_string(c + 1));
    switch (CellTypeWidth(cellType)) {
      case 1:
        PutSamples<uint8_t>(comp, image.numcomps, c, cells, samples);
        break;
      case 2:
        PutSamples<uint16_t>(comp, image.numcomps, c, cells, samples);
        break;
      default:
        PutSamples<uint32_t>(comp, image.numcomps, c, cells, samples);
    }
  }
  return {};
}

TJp2Map2::~TJp2Map2() { Close(); }

bool TJp2Map2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  BeginOpen(fileName, mode);
  Closed = false;
  ResetGeoreference();
  Cache.clear();
  CacheBytes = 0;
  if (mode == omCreate) return CreateFile(fileName, columns, rows, cellType, bands);
  if (mode != omRead) return Fail(TErrorCode::Format, fileName + ": JPEG 2000 files are read only");
  return OpenExisting(fileName, true);
}

bool TJp2Map2::OpenRead(const std::string& fileName) {
  BeginOpen(fileName, omRead);
  Closed = false;
  ResetGeoreference();
  return OpenExisting(fileName, false) && Mapped.CloseMapping();
}

bool TJp2Map2::OpenExisting(const std::string& fileName, bool cells) {
  if (!Mapped.OpenMapping(fileName, omRead, 0, FileMaker())) return FailIn(fileName + ": ");
  const uint64_t size = Mapped.GetFileSize();
  uint64_t offset = 0, length = size;
  TJp2Boxes boxes;
  const uint64_t seen = std::min(size, Mapped.UsableWindow());
  const uint8_t* bytes = Mapped.MapRange(0, seen);
  if (!bytes) return FailIn(fileName + ": ");
  if (TError failed = ReadJp2Boxes(std::span<const uint8_t>(bytes, seen), fileName, boxes);
      failed.Failed())
    return Fail(std::move(failed));
  if (boxes.Wrapped) {
    offset = boxes.CodestreamOffset;
    length = boxes.CodestreamLength;
  }
  if (offset > size || length > size - offset)
    return Fail(TErrorCode::Format, fileName + ": its codestream lies past the end of the file");
  if (TError failed = Decoder.Open(Mapped, offset, length); failed.Failed())
    return Fail(std::move(failed).In("JPEG 2000 error in " + fileName + ": "));
  const TJ2kLayout& layout = Decoder.Layout();
  Columns = layout.Width;
  Rows = layout.Height;
  Bands = layout.Components;
  if (Columns > INT32_MAX || Rows > INT32_MAX || Bands > 65535)
    return Fail(TErrorCode::Format, fileName + ": an image of " + std::to_string(Columns) + " x " +
                                        std::to_string(Rows) + " x " + std::to_string(Bands));
  CellType = layout.Precision <= 8    ? (layout.Signed ? ctSigned8 : ctUnsigned8)
             : layout.Precision <= 16 ? (layout.Signed ? ctSigned16 : ctUnsigned16)
                                      : (layout.Signed ? ctSigned32 : ctUnsigned32);
  if (boxes.Georeference.Placed || !boxes.Georeference.Crs.Empty()) Georef = boxes.Georeference;
  Georef.NoData = boxes.Georeference.NoData;
  // GDAL keeps the no-data value beside the file.
  if (const std::string aux = fileName + ".aux.xml"; !Georef.NoData && FileExists(aux)) {
    std::ifstream in(aux, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Georef.NoData = NoDataOfAuxXml(text);
  }
  for (const TGCPoint& point : boxes.ControlPoints) ControlPoints->Add(&point);
  if (boxes.Palette && Bands == 1) ColorTable = boxes.PaletteColours;
  if (ControlPoints->Count() == 0) {
    const std::string gcp = FindCompanion(fileName, ".gcp");
    if (!gcp.empty()) ControlPoints->LoadFromFile(gcp);
  }
  if (cells) PlanBands();
  return true;
}

void TJp2Map2::SamplingOnly(uint32_t columns, uint32_t rows) {
  if (OpenMode == omCreate || !Mapped.IsOpen()) return;
  const TJ2kLayout& layout = Decoder.Layout();
  uint32_t reduce = 0;
  while (reduce + 1 < layout.Resolutions && (Columns >> (reduce + 1)) >= columns &&
         (Rows >> (reduce + 1)) >= rows)
    ++reduce;
  if (reduce == 0) return;
  // The first component at least must be there; a reduced image that does
  // not decode leaves the full one to be read.
  TJ2kDecoder reduced;
  if (reduced.Open(Mapped, Decoder.Source().Offset, Decoder.Source().Length, reduce).Failed())
    return;
  std::vector<uint8_t> cells(uint64_t{reduced.DecodedWidth()} * reduced.DecodedHeight() * Bands *
                             CellTypeWidth(CellType));
  if (reduced.Decode(0, 0, CellType, cells.data()).Failed()) return;
  ReducedCells = std::move(cells);
  ReducedWidth = reduced.DecodedWidth();
  ReducedHeight = reduced.DecodedHeight();
}

uint32_t TJp2Map2::SignificantBits() {
  const uint32_t width = CellTypeWidth(CellType) * 8;
  if (OpenMode == omCreate) return PlannedBits > 0 && PlannedBits < width ? PlannedBits : 0;
  return Decoder.Layout().Precision < width ? Decoder.Layout().Precision : 0;
}

uint64_t TJp2Map2::RowBytes() const {
  return uint64_t{Columns} * Bands * CellTypeWidth(CellType);
}

void TJp2Map2::PlanBands() {
  const TJ2kLayout& layout = Decoder.Layout();
  const uint64_t job = JobMemory(MemoryLimit);
  const uint64_t stores = StoreMemory(job);
  // An image that fits the job's memory is swept again and again by a
  // quarter turn, as a mapped input would be: it is decoded once and kept.
  const uint64_t image = uint64_t{Rows} * RowBytes();
  CacheBudget = std::max(stores, image <= job ? image : 0);
  // Decoded as an area: cells and OpenJPEG's 32-bit samples of each row.
  const uint64_t rowCost = RowBytes() + uint64_t{Columns} * Bands * 4;
  const uint64_t fitRows = std::max<uint64_t>(kCodeBlockRows, stores / kBandShare / rowCost);
  BandStarts.clear();
  for (uint64_t top = 0; top < Rows;) {
    const uint64_t tileEnd =
        layout.TileY0 +
        ((layout.Y0 + top - layout.TileY0) / layout.TileHeight + 1) * uint64_t{layout.TileHeight};
    const uint64_t end = std::min<uint64_t>(tileEnd - layout.Y0, Rows);
    // Tile by tile: the row's cells, and one tile's 32-bit samples and
    // their copy.
    const uint64_t tileCost = (end - top) * std::min(layout.TileWidth, Columns) * Bands *
                              (4 + CellTypeWidth(CellType));
    const bool whole =
        Decoder.TileByTile(static_cast<uint32_t>(top), static_cast<uint32_t>(end - top),
                           CellType) &&
        (end - top) * RowBytes() + tileCost <= stores / kBandShare;
    const uint64_t parts = whole ? 1 : (end - top + fitRows - 1) / fitRows;
    const uint64_t step =
        ((end - top + parts - 1) / parts + kCodeBlockRows - 1) / kCodeBlockRows * kCodeBlockRows;
    for (uint64_t r = top; r < end; r += step) BandStarts.push_back(static_cast<uint32_t>(r));
    top = end;
  }
  BandStarts.push_back(Rows);
}

uint32_t TJp2Map2::BlockRows() {
  if (OpenMode == omCreate)
    return std::min(Rows, Asked.BlockYSize);
  uint32_t most = 0;
  for (size_t i = 0; i + 1 < BandStarts.size(); ++i)
    most = std::max(most, BandStarts[i + 1] - BandStarts[i]);
  return most;
}

TJp2Map2::TBand* TJp2Map2::BandOf(uint32_t row) {
  if (row >= Rows || BandStarts.size() < 2) return nullptr;
  const size_t index =
      std::upper_bound(BandStarts.begin(), BandStarts.end(), row) - BandStarts.begin() - 1;
  const uint32_t first = BandStarts[index];
  for (TBand& band : Cache)
    if (band.First == first) {
      band.Used = ++Uses;
      return &band;
    }
  const uint32_t count = BandStarts[index + 1] - first;
  const uint64_t bytes = count * RowBytes();
  // The oldest bands go while the new one would not fit beside them; two
  // stay, for a block across their border.
  while (Cache.size() >= 2 && CacheBytes + bytes > CacheBudget) {
    auto oldest = std::min_element(Cache.begin(), Cache.end(),
                                   [](const TBand& a, const TBand& b) { return a.Used < b.Used; });
    CacheBytes -= oldest->Cells.size();
    Cache.erase(oldest);
  }
  TBand band{first, count, {}, ++Uses};
  try {
    band.Cells.resize(bytes);
  } catch (const std::bad_alloc&) {
    Fail(TErrorCode::IO, FileName + ": no memory for " + std::to_string(count) +
                             " decoded rows of " + std::to_string(RowBytes()) + " bytes");
    return nullptr;
  }
  if (TError failed = Decoder.Decode(first, count, CellType, band.Cells.data()); failed.Failed()) {
    Fail(std::move(failed).In("JPEG 2000 error in " + FileName + " at row " +
                              std::to_string(first) + ": "));
    return nullptr;
  }
  CacheBytes += bytes;
  Cache.push_back(std::move(band));
  return &Cache.back();
}

void TJp2Map2::ReadingRowsOnce(uint32_t first, uint64_t) {
  std::erase_if(Cache, [&](const TBand& band) {
    const bool done = band.First + band.Count <= first;
    if (done) CacheBytes -= band.Cells.size();
    return done;
  });
}

bool TJp2Map2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (OpenMode == omCreate) {
    uint8_t* data = Stage(first, count);
    if (!data) return false;
    BlockLayout(block);
    block.Data = data;
    return true;
  }
  if (count == 0 || first >= Rows || count > Rows - first) return false;
  TBand* band = BandOf(first);
  if (!band) return false;
  const uint64_t rowBytes = RowBytes();
  BlockLayout(block);
  if (first + count <= band->First + band->Count) {
    block.Data = band->Cells.data() + (first - band->First) * rowBytes;
    return true;
  }
  Joint.resize(count * rowBytes);
  for (uint32_t r = first; r < first + count;) {
    TBand* part = BandOf(r);
    if (!part) return false;
    const uint32_t n = std::min(first + count, part->First + part->Count) - r;
    std::memcpy(Joint.data() + (r - first) * rowBytes,
                part->Cells.data() + (r - part->First) * rowBytes, n * rowBytes);
    r += n;
  }
  block.Data = Joint.data();
  return true;
}

bool TJp2Map2::BlockLayout(TCellBlock& layout) {
  const int64_t width = CellTypeWidth(CellType);
  layout.Data = nullptr;
  layout.RowStride = static_cast<int64_t>(RowBytes());
  layout.BandStride = width;
  layout.ColumnStride = width * Bands;
  layout.CellType = CellType;
  layout.MSBFirst = false;
  return true;
}

bool TJp2Map2::ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) {
  value = 0;
  if (OpenMode == omCreate || column >= Columns || row >= Rows || band >= Bands) return false;
  if (ReducedWidth > 0) {
    const uint64_t x = uint64_t{column} * ReducedWidth / Columns;
    const uint64_t y = uint64_t{row} * ReducedHeight / Rows;
    value = DecodeCellExact(ReducedCells.data() + ((y * ReducedWidth + x) * Bands + band) *
                                                      CellTypeWidth(CellType),
                            CellType, false);
    return true;
  }
  const TBand* cells = BandOf(row);
  if (!cells) return false;
  const uint64_t width = CellTypeWidth(CellType);
  value = DecodeCellExact(cells->Cells.data() + (row - cells->First) * RowBytes() +
                              (uint64_t{column} * Bands + band) * width,
                          CellType, false);
  return true;
}

}  // namespace mirava
