// A binary file read or written whole, in a few calls, with every failure
// (the close included) kept as the system's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "text/FileMaker.h"

namespace mirava {

class TBinaryFile {
 public:
  TBinaryFile() = default;
  ~TBinaryFile();
  TBinaryFile(const TBinaryFile&) = delete;
  TBinaryFile& operator=(const TBinaryFile&) = delete;

  bool OpenRead(const std::string& fileName);
  // Creates the file through `files`, or empties an existing one.
  bool Create(const std::string& fileName, TFileMaker& files);
  // A file without a name in `directory`, read and written, gone when it
  // is closed whatever ended the job.
  bool CreateScratch(const std::string& directory);
  // Reads up to `size` bytes; `got` falls short only at the end of the file.
  bool Read(void* buffer, size_t size, size_t& got);
  bool Write(const void* data, size_t size);
  // Writes at `position`, wherever the last Write ended.
  bool WriteAt(uint64_t position, const void* data, size_t size);
  // Copies bytes from .. from + size - 1 of `source` to `to` in this file,
  // within the kernel where it can. A source that ends first is a failure
  // of this file's (EIO).
  bool CopyFrom(TBinaryFile& source, uint64_t from, uint64_t size, uint64_t to);
  // Sizes the file to `size` bytes with its blocks reserved, so that a full
  // disk shows now rather than when the file is written.
  bool Reserve(uint64_t size);
  // Ends the file where the writes got to (after a larger Reserve).
  bool EndHere();
  uint64_t Size();
  bool Close();
  const std::string& ErrorText() const { return Error; }
  int ErrorCode() const { return Code; }

 private:
  bool Fail(int code);
  int Fd = -1;
  int Code = 0;
  std::string Error;
};

}  // namespace mirava
