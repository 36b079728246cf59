// A file without a name beside an output, for data on its way there: it
// goes when it is closed, whatever ended the job.
#pragma once

#include <cstdint>
#include <string>

namespace mirava {

class TScratchFile {
 public:
  TScratchFile() = default;
  ~TScratchFile();
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Creates it in `directory` ("" the current one) with `size` bytes of the
  // disk reserved; false where that cannot be (no space, no such files).
  bool Create(const std::string& directory, uint64_t size);
  // data[0 .. length) at `position`, handed to the disk at once; 0 or the
  // errno of the failure.
  int Write(const uint8_t* data, uint64_t length, uint64_t position);
  // data[0 .. length) from `position`, then left out of the page cache; 0
  // or the errno of the failure (EIO for a file cut short).
  int Read(uint8_t* data, uint64_t length, uint64_t position);

 private:
  int Fd = -1;
};

}  // namespace mirava
