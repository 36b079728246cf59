// Our stand-in for the ECW SDK. The ECW dataset calls the SDK's view and
// compressor functions under their SDK names, and this file pair answers
// them; a binding to the real SDK can take its place with no change to the
// dataset. Error numbers follow the SDK's numbering (the dataset's
// NcsErrorTexts table).
//
// This layer does NOT read or write real ECW files. Its files hold the
// image losslessly (a reversible colour transform and a neighbour predictor,
// then zlib's deflate) and begin with a signature of their own, so no other
// program mistakes them for ECW; ".ecw" is only their extension. A real ECW
// file (first bytes 65 02 01 02) is recognised and refused: decoding it needs
// the ECW SDK.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "text/FileMaker.h"

namespace mirava::ncs {

using NCSError = int32_t;
enum : NCSError {
  NCS_SUCCESS = 0,
  NCS_FILE_OPEN_FAILED = 2,
  NCS_INVALID_ARGUMENTS = 41,
  NCS_ECW_ERROR = 42,
  NCS_COULDNT_ALLOC_MEMORY = 46,
  NCS_INVALID_PARAMETER = 47,
  NCS_FILEIO_ERROR = 48,
  NCS_COULDNT_OPEN_COMPRESSION = 49,
  NCS_COULDNT_PERFORM_COMPRESSION = 50,
  NCS_GENERATED_TOO_MANY_OUTPUT_LINES = 51,
  NCS_USER_CANCELLED_COMPRESSION = 52,
  NCS_COULDNT_READ_INPUT_LINE = 53,
  NCS_INPUT_SIZE_EXCEEDED = 54,
  NCS_REGION_OUTSIDE_FILE = 55,
  NCS_NO_SUPERSAMPLE = 56,
  NCS_ZERO_SIZE = 57,
  NCS_TOO_MANY_BANDS = 58,
  NCS_INVALID_BAND_NR = 59,
  NCS_INPUT_SIZE_TOO_SMALL = 60,
  NCS_INVALID_SETVIEW = 64,
  NCS_FILE_EOF = 84,
  NCS_FILE_NOT_FOUND = 85,
  NCS_FILE_INVALID = 86,
  NCS_FILE_NO_PERMISSIONS = 88,
  NCS_FILE_OPEN_ERROR = 89,
  NCS_FILE_CLOSE_ERROR = 90,
  NCS_FILE_IO_ERROR = 91,
};

// The text for an error number, followed by the cause when the last error
// on this thread had that number. Any number gives a text.
std::string NCSGetErrorText(NCSError error);
// The last error number set on this thread (NCS_SUCCESS when none).
NCSError NCSGetLastError();

// The first bytes of the files this layer writes, and of real ECW files.
constexpr uint8_t kLayerSignature[8] = {0x89, 'M', 'E', 'C', 'W', 0x0D, 0x0A, 0x1A};
constexpr uint8_t kEcwSdkSignature[4] = {0x65, 0x02, 0x01, 0x02};
// Largest samples per line (width x bands) the layer takes.
constexpr uint64_t kMaxLineSamples = uint64_t{1} << 27;

// ---- Views: reading a file ----

struct NCSFileViewFileInfo {
  uint32_t SizeX = 0;  // width in cells
  uint32_t SizeY = 0;  // height in cells
  uint16_t Bands = 0;
  double CellIncrementX = 1;   // world units per column
  double CellIncrementY = -1;  // world units per row, negative north-up
  double OriginX = 0;          // world position of the outer top-left corner
  double OriginY = 0;
  int32_t CellSizeUnits = 0;
  std::string Datum = "RAW";  // names of the coordinate system
  std::string Projection = "RAW";
  int32_t Epsg = 0;  // its EPSG code, 0 when none is known
};

enum NCSEcwReadStatus : int32_t {
  NCSECW_READ_OK = 0,
  NCSECW_READ_FAILED = 1,
  NCSECW_READ_CANCELLED = 2,
};

class NCSFileView;
struct NCSFileViewDeleter {
  void operator()(NCSFileView* view) const;
};
using TFileViewPtr = std::unique_ptr<NCSFileView, NCSFileViewDeleter>;

NCSError NCScbmOpenFileView(const std::string& fileName, TFileViewPtr& view);
NCSError NCScbmGetViewFileInfo(NCSFileView& view, NCSFileViewFileInfo& info);
// Sets the bands (indices into the file's bands) and the cell window
// (inclusive corners) to read; the window's size in cells must equal the
// requested view size, as this layer reads at full resolution only.
NCSError NCScbmSetFileView(NCSFileView& view, uint32_t bandCount, const uint32_t* bandList,
                           uint32_t topLeftX, uint32_t topLeftY, uint32_t bottomRightX,
                           uint32_t bottomRightY, uint32_t sizeX, uint32_t sizeY);
// The next line of the view, top to bottom, as 3 bytes per pixel (red,
// green, blue): exactly 3 x view width bytes. A view of one band gives its
// grey level in all three; otherwise the view's first three bands (0 for
// those it lacks).
NCSEcwReadStatus NCScbmReadViewLineRGB(NCSFileView& view, uint8_t* rgb);
NCSError NCScbmCloseFileViewEx(TFileViewPtr& view, bool freeCachedFile);

// ---- Compression: writing a file ----

enum : int32_t {
  COMPRESS_NONE = 0,
  COMPRESS_UINT8 = 1,  // one band, grey
  COMPRESS_YUV = 2,
  COMPRESS_MULTI = 3,  // any number of bands
  COMPRESS_RGB = 4,    // three bands, red green blue
};
enum : int32_t {
  COMPRESS_HINT_NONE = 0,
  COMPRESS_HINT_FAST = 1,
  COMPRESS_HINT_BEST = 2,
  COMPRESS_HINT_INTERNET = 3,
};

struct NCSEcwCompressClient;
// Fills one line: one array of SizeX reals per input band. False stops the
// compression ("Could not read line from input image file").
using TReadLineCallback = bool (*)(NCSEcwCompressClient* client, uint32_t line, float** bandArrays);
using TStatusCallback = void (*)(NCSEcwCompressClient* client, uint32_t line);
using TCancelCallback = bool (*)(NCSEcwCompressClient* client);

class TCompressTask;
struct TCompressTaskDeleter {
  void operator()(TCompressTask* task) const;
};

struct NCSEcwCompressClient {
  std::string OutputFileName;
  // Makes the output file (the job's output files, under a temporary name).
  TFileMaker* OutputFiles = &FilesInPlace();
  float TargetCompression = 1;
  int32_t CompressFormat = COMPRESS_NONE;
  int32_t CompressHint = COMPRESS_HINT_NONE;
  uint32_t BlockSizeX = 64;
  uint32_t BlockSizeY = 64;
  uint32_t SizeX = 0;
  uint32_t SizeY = 0;
  uint32_t InputBands = 0;
  double CellIncrementX = 1;
  double CellIncrementY = -1;
  double OriginX = 0;
  double OriginY = 0;
  int32_t CellSizeUnits = 0;
  // Names of the coordinate system (at most 31 bytes each) and its EPSG code.
  std::string Datum = "RAW";
  std::string Projection = "RAW";
  int32_t Epsg = 0;
  TReadLineCallback ReadCallback = nullptr;
  TStatusCallback StatusCallback = nullptr;
  TCancelCallback CancelCallback = nullptr;
  void* ClientData = nullptr;
  // Set by the compressor: input bytes per output byte.
  double ActualCompression = 0;
  std::unique_ptr<TCompressTask, TCompressTaskDeleter> Task;
};

std::unique_ptr<NCSEcwCompressClient> NCSEcwCompressAllocClient();
// Checks the client and creates the output (through the job's output files,
// which publish it once the job is complete).
NCSError NCSEcwCompressOpen(NCSEcwCompressClient& client, bool calculateSizesOnly);
// Pulls every line through the read callback and compresses it.
NCSError NCSEcwCompress(NCSEcwCompressClient& client);
// Completes the file after a successful NCSEcwCompress; otherwise discards
// what was written. Its own failures (a full disk) are reported.
NCSError NCSEcwCompressClose(NCSEcwCompressClient& client);
void NCSEcwCompressFreeClient(std::unique_ptr<NCSEcwCompressClient>& client);

}  // namespace mirava::ncs
