// Creating a TIFF: a little-endian header with the GeoTIFF tags, then the
// pixels as one uncompressed strip. One or three bands of 8 or 16 bits get
// the fixed header of old; everything else (a palette too) an IFD laid out
// for it, in a BigTIFF when the offsets pass 4 GiB.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "dataset/ByteOrder.h"
#include "dataset/ScratchFile.h"
#include "formats/image/tiff/GeoTiffKeys.h"
#include "formats/image/tiff/TifMap.h"
#include "formats/image/tiff/TiffOptions.h"
#include "formats/image/tiff/TiffTags.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Where the parts of a created file's header lie.
constexpr uint16_t kCreatedEntries = 17;
constexpr uint32_t kIfdStart = 8;
constexpr uint32_t kBitsArray = 218;
constexpr uint32_t kFormatArray = 224;
constexpr uint32_t kXResolutionAt = 232;
constexpr uint32_t kYResolutionAt = 240;
constexpr uint32_t kPixelScaleAt = 248;
constexpr uint32_t kTiePointAt = 272;
constexpr uint32_t kGeoKeysAt = 320;
constexpr uint32_t kGeoKeysRoom = (kTiffHeaderSize - kGeoKeysAt) / 2;

// The header image is little-endian; values arrive as the widest field.
void Put16(uint8_t* p, uint32_t v) { StoreLE(p, static_cast<uint16_t>(v)); }
void Put32(uint8_t* p, uint32_t v) { StoreLE(p, v); }
void Put64(uint8_t* p, uint64_t v) { StoreLE(p, v); }
void PutDouble(uint8_t* p, double v) { StoreLE(p, v); }

// Room for the longest key directory GeoKeyDirectory makes, so that a new
// georeference never moves the pixels.
constexpr uint32_t kMostGeoKeys = 24;

// The most a copy of stored strips or tiles moves between two looks at the
// stop and the progress.
constexpr uint64_t kCopyPiece = 16u << 20;

}  // namespace

// One IFD: entries in tag order, each value that does not fit its entry's
// field after the IFD on an 8-byte boundary.
class TIfdImage {
 public:
  explicit TIfdImage(bool big) : Big(big) {}
  void Numbers(uint16_t tag, uint16_t type, const std::vector<uint64_t>& values, size_t room = 0) {
    const uint32_t size = type == ftShort ? 2 : type == ftLong ? 4 : 8;
    std::vector<uint8_t> bytes(std::max(values.size(), room) * size);
    for (size_t i = 0; i < values.size(); ++i) {
      uint8_t* p = bytes.data() + i * size;
      if (size == 2) Put16(p, static_cast<uint32_t>(values[i]));
      if (size == 4) Put32(p, static_cast<uint32_t>(values[i]));
      if (size == 8) Put64(p, values[i]);
    }
    Entries.push_back({tag, type, values.size(), std::move(bytes)});
  }
  void Doubles(uint16_t tag, const std::vector<double>& values) {
    std::vector<uint8_t> bytes(values.size() * 8);
    for (size_t i = 0; i < values.size(); ++i) PutDouble(bytes.data() + 8 * i, values[i]);
    Entries.push_back({tag, ftDouble, values.size(), std::move(bytes)});
  }
  void Ascii(uint16_t tag, const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    Entries.push_back({tag, ftAscii, bytes.size(), std::move(bytes)});
  }
  void Rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
    std::vector<uint8_t> bytes(8);
    Put32(bytes.data(), numerator);
    Put32(bytes.data() + 4, denominator);
    Entries.push_back({tag, ftRational, 1, std::move(bytes)});
  }
  // The file's header and this IFD, padded to a 16-byte boundary where the
  // pixels start.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> file = FileHeader();
    uint64_t link = Big ? 8 : 4;
    AppendTo(file, link);
    file.resize((file.size() + 15) / 16 * 16);
    return file;
  }
  std::vector<uint8_t> FileHeader() const {
    std::vector<uint8_t> h(Big ? 16 : 8);
    h[0] = h[1] = 'I';
    Put16(h.data() + 2, Big ? 43 : 42);
    if (Big) Put16(h.data() + 4, 8);
    return h;
  }
  // Appends the IFD to `file` on an 8-byte boundary, its values after it,
  // linked from the field at `link`, which becomes its own link field.
  void AppendTo(std::vector<uint8_t>& file, uint64_t& link) const {
    const uint64_t field = Big ? 8 : 4;
    const uint64_t ifdStart = (file.size() + 7) / 8 * 8;
    const uint64_t entrySize = Big ? 20 : 12;
    const uint64_t countSize = Big ? 8 : 2;
    uint64_t end = ifdStart + countSize + entrySize * Entries.size() + field;
    std::vector<uint8_t>& h = file;
    h.resize(end);
    if (Big) {
      Put64(h.data() + link, ifdStart);
      Put64(h.data() + ifdStart, Entries.size());
    } else {
      Put32(h.data() + link, static_cast<uint32_t>(ifdStart));
      Put16(h.data() + ifdStart, static_cast<uint32_t>(Entries.size()));
    }
    link = end - field;
    uint64_t at = ifdStart + countSize;
    for (const TEntry& e : Entries) {
      Put16(h.data() + at, e.Tag);
      Put16(h.data() + at + 2, e.Type);
      if (Big)
        Put64(h.data() + at + 4, e.Count);
      else
        Put32(h.data() + at + 4, static_cast<uint32_t>(e.Count));
      const uint64_t valueAt = at + (Big ? 12 : 8);
      if (e.Bytes.size() <= field) {
        std::copy(e.Bytes.begin(), e.Bytes.end(), h.begin() + valueAt);
      } else {
        end = (end + 7) / 8 * 8;
        if (Big)
          Put64(h.data() + valueAt, end);
        else
          Put32(h.data() + valueAt, static_cast<uint32_t>(end));
        h.resize(end + e.Bytes.size());
        std::copy(e.Bytes.begin(), e.Bytes.end(), h.begin() + end);
        end += e.Bytes.size();
      }
      at += entrySize;
    }
  }

 private:
  struct TEntry {
    uint16_t Tag, Type;
    uint64_t Count;
    std::vector<uint8_t> Bytes;
  };
  bool Big;
  std::vector<TEntry> Entries;
};

bool TTifMap2::CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows,
                          uint8_t cellType, uint32_t bands) {
  if (cellType == ctOneBit) {
    return Fail(TErrorCode::Refused, "Bit type not supported");
  }
  if (!CellTypeConvertible(cellType)) {
    return Fail(TErrorCode::Format, "TIFF files cannot hold " + CellTypeWords(cellType) + " cells");
  }
  if (bands == 0 || bands > 65535) {
    return Fail(TErrorCode::Format,
                "TIFF files hold 1 to 65535 bands, not " + std::to_string(bands));
  }
  if (columns == 0 || rows == 0) {
    return Fail(TErrorCode::Format, "TIFF size " + std::to_string(columns) + " x " +
                                        std::to_string(rows) + " is not valid");
  }
  TTiffOptions options;
  if (!Succeeded(ParseTiffOptions(CreationOptions, options)) ||
      !Succeeded(TiffOptionsRefusal(options, cellType, bands)))
    return false;
  Asked = options;
  CellType = cellType;
  SampleWidth = CellTypeWidth(cellType);
  const uint64_t pixels = uint64_t{columns} * rows * bands * SampleWidth;
  ImageWidth = columns;
  ImageLength = rows;
  SamplesPerPixel = static_cast<uint16_t>(bands);
  StripLineBytes = uint64_t{columns} * bands * SampleWidth;
  if (StripLineBytes > kLongestLine) {
    return Fail(TErrorCode::Format, "Buffer size is less than one line");
  }
  // Offsets of a classic TIFF are 32-bit; room for the largest open header
  // decides whether they reach the end of the pixels.
  if (!ChooseBigTiff(pixels + (uint64_t{64} << 20) > UINT32_MAX, options.Plain() ? pixels : 0))
    return false;
  // A palette needs an entry for every value of its cells.
  if (bands != 1 || (cellType != ctUnsigned8 && cellType != ctUnsigned16)) ColorTable.clear();
  if (!ColorTable.empty()) ColorTable.resize(size_t{1} << (8 * SampleWidth), {0, 0, 0});
  if (!ColorTable.empty() && options.Cog && options.OverviewCount != 0 &&
      (options.Resampling == TResampling::Average || options.Resampling == TResampling::Bilinear))
    return Fail(TErrorCode::Refused, std::string("RESAMPLING=") +
                                         (options.Resampling == TResampling::Average ? "AVERAGE"
                                                                                     : "BILINEAR") +
                                         " would mix a palette's indices: its overviews take "
                                         "NEAREST or MODE");
  if (!ColorTable.empty() && (options.Compression == tcJpeg || options.Compression == tcWebp))
    return Fail(TErrorCode::Refused, std::string("COMPRESS=") +
                                         (options.Compression == tcJpeg ? "JPEG" : "WEBP") +
                                         " would change a palette's indices, not only its colours");
  // Keys carried from a GeoTIFF input may need more room than the fixed
  // header has.
  const TGeoKeySet& carried = Georef.Crs.GeoKeys;
  const bool keysFit =
      carried.Directory.size() <= kMostGeoKeys && carried.Doubles.empty() && carried.Ascii.empty();
  FixedLayout = options.Plain() && (bands == 1 || bands == 3) && SampleWidth <= 2 && !BigTiff &&
                !Georef.NoData && !NeedsAffine() && ColorTable.empty() && keysFit &&
                PlacingPoints.empty();
  // The colours asked for, else those the input states, else RGB for three
  // or four samples of 8 or 16 bits (the fixed header's three of any) and
  // grey otherwise; the samples beyond the colours are extra samples.
  const uint16_t stated = Colours == TColours::WhiteIsZero   ? uint16_t{pmWhiteIsZero}
                          : Colours == TColours::BlackIsZero ? uint16_t{pmBlackIsZero}
                          : Colours == TColours::Rgb         ? uint16_t{pmRgb}
                          : Colours == TColours::Cmyk        ? uint16_t{pmCmyk}
                                                             : uint16_t{0xFFFF};
  if (options.Photometric != 0) {
    PhotoMetricInterpretation = options.Photometric - 1;
  } else if (stated != 0xFFFF && ColourSamples(stated) <= bands &&
             (stated != pmCmyk || cellType == ctUnsigned8 || cellType == ctUnsigned16)) {
    PhotoMetricInterpretation = stated;
  } else {
    PhotoMetricInterpretation = (bands == 3 || bands == 4) && SampleWidth <= 2 &&
                                        cellType != ctSigned8 && cellType != ctSigned16
                                    ? pmRgb
                                    : pmBlackIsZero;
    if (FixedLayout) PhotoMetricInterpretation = bands == 1 ? pmBlackIsZero : pmRgb;
  }
  if (!ColorTable.empty()) PhotoMetricInterpretation = pmPalette;
  // The fixed header has no extra samples.
  FixedLayout = FixedLayout && PhotoMetricInterpretation == (bands == 1 ? pmBlackIsZero : pmRgb);
  BitsPerSample.assign(bands, 8 * SampleWidth);
  SampleFormat.assign(bands, SampleFormatOf(cellType));
  if (!options.Plain()) return CreateEncoded(fileName, options);
  PixelStart = FixedLayout ? kTiffHeaderSize : HeaderRoom();
  if (!Mapped.OpenMapping(fileName, omCreate, pixels + PixelStart, FileMaker())) {
    return FailOpen("Open map write error=");
  }
  RowsPerStrip = rows;
  StripsPerPlane = 1;
  StripTable.assign(1, PixelStart);
  return WriteTiffHeader();
}

bool TTifMap2::CreateEncoded(const std::string& fileName, const TTiffOptions& options) {
  Encoded.Width = ImageWidth;
  Encoded.Length = ImageLength;
  Encoded.Samples = SamplesPerPixel;
  if (!Succeeded(ChunkLayout(options, CellType, Encoded))) return false;
  Encoded.Photometric = PhotoMetricInterpretation;
  Compression = Encoded.Compression;
  RowsPerStrip = Encoded.ChunkLength;
  const uint64_t across = Encoded.Tiled ? (ImageWidth - 1) / Encoded.ChunkWidth + 1 : 1;
  const uint64_t chunks = across * ((ImageLength - 1) / Encoded.ChunkLength + 1);
  // The largest the encoded pixels can grow to: LZW's codes are up to 12
  // bits for 8, the other codecs add a little to what they cannot shrink.
  const uint64_t raw =
      chunks * Encoded.ChunkWidth * Encoded.ChunkLength * SampleWidth * SamplesPerPixel;
  const uint64_t most = Compression == tcLzw ? raw / 2 * 3 : raw + raw / 64 + chunks * 64;
  ChunkByteCounts.assign(chunks, 0);
  StripTable.assign(chunks, 0);
  if (options.Cog) return CreateCog(fileName);
  BigTiff = false;
  PixelStart = HeaderRoom();
  // Until the pixels are encoded their size is a guess: BIGTIFF=NO is then
  // held to at Close.
  if (!ChooseBigTiff(PixelStart + most + (uint64_t{64} << 20) > UINT32_MAX, 0)) return false;
  PixelStart = HeaderRoom();
  if (!EncodedFile.Create(fileName, FileMaker())) {
    FailSystem(EncodedFile.ErrorCode());
    return FailOpen("Open map write error=");
  }
  // The header's room stays zeros until Close writes the header.
  if (!EncodedFile.WriteAt(0, std::vector<uint8_t>(PixelStart).data(), PixelStart))
    return Fail(TErrorCode::IO, "Writing " + fileName + ": " + EncodedFile.ErrorText());
  Encoder = std::make_unique<TTiffEncoder>(EncodedFile, PixelStart, Encoded);
  if (!Encoder->Start(MemoryLimit)) return Fail(Encoder->Error());
  StripTable.clear();
  return true;
}

bool TTifMap2::CreateCog(const std::string& fileName) {
  if (!EncodedFile.Create(fileName, FileMaker())) {
    FailSystem(EncodedFile.ErrorCode());
    return FailOpen("Open map write error=");
  }
  const std::string scratch = ScratchDirectoryBeside(fileName);
  if (!CogScratch.CreateScratch(scratch))
    return Fail(TErrorCode::IO, "No scratch file in " + scratch + ": " + CogScratch.ErrorText());
  const TResampling method = Asked.Resampling != TResampling::Auto ? Asked.Resampling
                             : ColorTable.empty()                 ? TResampling::Average
                                                                  : TResampling::Nearest;
  Overviews = std::make_unique<TTiffOverviews>(Encoded, Asked.OverviewCount, method, Georef.NoData);
  if (!Overviews->Start(scratch, MemoryLimit)) return Fail(Overviews->Error);
  Encoder = std::make_unique<TTiffEncoder>(CogScratch, 0, Encoded);
  Encoder->AnyOrder = true;
  Encoder->BlockDone = [this](uint32_t first, uint32_t rows, const uint8_t* data) {
    return Overviews->TakeRows(first, rows, data);
  };
  if (!Encoder->Start(MemoryLimit)) return Fail(Encoder->Error());
  StripTable.clear();
  return true;
}

bool TTifMap2::CanPlaceFile(const std::string& inputName, const std::vector<std::string>& options,
                            TPlacement placement) {
  TTiffOptions parsed;
  TStoredChunks stored;
  // A COG's overviews are made from the rows.
  if (placement != TPlacement::None || ParseTiffOptions(options, parsed).Failed() ||
      parsed.Plain() || parsed.Cog || !ReadCopyableChunks(inputName, stored).empty() ||
      TiffOptionsRefusal(parsed, stored.Pixels.CellType, stored.Pixels.Samples).Failed())
    return false;
  TTiffPixels wanted = stored.Pixels;
  return !ChunkLayout(parsed, stored.Pixels.CellType, wanted).Failed() &&
         ChunkDifference(stored.Pixels, wanted).empty();
}

bool TTifMap2::PlaceFile(const std::string& inputName, TPlacement placement) {
  if (!Encoder || placement != TPlacement::None)
    return Fail(TErrorCode::Internal, "TIFF strips or tiles are taken unchanged by kind 0 only");
  TStoredChunks stored;
  std::string why = ReadCopyableChunks(inputName, stored);
  if (why.empty()) why = ChunkDifference(stored.Pixels, Encoded);
  if (!why.empty())
    return Fail(TErrorCode::Format, "Tiff error " + inputName + " cannot be copied: " + why);
  // No row will come to be encoded.
  Encoder.reset();
  if (!CopyChunks(inputName, stored)) return false;
  Placed = true;
  return true;
}

bool TTifMap2::CopyChunks(const std::string& inputName, const TStoredChunks& stored) {
  const std::vector<uint64_t>& from = stored.Offsets;
  const std::vector<uint64_t>& bytes = stored.ByteCounts;
  uint64_t total = 0;
  for (const uint64_t n : bytes) total += n;
  // The pixels' size is known now: a BigTIFF only when it must be.
  StripTable.assign(from.size(), 0);
  BigTiff = false;
  PixelStart = HeaderRoom();
  if (!ChooseBigTiff(PixelStart + total + (uint64_t{64} << 20) > UINT32_MAX, total)) return false;
  PixelStart = HeaderRoom();
  TBinaryFile input;
  if (!input.OpenRead(inputName))
    return Fail(TErrorCode::IO, "Reading " + inputName + ": " + input.ErrorText());
  const uint32_t across = Encoded.Tiled ? (ImageWidth - 1) / Encoded.ChunkWidth + 1 : 1;
  uint64_t to = PixelStart;
  // Runs of chunks that follow each other in the input go in one copy, in
  // pieces that let a stop or the progress through.
  for (size_t i = 0; i < from.size();) {
    size_t end = i + 1;
    uint64_t run = bytes[i];
    while (end < from.size() && from[end] == from[i] + run && run + bytes[end] <= kCopyPiece)
      run += bytes[end++];
    if (!EncodedFile.CopyFrom(input, from[i], run, to)) {
      const bool shortInput = EncodedFile.ErrorCode() == EIO;
      return Fail(TErrorCode::IO, shortInput
                                      ? "Input " + inputName + " ended early"
                                      : "Writing " + FileName + ": " + EncodedFile.ErrorText());
    }
    for (; i < end; ++i) {
      StripTable[i] = to;
      ChunkByteCounts[i] = bytes[i];
      to += bytes[i];
    }
    const uint32_t rows = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{end / across} * Encoded.ChunkLength, ImageLength));
    if ((Stop && *Stop) || (PlaceProgress && !PlaceProgress(rows)))
      return Fail(TErrorCode::Internal, "Stopped");
  }
  return true;
}

bool TTifMap2::CloseCog() {
  // A stop still watched here discards the output: what is left of the
  // image and its overviews is not encoded for it.
  const auto going = [this] { return !(Stop && *Stop) || Fail(TErrorCode::Internal, "Stopped"); };
  bool ok = going();
  if (ok && !Encoder->Finish()) ok = Fail(Encoder->Error());
  // A stop is recorded by `going`; the overviews' own failure by them.
  if (ok && !Overviews->Finish(going))
    ok = Overviews->Error.Failed() ? Fail(Overviews->Error) : false;
  if (ok) ok = WriteCog();
  Encoder.reset();
  Overviews.reset();
  CogScratch.Close();
  if (!EncodedFile.Close() && ok)
    ok = Fail(TErrorCode::IO, "Closing " + FileName + ": " + EncodedFile.ErrorText());
  return ok;
}

bool TTifMap2::WriteCog() {
  // Level 0 is the image, then the overviews from the largest down.
  struct TSource {
    TBinaryFile* File;
    const TTiffEncoder* Encoder;
  };
  std::vector<TSource> sources = {{&CogScratch, Encoder.get()}};
  std::vector<TCogLevel> levels(1);
  levels[0].Width = ImageWidth;
  levels[0].Length = ImageLength;
  for (size_t k = 0; k < Overviews->Count(); ++k) {
    TTiffOverviews::TLevel& level = Overviews->Level(k);
    sources.push_back({&level.File, level.Encoder.get()});
    levels.push_back({level.Pixels.Width, level.Pixels.Length, {}, {}});
  }
  for (size_t k = 0; k < levels.size(); ++k) levels[k].ByteCounts = sources[k].Encoder->ByteCounts;
  // The tiles follow the IFDs, the smallest level's first.
  auto header = [&]() {
    StripTable = levels[0].Offsets;
    ChunkByteCounts = levels[0].ByteCounts;
    TIfdImage main(BigTiff);
    FillIfd(main, Georef.Placed, nullptr);
    std::vector<uint8_t> file = main.FileHeader();
    uint64_t link = BigTiff ? 8 : 4;
    main.AppendTo(file, link);
    for (size_t k = 1; k < levels.size(); ++k) {
      TIfdImage overview(BigTiff);
      FillIfd(overview, false, &levels[k]);
      overview.AppendTo(file, link);
    }
    file.resize((file.size() + 15) / 16 * 16);
    return file;
  };
  auto place = [&](uint64_t at) {
    for (size_t k = levels.size(); k-- > 0;) {
      levels[k].Offsets.resize(levels[k].ByteCounts.size());
      for (size_t t = 0; t < levels[k].ByteCounts.size(); ++t) {
        levels[k].Offsets[t] = at;
        at += levels[k].ByteCounts[t];
      }
    }
    return at;
  };
  BigTiff = Asked.BigTiff == TBigTiff::Yes;
  // The IFDs' size does not depend on where the tiles are.
  place(0);
  uint64_t end = place(header().size());
  if (!BigTiff && end > UINT32_MAX) {
    if (Asked.BigTiff == TBigTiff::No)
      return Fail(TErrorCode::Refused,
                  "BIGTIFF=NO: the COG needs " + std::to_string(end) +
                      " bytes, more than a classic TIFF holds (4 GiB)");
    BigTiff = true;
    end = place(header().size());
  }
  const std::vector<uint8_t> head = header();
  if (!EncodedFile.WriteAt(0, head.data(), head.size()))
    return Fail(TErrorCode::IO, "Writing " + FileName + ": " + EncodedFile.ErrorText());
  // Tiles that follow each other in their scratch file go in one copy, in
  // pieces that let a stop through.
  for (size_t k = levels.size(); k-- > 0;) {
    const std::vector<uint64_t>& from = sources[k].Encoder->Offsets;
    const std::vector<uint64_t>& bytes = levels[k].ByteCounts;
    for (size_t i = 0; i < from.size();) {
      size_t next = i + 1;
      uint64_t run = bytes[i];
      while (next < from.size() && from[next] == from[i] + run && run + bytes[next] <= kCopyPiece)
        run += bytes[next++];
      if (!EncodedFile.CopyFrom(*sources[k].File, from[i], run, levels[k].Offsets[i]))
        return Fail(TErrorCode::IO, "Writing " + FileName + ": " + EncodedFile.ErrorText());
      if (Stop && *Stop) return Fail(TErrorCode::Internal, "Stopped");
      i = next;
    }
  }
  return true;
}

bool TTifMap2::CloseEncoded() {
  if (Overviews) return CloseCog();
  bool ok = true;
  if (Encoder) {
    ok = Encoder->Finish();
    if (!ok) Fail(Encoder->Error());
    StripTable = Encoder->Offsets;
    ChunkByteCounts = Encoder->ByteCounts;
    Encoder.reset();
  }
  // The estimate of the largest size made this a BigTIFF when it had to be.
  if (ok && !BigTiff && EncodedFile.Size() > UINT32_MAX)
    ok = Asked.BigTiff == TBigTiff::No
             ? Fail(TErrorCode::Refused,
                    "TIFF output passed 4 GiB, which BIGTIFF=NO keeps a classic TIFF from holding")
             : Fail(TErrorCode::Internal, "TIFF output passed 4 GiB without being a BigTIFF");
  if (ok && !WriteTiffHeader())
    ok = Fail(TErrorCode::IO, "Writing the TIFF header: " + EncodedFile.ErrorText());
  if (!EncodedFile.Close() && ok)
    ok = Fail(TErrorCode::IO, "Closing " + FileName + ": " + EncodedFile.ErrorText());
  return ok;
}

bool TTifMap2::ChooseBigTiff(bool may, uint64_t bytes) {
  BigTiff = Asked.BigTiff == TBigTiff::Yes || (may && Asked.BigTiff != TBigTiff::No);
  if (may && bytes > 0 && Asked.BigTiff == TBigTiff::No)
    return Fail(TErrorCode::Refused, "BIGTIFF=NO: the pixels need " + std::to_string(bytes) +
                                         " bytes, more than a classic TIFF holds (4 GiB)");
  return true;
}

TError TTifMap2::CheckCreationOptions(const std::vector<std::string>& options) {
  TTiffOptions parsed;
  return ParseTiffOptions(options, parsed);
}

bool TTifMap2::WriteTiffHeader() {
  const std::vector<uint8_t> h = FixedLayout ? FixedHeader() : OpenHeader(Georef.Placed);
  if (h.size() > PixelStart) return false;
  if (!ChunkByteCounts.empty()) return EncodedFile.WriteAt(0, h.data(), h.size());
  uint8_t* head = Mapped.Reach(0, static_cast<uint32_t>(PixelStart));
  if (!head) return false;
  std::memcpy(head, h.data(), h.size());
  std::memset(head + h.size(), 0, PixelStart - h.size());
  return true;
}

uint64_t TTifMap2::HeaderRoom() {
  return std::max(OpenHeader(true).size(), OpenHeader(false).size());
}

std::vector<uint8_t> TTifMap2::OpenHeader(bool placed) {
  TIfdImage ifd(BigTiff);
  FillIfd(ifd, placed, nullptr);
  return ifd.Bytes();
}

void TTifMap2::FillIfd(TIfdImage& ifd, bool placed, const TCogLevel* overview) {
  const uint32_t samples = SamplesPerPixel;
  const uint64_t bytes = uint64_t{ImageWidth} * ImageLength * SampleWidth * samples;
  const TAffine a = GetGeoreference().Affine;
  const TGeoTiffOutput crs = GeoTiffOutputFor(Georef.Crs, Georef.Projection, Georef.Datum, a.X0);
  const std::vector<uint64_t> keys(crs.Keys.Directory.begin(), crs.Keys.Directory.end());
  const uint16_t offsetType = BigTiff ? ftLong8 : ftLong;
  const uint32_t colourSamples = ColourSamples(PhotoMetricInterpretation);
  // An overview states its pixels and no-data, nothing of where it lies.
  if (overview) {
    placed = false;
    ifd.Numbers(tgNewSubfileType, ftLong, {1});
  }
  ifd.Numbers(tgImageWidth, ftLong, {overview ? overview->Width : ImageWidth});
  ifd.Numbers(tgImageLength, ftLong, {overview ? overview->Length : ImageLength});
  ifd.Numbers(tgBitsPerSample, ftShort, std::vector<uint64_t>(samples, 8 * SampleWidth));
  // One strip of the mapped pixels, or the strips or tiles encoded.
  const bool encoded = !ChunkByteCounts.empty();
  const std::vector<uint64_t> offsets = overview  ? overview->Offsets
                                        : encoded ? StripTable
                                                  : std::vector<uint64_t>{PixelStart};
  const std::vector<uint64_t> counts = overview  ? overview->ByteCounts
                                       : encoded ? ChunkByteCounts
                                                 : std::vector<uint64_t>{bytes};
  const bool tiled = encoded && Encoded.Tiled;
  ifd.Numbers(tgCompression, ftShort, {encoded ? Encoded.Compression : uint16_t{tcNone}});
  ifd.Numbers(tgPhotoMetricInterpretation, ftShort, {PhotoMetricInterpretation});
  if (!tiled) ifd.Numbers(tgStripOffset, offsetType, offsets);
  ifd.Numbers(tgSamplesPerPixel, ftShort, {samples});
  if (!tiled) {
    ifd.Numbers(tgRowsPerStrip, ftLong, {encoded ? Encoded.ChunkLength : ImageLength});
    ifd.Numbers(tgStripByteCounts, offsetType, counts);
  }
  if (!overview) {
    ifd.Rational(tgXResolution, 1, 1);
    ifd.Rational(tgYResolution, 1, 1);
  }
  ifd.Numbers(tgPlanarConfiguration, ftShort, {1});
  if (!overview) ifd.Numbers(tgResolutionUnit, ftShort, {3});
  if (encoded && Encoded.Predictor != tpNone)
    ifd.Numbers(tgPredictor, ftShort, {Encoded.Predictor});
  if (!ColorTable.empty()) {
    std::vector<uint64_t> map(3 * ColorTable.size());
    for (size_t i = 0; i < ColorTable.size(); ++i)
      for (size_t c = 0; c < 3; ++c) map[c * ColorTable.size() + i] = ColorTable[i][c];
    ifd.Numbers(tgColorMap, ftShort, map);
  }
  if (tiled) {
    ifd.Numbers(tgTileWidth, ftLong, {Encoded.ChunkWidth});
    ifd.Numbers(tgTileLength, ftLong, {Encoded.ChunkLength});
    ifd.Numbers(tgTileOffsets, offsetType, offsets);
    ifd.Numbers(tgTileByteCounts, offsetType, counts);
  }
  if (samples > colourSamples)
    ifd.Numbers(tgExtraSamples, ftShort, std::vector<uint64_t>(samples - colourSamples, 0));
  ifd.Numbers(tgSampleFormat, ftShort, std::vector<uint64_t>(samples, SampleFormat[0]));
  if (PhotoMetricInterpretation == pmYCbCr) ifd.Numbers(tgYCbCrSubSampling, ftShort, {2, 2});
  const double originX = a.X0 - crs.EastingPrefix;
  // Tie point and scale state north-up rasters alone: readers take a
  // negative ScaleY as positive. (0.0 - x writes a turned raster's cell
  // size of 0 as 0, not -0.)
  if (placed && NeedsAffine()) {
    ifd.Doubles(tgModelTransformation, {a.CellSizeX, a.RowTermX, 0, originX, a.ColumnTermY,
                                        0.0 - a.CellSizeY, 0, a.Y0, 0, 0, 0, 0, 0, 0, 0, 1});
  } else if (placed) {
    ifd.Doubles(tgModelPixelScale, {a.CellSizeX, a.CellSizeY, 0});
    // Pixel-is-area: the tie point is the outer corner of pixel (0, 0).
    ifd.Doubles(tgModelTiePoint, {0, 0, 0, originX, a.Y0, 0});
  }
  // A raster placed by control points alone states them as tie points, in
  // the coordinate system of its keys.
  const bool tied = !placed && !overview && !PlacingPoints.empty();
  if (tied) ifd.Doubles(tgModelTiePoint, TiePointsOfControlPoints(PlacingPoints));
  if (placed || tied) {
    ifd.Numbers(tgGeoKeyDirectory, ftShort, keys, kMostGeoKeys);
    if (!crs.Keys.Doubles.empty()) ifd.Doubles(tgGeoDoubleParams, crs.Keys.Doubles);
    if (!crs.Keys.Ascii.empty()) ifd.Ascii(tgGeoAsciiParams, crs.Keys.Ascii);
  }
  if (Georef.NoData) ifd.Ascii(tgGdalNoData, FormatExact(*Georef.NoData, 0));
}

std::vector<uint8_t> TTifMap2::FixedHeader() {
  std::vector<uint8_t> image(kTiffHeaderSize);
  uint8_t* h = image.data();
  h[0] = h[1] = 'I';
  Put16(h + 2, 42);
  Put32(h + 4, kIfdStart);
  // A raster placed nowhere leaves out the last three entries.
  Put16(h + kIfdStart, Georef.Placed ? kCreatedEntries : kCreatedEntries - 3);
  uint8_t* entry = h + kIfdStart + 2;
  auto add = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(entry, tag);
    Put16(entry + 2, type);
    Put32(entry + 4, count);
    if (type == ftShort && count == 1)
      Put16(entry + 8, value);
    else
      Put32(entry + 8, value);
    entry += 12;
  };
  const uint32_t bits = 8 * SampleWidth;
  const uint32_t samples = SamplesPerPixel;
  const uint32_t format = SampleFormat.empty() ? uint32_t{sfUnsigned} : SampleFormat[0];
  const TAffine a = GetGeoreference().Affine;
  const TGeoTiffOutput crs = GeoTiffOutputFor(Georef.Crs, Georef.Projection, Georef.Datum, a.X0);
  const std::vector<uint16_t>& keys = crs.Keys.Directory;

  add(tgImageWidth, ftLong, 1, ImageWidth);
  add(tgImageLength, ftLong, 1, ImageLength);
  add(tgBitsPerSample, ftShort, samples, samples == 1 ? bits : kBitsArray);
  add(tgCompression, ftShort, 1, 1);
  add(tgPhotoMetricInterpretation, ftShort, 1, PhotoMetricInterpretation);
  add(tgStripOffset, ftLong, 1, kTiffHeaderSize);
  add(tgSamplesPerPixel, ftShort, 1, samples);
  add(tgRowsPerStrip, ftLong, 1, ImageLength);
  add(tgStripByteCounts, ftLong, 1,
      static_cast<uint32_t>(uint64_t{ImageWidth} * ImageLength * SampleWidth * samples));
  add(tgXResolution, ftRational, 1, kXResolutionAt);
  add(tgYResolution, ftRational, 1, kYResolutionAt);
  add(tgPlanarConfiguration, ftShort, 1, 1);
  add(tgResolutionUnit, ftShort, 1, 3);
  add(tgSampleFormat, ftShort, samples, samples == 1 ? format : kFormatArray);
  if (Georef.Placed) {
    add(tgModelPixelScale, ftDouble, 3, kPixelScaleAt);
    add(tgModelTiePoint, ftDouble, 6, kTiePointAt);
    add(tgGeoKeyDirectory, ftShort, static_cast<uint32_t>(keys.size()), kGeoKeysAt);
  }
  // The next-IFD link after the entries stays 0.
  for (uint32_t i = 0; i < 3; ++i) {
    Put16(h + kBitsArray + 2 * i, bits);
    Put16(h + kFormatArray + 2 * i, format);
  }
  Put32(h + kXResolutionAt, 1);
  Put32(h + kXResolutionAt + 4, 1);
  Put32(h + kYResolutionAt, 1);
  Put32(h + kYResolutionAt + 4, 1);
  PutDouble(h + kPixelScaleAt, a.CellSizeX);
  PutDouble(h + kPixelScaleAt + 8, a.CellSizeY);
  // Pixel-is-area: the tie point is the outer corner of pixel (0, 0).
  PutDouble(h + kTiePointAt + 24, a.X0 - crs.EastingPrefix);
  PutDouble(h + kTiePointAt + 32, a.Y0);
  for (size_t i = 0; i < keys.size() && i < kGeoKeysRoom; ++i)
    Put16(h + kGeoKeysAt + 2 * i, keys[i]);
  return image;
}

}  // namespace mirava
