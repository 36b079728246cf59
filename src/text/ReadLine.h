// Read-only whole-file mapping and the line reader built on it.
#pragma once

#include <cstdint>
#include <string>

#include "raster/Error.h"

namespace mirava {

// Maps a whole file read-only and reads it as an array of cells.
class TMap {
 public:
  TMap(const std::string& fileName, uint8_t cellType, uint8_t openMode, bool msbFirst);
  virtual ~TMap();
  TMap(const TMap&) = delete;
  TMap& operator=(const TMap&) = delete;

  bool Open();
  void Close();
  // Value of cell `index`; false (and 0) past the end of the file.
  bool ReadValue(uint64_t index, double& value) const;
  uint64_t Size() const { return FileSize; }
  uint64_t CellCount() const { return Cells; }
  int LastError() const { return ErrorCode; }

 protected:
  std::string FileName;
  int Fd = -1;
  uint64_t FileSize = 0;
  uint64_t Cells = 0;
  uint8_t CellType;
  bool NativeOrder;
  const uint8_t* View = nullptr;
  uint8_t OpenMode;
  int ErrorCode = 0;
};

constexpr char kEndMarker = 26;

class TReadLine : public TMap {
 public:
  // A file that cannot be read gives the end marker at once, and Error()
  // says why.
  explicit TReadLine(const std::string& fileName);
  const TError& Error() const { return Err; }
  void Reset();
  char ReadChar();
  // The next line without CR and LF; the one-character string of code 26
  // once the end of the file (or a byte 26) is reached.
  std::string ReadLine();
  std::string ReadLine(std::string& line);

 private:
  int64_t Index = -1;
  char LastChar = 0;
  TError Err;
};

inline bool IsEndMarker(const std::string& line) {
  return line.size() == 1 && line[0] == kEndMarker;
}

}  // namespace mirava
