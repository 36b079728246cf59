// The JPEG 2000 file format around a codestream: where the codestream lies,
// what the header boxes say of it, and the georeference of the GeoJP2 and
// GMLJP2 boxes; and the boxes a created file puts before its codestream.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/RasterRoles.h"
#include "georef/ControlPoints.h"
#include "raster/Error.h"
#include "raster/Georeference.h"

namespace mirava {

// What a JPEG 2000 file's boxes say.
struct TJp2Boxes {
  bool Wrapped = false;  // a JP2 file; false: a raw codestream (.j2k), the whole file
  uint64_t CodestreamOffset = 0, CodestreamLength = 0;  // of the jp2c box's contents
  // From ihdr/bpcc when wrapped (the codestream's SIZ remains the authority for sizes):
  uint32_t Width = 0, Height = 0, Components = 0;
  uint8_t Bits = 0;
  bool Signed = false;
  bool Palette = false;        // a pclr box (colour-table JP2)
  TColorTable PaletteColours;  // its first three columns, 0..65535
  // Placed false when no box places the raster; no box holds no-data (see
  // NoDataOfAuxXml).
  TGeoreference Georeference;
  std::vector<TGCPoint> ControlPoints;  // GeoJP2 tie points without a pixel scale
};
// Parses a file's bytes (the whole file); a TError of code Format whose text
// names `fileName` for a malformed file.
TError ReadJp2Boxes(std::span<const uint8_t> bytes, const std::string& fileName, TJp2Boxes& boxes);

// What a created JP2 states beside its codestream.
struct TJp2Header {
  uint32_t Width = 0, Height = 0, Components = 1;
  uint8_t Bits = 8;
  bool Signed = false;
  bool Color = false;  // colr sRGB for 3 or 4 components, greyscale otherwise
  // Of one unsigned component, its indices: pclr, cmap and colr sRGB.
  std::vector<std::array<uint8_t, 3>> Palette;
  TGeoreference Georeference;
  std::vector<TGCPoint> ControlPoints;
};
// Every byte of a .jp2 before its codestream: signature, ftyp, jp2h (ihdr,
// colr, and pclr and cmap of a palette), the GeoJP2 box of a placed raster or one tied by control points, the
// GMLJP2 box of a placed raster with an EPSG code, and last the jp2c box's
// header of 16 bytes whose length (XLBox) the writer patches once the
// codestream is written.
std::vector<uint8_t> Jp2HeaderBytes(const TJp2Header& header);
// Where XLBox lies in such a header of `headerSize` bytes.
uint64_t Jp2CodestreamLengthOffset(uint64_t headerSize);
// The XLBox for a codestream of `codestreamLength` bytes: the box's length
// with its 16-byte header, big-endian.
std::array<uint8_t, 8> Jp2CodestreamBoxLength(uint64_t codestreamLength);

// GDAL keeps a JPEG 2000 file's no-data value beside it, in
// "<file>.aux.xml", not in a box. The text of that file for `bands` bands of
// `noData`, and the value of its first band.
std::string Jp2AuxXml(double noData, uint32_t bands);
std::optional<double> NoDataOfAuxXml(std::string_view text);

}  // namespace mirava
