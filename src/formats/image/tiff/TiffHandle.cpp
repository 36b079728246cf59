#include "formats/image/tiff/TiffHandle.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace mirava {

namespace {

// No allocation libtiff makes for a file may be larger.
constexpr tmsize_t kAllocationLimit = tmsize_t{256} << 20;

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

TTiffOpenOptions QuietTiffOptions(std::string& error) {
  static std::once_flag silenced;
  std::call_once(silenced, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
  TTiffOpenOptions options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kAllocationLimit);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnError, &error);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnWarning, nullptr);
  return options;
}

}  // namespace mirava
