#include "formats/image/tiff/TiffHandle.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// No allocation libtiff makes for a file may be larger.
constexpr tmsize_t kAllocationLimit = tmsize_t{256} << 20;
constexpr tdir_t kMostDirectories = 1000;

// The first error is the reason; libtiff's module names (a function or the
// file's name) mean nothing to the user.
int OnError(TIFF*, void* user, const char*, const char* format, va_list args) {
  auto* text = static_cast<std::string*>(user);
  if (text->empty()) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    *text = message;
  }
  return 1;
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

TTiffOpenOptions QuietTiffOptions(std::string& messages) {
  static std::once_flag silenced;
  std::call_once(silenced, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
  TTiffOpenOptions options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kAllocationLimit);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, nullptr);
  return options;
}

TTiffHandle OpenTiff(const std::string& fileName, std::string& messages, TError& error) {
  const TTiffOpenOptions options = QuietTiffOptions(messages);
  if (!options) {
    error = TError::Format("out of memory");
    return nullptr;
  }
  // "m": read with read(2), never through a mapping of libtiff's own, which
  // no handler of ours watches: a file cut short while it is decoded would
  // end the process with SIGBUS instead of failing the strip.
  TTiffHandle tif(TIFFOpenExt(fileName.c_str(), "rm", options.get()));
  if (!tif) error = TError::Format(messages.empty() ? "not readable" : messages);
  return tif;
}

uint8_t TiffCellType(uint32_t bits, uint32_t format) {
  if (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) {
    if (bits >= 1 && bits <= 8) return ctUnsigned8;
    if (bits > 8 && bits <= 16) return ctUnsigned16;
    if (bits > 16 && bits <= 32) return ctUnsigned32;
  }
  if (format == SAMPLEFORMAT_INT) {
    if (bits == 8) return ctSigned8;
    if (bits == 16) return ctSigned16;
    if (bits == 32) return ctSigned32;
  }
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) return ctFloat32;
  if (format == SAMPLEFORMAT_IEEEFP && bits == 64) return ctFloat64;
  return ctUnknown;
}

bool FirstFullImage(TIFF* tif, tdir_t& directory) {
  for (tdir_t d = 0; d < kMostDirectories; ++d) {
    uint32_t subfile = 0;
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile);
    if (!(subfile & FILETYPE_REDUCEDIMAGE)) {
      directory = d;
      return true;
    }
    if (!TIFFReadDirectory(tif)) break;
  }
  directory = 0;
  return TIFFSetDirectory(tif, 0) != 0;
}

}  // namespace mirava
