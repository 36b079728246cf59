// TIFFs the mapped reader cannot take (compressed, tiled, palette, sub-byte
// or 12-bit samples, mixed planes) decoded once through libtiff into a
// scratch file of plain rows, which is then read like an uncompressed TIFF:
// a quarter turn sweeps the input many times and must not decode it again.
// The decoding runs on its own threads while the job reads the rows decoded
// so far, so that decoding and the job's work (encoding an output) overlap.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "dataset/DataSetRoot.h"
#include "raster/Error.h"

namespace mirava {

struct TDecodedTiff {
  std::string ScratchName;  // removed by the caller once it is opened
  uint32_t Width = 0;
  uint32_t Length = 0;
  uint16_t Samples = 1;
  uint8_t CellType = 0;
  // Palette and one-bit images: one band of indices and their colour table.
  TColorTable Colors;
};

// The first full-resolution image of a TIFF decoded into a new scratch
// file: rows top to bottom, samples interleaved, native byte order, samples
// of 1 to 7 bits widened to bytes and of 9 to 15 bits to 16 bits (as GDAL
// shows them), white-is-zero samples as stored (with GDAL's two colours for
// one-bit images), JPEG's YCbCr into RGB.
class TTiffDecoding {
 public:
  TTiffDecoding();
  // Stops the decoders and waits for them.
  ~TTiffDecoding();
  TTiffDecoding(const TTiffDecoding&) = delete;
  TTiffDecoding& operator=(const TTiffDecoding&) = delete;

  // Once the reader gives rows up, the decoders keep about this much ahead
  // of it, so that the pages given up are used again while they are warm.
  static constexpr uint64_t kAheadBytes = 64u << 20;

  // Strips and tiles left out of the file (sparse) are to read as `value`,
  // as GDAL shows them where the file states a no-data value; zeros
  // otherwise. Before Start.
  void FillEmpty(double value);
  // Checks `fileName` and describes its image, decoding nothing. The
  // failure's text is the reason alone, for the caller to name the file.
  TError Inspect(const std::string& fileName);
  // Inspects `fileName`, creates the scratch file in `scratchFolder` at its
  // full size and starts decoding into it, `aheadBytes` ahead of the rows
  // given up (at least two rows of strips or tiles), within the memory of
  // a job limited to `memoryLimit` (JobMemory). No scratch file is left
  // behind when it fails.
  TError Start(const std::string& fileName, const std::string& scratchFolder, uint64_t memoryLimit,
               uint64_t aheadBytes = kAheadBytes);
  // What Start found; valid once it succeeded.
  const TDecodedTiff& Decoded() const { return Description; }
  // Waits at most `most` for the rows before `end`; Failed with the
  // decoders' first failure in `error`.
  TRowsState Await(uint32_t end, std::chrono::milliseconds most, TError& error);
  // The reader is done with the rows before `end`: their pages are given
  // back, and from now on the decoders keep only the distance Start was
  // given ahead of the rows given up (and of those waited for).
  void Release(uint32_t end);
  // Waits for the rows before `end`.
  TError WaitFor(uint32_t end);

 private:
  struct TState;
  TDecodedTiff Description;
  std::unique_ptr<TState> State;
};

}  // namespace mirava
