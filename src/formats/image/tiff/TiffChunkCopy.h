// The strips or tiles of a TIFF taken unchanged into a created TIFF that
// would encode its pixels exactly as they are stored: a kind 0 job into the
// input's own encoding then neither decodes nor encodes a cell.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/image/tiff/TiffEncoder.h"

namespace mirava {

struct TStoredChunks {
  TTiffPixels Pixels;  // the image, and how its pixels are stored (Level 0)
  std::vector<uint64_t> Offsets, ByteCounts;
};

// How the image that the decoder reads from `fileName` stores its pixels,
// where its strips or tiles are what this program's encoder could have
// written: empty when they are, otherwise why not (a codec or layout it
// does not write, samples the decoder changes, empty or missing chunks).
std::string ReadCopyableChunks(const std::string& fileName, TStoredChunks& stored);

// Why chunks stored as `stored` are not the pixels of an output encoded
// as `wanted`; empty when they are. The compression level does not count.
std::string ChunkDifference(const TTiffPixels& stored, const TTiffPixels& wanted);

}  // namespace mirava
