// libtiff handles whose messages are ours: the first error of a handle is
// its reason, warnings are dropped, nothing reaches the terminal.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "raster/CellType.h"

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

// `fileName` opened for reading with such options; null with the reason in
// `error`.
TTiffHandle OpenTiff(const std::string& fileName, std::string& error);

// The cell type GDAL reads samples of this size and format (a SampleFormat
// value) as; ctUnknown for none.
uint8_t TiffCellType(uint32_t bits, uint32_t format);

// Moves to the first directory that is not a reduced-resolution copy (the
// first directory when all are), whose number goes to `directory`.
bool FirstFullImage(TIFF* tif, tdir_t& directory);

}  // namespace mirava
