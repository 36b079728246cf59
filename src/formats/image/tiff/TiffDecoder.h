// TIFFs the mapped reader cannot take (compressed, tiled, palette, sub-byte
// or 12-bit samples, mixed planes) decoded once through libtiff into a
// scratch file of plain rows, which is then read like an uncompressed TIFF:
// a quarter turn sweeps the input many times and must not decode it again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/DataSetRoot.h"

namespace mirava {

struct TDecodedTiff {
  std::string ScratchName;  // removed by the caller once it is opened
  uint32_t Width = 0;
  uint32_t Length = 0;
  uint16_t Samples = 1;
  uint8_t CellType = 0;
  // Palette images: one band of indices and their colour table.
  TColorTable Colors;
};

// Decodes the first full-resolution image of `fileName` into a new file in
// `scratchFolder`: rows top to bottom, samples interleaved, native byte
// order, samples of 1 to 7 bits widened to bytes and of 9 to 15 bits to 16
// bits (as GDAL shows them), white-is-zero turned into black-is-zero, JPEG's
// YCbCr into RGB. False with the reason in `error`; no scratch file is left
// behind then.
bool DecodeTiff(const std::string& fileName, const std::string& scratchFolder,
                TDecodedTiff& decoded, std::string& error);

}  // namespace mirava
