// The JPEG codec the JPEG dataset needs, over libjpeg-turbo: read the size
// and channel count of a file, decode a whole file into 8-bit grey or RGB
// rows with fill bytes after each row, encode such rows as grey or YCbCr.
// Errors come back as our own numbers with a text; libjpeg never ends the
// process and corrupt or truncated data is an error, not grey rows. Files
// are also placed whole on their coefficients, without decoding them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "dataset/Encoding.h"
#include "raster/Placement.h"
#include "text/FileMaker.h"

namespace mirava::jpeg {

// The codec's error numbers (0 is success).
enum : int {
  jeNone = 0,
  jeOpenFailed = 1,
  jeNotJpeg = 2,
  jeCorrupt = 3,
  jeTruncated = 4,
  jeUnsupported = 5,
  jeOutOfMemory = 6,
  jeWriteFailed = 7,
  jeBadParameters = 8,
  jeImperfect = 9,
  jeStopped = 10,
};

// Largest width or height a JPEG file can hold.
constexpr uint32_t kMaxDimension = 65500;

struct TJpegInfo {
  uint32_t Width = 0;
  uint32_t Height = 0;
  // Samples a decoded pixel has: 1 grey, 3 red-green-blue (CMYK and YCCK
  // files included, which are decoded to RGB); other counts cannot be read.
  uint32_t Channels = 0;
};

// Our text for an error number (any number gives a text).
std::string ErrorText(int code);

// Each call returns 0 or an error number and then sets `message` to the
// number's text followed by the cause. libjpeg's own memory keeps within
// half of what the job may use, `memoryLimit` (JobMemory).
int ReadParams(const std::string& fileName, TJpegInfo& info, std::string& message,
               uint64_t memoryLimit = 0);
// Decodes the whole file into `buffer`: `height` rows of width x channels
// samples (1 grey, 3 red-green-blue), each followed by `padBytes` bytes that
// are left untouched. The file must have the given size and channel count.
int ReadWholeImage(const std::string& fileName, uint8_t* buffer, uint32_t width, uint32_t height,
                   uint32_t channels, uint32_t padBytes, std::string& message,
                   uint64_t memoryLimit = 0);
// Encodes rows laid out as ReadWholeImage delivers them, grey for 1 channel
// and YCbCr with `sampling` for 3, at quality 1..100. The file is replaced
// only once it is complete, and made by `files`. `stop`, when given and
// set, ends the encoding at its next block of rows with jeStopped.
int WriteWholeImage(const std::string& fileName, TFileMaker& files, const uint8_t* buffer,
                    uint32_t width, uint32_t height, uint32_t channels, uint32_t padBytes,
                    int quality, TChromaSampling sampling, std::string& message,
                    const std::atomic<bool>* stop = nullptr, uint64_t memoryLimit = 0);

// 0 when `placement` of the file can be made on its coefficients, exactly
// as on its pixels; jeImperfect when partial blocks at the right or bottom
// edge would have to move to the left or top (the message names them);
// another number when the file cannot be transformed at all.
int CheckPlacement(const std::string& fileName, TPlacement placement, std::string& message,
                   uint64_t memoryLimit = 0);
// Writes `target` as the file `source` with its coefficients placed, not
// quantized again; markers (EXIF, ICC profile, comments, density) are kept.
// Refuses what CheckPlacement refuses. The target is replaced only once it
// is complete, and made by `files`. `stop`, when given and set, ends the
// work at its next row of blocks read or written with jeStopped.
int PlaceFile(const std::string& source, const std::string& target, TFileMaker& files,
              TPlacement placement, std::string& message, const std::atomic<bool>* stop = nullptr,
              uint64_t memoryLimit = 0);

}  // namespace mirava::jpeg
