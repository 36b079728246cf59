#include "text/ReadLine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

TMap::TMap(const std::string& fileName, uint8_t cellType, uint8_t openMode, bool msbFirst)
    : FileName(fileName), CellType(cellType), NativeOrder(!msbFirst), OpenMode(openMode) {}

TMap::~TMap() { Close(); }

bool TMap::Open() {
  Close();
  if (OpenMode == 1 || FileName.empty()) return false;
  // Not blocking: a FIFO in a file's place is refused, not waited on.
  Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) {
    ErrorCode = errno;
    return false;
  }
  struct stat st;
  if (fstat(Fd, &st) != 0) {
    ErrorCode = errno;
    Close();
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size <= 0) {
    ErrorCode = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    Close();
    return false;
  }
  FileSize = static_cast<uint64_t>(st.st_size);
  uint32_t width = CellTypeWidth(CellType);
  Cells = CellType == ctOneBit ? FileSize * 8 : FileSize / (width ? width : 1);
  void* view = mmap(nullptr, FileSize, PROT_READ, MAP_PRIVATE, Fd, 0);
  if (view == MAP_FAILED) {
    ErrorCode = errno;
    Close();
    return false;
  }
  View = static_cast<const uint8_t*>(view);
  return true;
}

void TMap::Close() {
  if (View) munmap(const_cast<uint8_t*>(View), FileSize);
  View = nullptr;
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

bool TMap::ReadValue(uint64_t index, double& value) const {
  value = 0;
  uint32_t width = CellTypeWidth(CellType);
  uint64_t offset = CellType == ctOneBit ? index / 8 : index * width;
  if (!View || offset >= FileSize || offset + (width ? width : 1) > FileSize) return false;
  const uint8_t* p = View + offset;
  auto load = [&](auto sample) {
    decltype(sample) v;
    std::memcpy(&v, p, sizeof v);
    if (!NativeOrder && sizeof v > 1) {
      uint8_t b[sizeof v];
      std::memcpy(b, &v, sizeof v);
      for (size_t i = 0; i < sizeof v / 2; ++i) std::swap(b[i], b[sizeof v - 1 - i]);
      std::memcpy(&v, b, sizeof v);
    }
    return static_cast<double>(v);
  };
  switch (CellType) {
    case ctOneBit:
      value = (p[0] >> (7 - index % 8)) & 1 ? 255.0 : 0.0;
      break;
    case ctUnsigned8:
      value = p[0];
      break;
    case ctSigned8:
      value = static_cast<int8_t>(p[0]);
      break;
    case ctSigned16:
      value = load(int16_t());
      break;
    case ctUnsigned16:
      value = load(uint16_t());
      break;
    case ctSigned32:
      value = load(int32_t());
      break;
    case ctFloat32: {
      float f;
      std::memcpy(&f, p, 4);
      value = f;
      break;
    }
    default:
      break;
  }
  return true;
}

TReadLine::TReadLine(const std::string& fileName) : TMap(fileName, ctUnsigned8, 0, false) {
  if (fileName.empty())
    Err = TError::Internal("ReadLine error No file name");
  else if (!Open())
    Err = {TErrorCode::IO, LastError(), "Open read error"};
  Reset();
}

void TReadLine::Reset() {
  Index = -1;
  LastChar = 0;
}

char TReadLine::ReadChar() {
  if (Index + 1 >= static_cast<int64_t>(FileSize)) {
    Index = static_cast<int64_t>(FileSize);
    LastChar = kEndMarker;
    return LastChar;
  }
  ++Index;
  LastChar = static_cast<char>(View[Index]);
  if (LastChar == kEndMarker) Index = static_cast<int64_t>(FileSize);
  return LastChar;
}

std::string TReadLine::ReadLine() {
  std::string line;
  return ReadLine(line);
}

std::string TReadLine::ReadLine(std::string& line) {
  line.clear();
  char c = ReadChar();
  if (c == kEndMarker) {
    line.assign(1, kEndMarker);
    return line;
  }
  while (c != '\n' && c != kEndMarker) {
    if (c != '\r') line.push_back(c);
    c = ReadChar();
  }
  return line;
}

}  // namespace mirava
