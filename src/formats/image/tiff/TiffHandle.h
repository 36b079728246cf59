// libtiff handles whose messages are ours: the first error of a handle is
// its reason, warnings are dropped, nothing reaches the terminal.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "raster/CellType.h"
#include "raster/Error.h"

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
// message into `messages`, which must outlive the handle; none when out of
// memory. The messages are libtiff's words, not yet a failure: whoever sees
// a call fail makes them the reason of its TError.
TTiffOpenOptions QuietTiffOptions(std::string& messages);

// `fileName` opened for reading with such options, its first message going
// to `messages`; null with `error` failed then (Format, libtiff's reason).
TTiffHandle OpenTiff(const std::string& fileName, std::string& messages, TError& error);

// The cell type GDAL reads samples of this size and format (a SampleFormat
// value) as; ctUnknown for none.
uint8_t TiffCellType(uint32_t bits, uint32_t format);

// Moves to the first directory that is not a reduced-resolution copy (the
// first directory when all are), whose number goes to `directory`.
bool FirstFullImage(TIFF* tif, tdir_t& directory);

}  // namespace mirava
