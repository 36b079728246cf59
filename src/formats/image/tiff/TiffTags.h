// Numbers of the TIFF format that its reader and writer share.
#pragma once

#include <cstdint>

#include "raster/CellType.h"

namespace mirava {

// The TIFF field types this program reads or writes.
enum : uint16_t {
  ftByte = 1,
  ftAscii = 2,
  ftShort = 3,
  ftLong = 4,
  ftRational = 5,
  ftDouble = 12,
  ftLong8 = 16,
};

// Tags.
enum : uint16_t {
  tgNewSubfileType = 254,
  tgImageWidth = 256,
  tgImageLength = 257,
  tgBitsPerSample = 258,
  tgCompression = 259,
  tgPhotoMetricInterpretation = 262,
  tgStripOffset = 273,
  tgSamplesPerPixel = 277,
  tgRowsPerStrip = 278,
  tgStripByteCounts = 279,
  tgXResolution = 282,
  tgYResolution = 283,
  tgPlanarConfiguration = 284,
  tgResolutionUnit = 296,
  tgPredictor = 317,
  tgColorMap = 320,
  tgTileWidth = 322,
  tgTileLength = 323,
  tgTileOffsets = 324,
  tgTileByteCounts = 325,
  tgExtraSamples = 338,
  tgSampleFormat = 339,
  tgYCbCrSubSampling = 530,
  tgModelPixelScale = 33550,
  tgModelTiePoint = 33922,
  tgModelTransformation = 34264,
  tgGeoKeyDirectory = 34735,
  tgGeoDoubleParams = 34736,
  tgGeoAsciiParams = 34737,
  tgGdalNoData = 42113,
};

// SampleFormat values.
enum : uint16_t { sfUnsigned = 1, sfSigned = 2, sfFloat = 3 };

inline uint16_t SampleFormatOf(uint8_t cellType) {
  if (cellType == ctFloat32 || cellType == ctFloat64) return sfFloat;
  if (cellType == ctSigned8 || cellType == ctSigned16 || cellType == ctSigned32) return sfSigned;
  return sfUnsigned;
}

}  // namespace mirava
