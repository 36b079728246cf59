// libtiff handles whose messages are ours: the first error of a handle is
// its reason, warnings are dropped, nothing reaches the terminal.
#pragma once

#include <tiffio.h>

#include <memory>
#include <string>

namespace mirava {

struct TTiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TTiffHandle = std::unique_ptr<TIFF, TTiffCloser>;

struct TTiffOpenOptionsFree {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
using TTiffOpenOptions = std::unique_ptr<TIFFOpenOptions, TTiffOpenOptionsFree>;

// Options for TIFFOpenExt or TIFFClientOpenExt that put the handle's first
// error into `error`, which must outlive the handle; none when out of memory.
TTiffOpenOptions QuietTiffOptions(std::string& error);

}  // namespace mirava
