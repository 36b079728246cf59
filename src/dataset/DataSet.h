// The single entry point to raster files and the registry of formats:
// recognises a file's format, opens its reader or creates its writer, and
// forwards every request to it.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dataset/DataSetRoot.h"
#include "dataset/OutputChecks.h"

namespace mirava {

enum : int {
  fcNoFile = -1,
  fcUnknown = 0,
  fcErs = 1,
  fcOsd = 2,
  fcTiff = 3,
  fcGif = 4,
  fcBmp = 5,
  fcDtm = 6,
  fcNog = 7,
  fcJpeg = 8,
  fcVeg = 9,
  fcEcw = 10,
  fcDcr = 11,
  fcRsw = 12,
  fcBit = 13,
  fcQuad = 14,
  fcHgt = 15,
  fcByt = 16,
  fcJp2 = 17,
};

using TFormatFactory = std::unique_ptr<TDataSetRoot2> (*)();
using TFormatFileList = std::vector<std::string> (*)(const std::string&);
// Why an output of a format cannot hold such a raster (a TError of code
// Refused); no failure when it can.
using TWriteRefusal = TError (*)(const TRasterShape&);
// What is wrong with creation options ("COMPRESS=DEFLATE") for an output of
// a format (a TError of code Refused); no failure when they are right.
using TOptionsCheck = TError (*)(const std::vector<std::string>&);

// What an output of a format makes of a one-band input with a colour table.
enum class TPaletteUse {
  Indices,  // the cells, without their colours
  Table,    // the cells and the table
  Colors,   // three bands of the cells' colours
};

// First bytes that tell a format's files apart: `Length` bytes equal to
// `Bytes`, in any letter case when `AnyCase`.
struct TSignature {
  const char* Bytes = nullptr;
  size_t Length = 0;
  bool AnyCase = false;
};

// Whether a file's extension names its format: never (the signature alone
// does), when no signature matches, or before any signature is looked at.
enum class TByExtension { Never, Fallback, First };

// How the window's save dialog offers a format: its entry, from 1 (0: not
// offered), with the entry's description and patterns; a name typed without
// an extension gets the format's first. The open dialog offers every format
// with a reader, by its extensions.
struct TDialogOffer {
  int SaveEntry = 0;
  const char* Description = "";
  const char* Patterns = "";
};

// Everything the program knows of one format. The facade, the job, the
// window, `mirava-cli --formats` and the fuzz targets read it from
// FormatEntries().
struct TFormatEntry {
  int Code;
  const char* Name;
  const char* Key;  // short and lower-case: fuzz targets, corpora
  // As a user types them, blank-separated; a file name ending in one of
  // them in any case names the format, and nothing else does.
  const char* Extensions;
  std::array<TSignature, 2> Signatures{};
  TByExtension ByExtension = TByExtension::Never;
  TFormatFactory Create = nullptr;
  TFormatFileList Files = nullptr;
  bool ReadsControlPointFile = false;
  const char* Reads = "";   // what the reader takes, in words
  const char* Writes = "";  // what an output holds, in words
  // Checked before any file of an output exists.
  TWriteRefusal Refusal = nullptr;
  // An output holds any affine georeference: rotation terms, and columns
  // or rows that run either way (others hold north-up ones alone).
  bool HoldsAffine = false;
  TPaletteUse Palette = TPaletteUse::Indices;
  // The creation options an output takes; none when null.
  TOptionsCheck CheckCreationOptions = nullptr;
  TDialogOffer Dialog{};
};

std::span<const TFormatEntry> FormatEntries();
// The refusal of the format `code` for its output of an input of this
// shape; no failure when it takes it.
TError WriteRefusal(int code, const TRasterShape& shape);
bool HoldsAffine(int code);
TPaletteUse PaletteUse(int code);
// The raster an output of the format `code` holds of an input of this
// shape: the input's own, or three bands of bytes for the colours of a
// palette.
TRasterShape OutputShape(int code, const TRasterShape& input);
// What is wrong with `options` for an output of the format `code` (any for
// a format that takes none), a TError of code Refused; no failure when
// nothing is.
TError CreationOptionsRefusal(int code, const std::vector<std::string>& options);

// The first of a format's extensions (".tif" of ".tif .tiff").
std::string FirstExtension(const TFormatEntry& entry);
int FormatFromExtension(const std::string& fileName);
// The format an output of this name is written in: that of its extension
// when Mirava writes it, fcUnknown otherwise (".gif", ".ersx").
int OutputFormat(const std::string& fileName);
// fcNoFile for a missing file; fcUnknown, with the reason in `ioError` when
// given, for a file whose first bytes cannot be read.
int FormatFromSignature(const std::string& fileName, TError* ioError = nullptr);
// Display name of a format code ("ER Mapper", "TIFF", ...).
std::string FormatName(int code);
// Every file a dataset of this format reads (asOutput false) or writes
// (asOutput true) for the given name; the ".gcp" of an output included.
std::vector<std::string> FormatFiles(int code, const std::string& fileName, bool asOutput);

// Whether the input file can be placed by `placement` into the output as a whole
// file, without its cells being decoded: a JPEG into a JPEG whose size
// allows the placement on its blocks, or a TIFF by kind 0 into a TIFF whose
// creation `options` ask for the input's own encoding (its strips or tiles
// are copied), or a JPEG 2000 by kind 0 into a JPEG 2000 created without
// options (its codestream is copied). When two JPEGs cannot be placed that way, false with the
// reason in `why`: not a failure but the note on why the cells are copied
// instead (the job takes that way whatever the reason).
// `memoryLimit` is the job's (SetMemoryLimit).
bool PlacesWholeFile(const std::string& inputName, const std::string& outputName,
                     TPlacement placement, const std::vector<std::string>& options,
                     uint64_t memoryLimit, std::string& why);

// What reading a cell gave: its value; a cell that holds no data (a
// format's no-data cell, or a place outside the grid), whose value is what
// such a cell reads as; or a failure, which Error() names.
enum class TCellRead : uint8_t { Value, NoData, Failed };

class TDataSet2 {
 public:
  TDataSet2() = default;
  ~TDataSet2();
  TDataSet2(const TDataSet2&) = delete;
  TDataSet2& operator=(const TDataSet2&) = delete;

  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode);
  // A created output gets the georeference it is to be given (see
  // PlanGeoreference), `extras` and `files`, which make every file it
  // writes, before its Open.
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode, const TGeoreference& planned, const TGeoExtras& extras,
            TFileMaker& files = FilesInPlace());
  // The memory limit (SetMemoryLimit) of the datasets Open and Describe
  // make from now on.
  void SetMemoryLimit(uint64_t limit) { MemoryLimit = limit; }
  // The format a created output is written in, whatever its name's
  // extension; fcUnknown: the extension's.
  void SetOutputFormat(int code) { CreateFormat = code; }
  // Opens an existing file for its size, bands and georeference only; its
  // cells are not read.
  bool Describe(const std::string& fileName);
  // Completes and closes the file; false with Error() set when any
  // step of that failed.
  bool Close();

  int32_t GetBandCount();
  int32_t GetColumnCount();
  int32_t GetRowCount();
  uint8_t GetCellType();
  TGeoreference GetGeoreference() const;
  bool SetGeoreference(const TGeoreference& georeference);
  TCellRead ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value);
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value);
  TCellRead ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value);
  bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value);
  TGCPList* GetControlPoints();
  // Why the last open, create or close failed: the facade's own failure
  // (no file, no format), else the dataset's.
  const TError& Error() const;

  // The dataset in the role it was opened for: the reader of a file opened
  // or described, the writer of a created one (both for omReadWrite); null
  // in the other role and before an open.
  TRasterReader* Reader() { return Mode != omCreate ? DataSet.get() : nullptr; }
  TRasterWriter* Writer() { return Mode != omRead ? DataSet.get() : nullptr; }
  int GetFormat() const { return Format; }

 private:
  // Recognises the format and makes its dataset; false with the error text.
  bool MakeDataSet(const std::string& fileName, uint8_t mode);
  // Runs a dataset's open so that nothing it throws (an allocation that
  // fails) leaves the facade: it becomes the dataset's failure.
  bool Guarded(const std::string& fileName, const std::function<bool()>& open);

  TError Err;
  std::unique_ptr<TDataSetRoot2> DataSet;
  int Format = fcUnknown;
  int CreateFormat = fcUnknown;
  uint8_t Mode = omRead;
  uint64_t MemoryLimit = 0;
};

}  // namespace mirava
