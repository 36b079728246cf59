// Where a file that is written gets made. A job makes its output's files
// under temporary names and publishes them whole (TOutputFiles); a file
// written outside a job is made at its own name.
#pragma once

#include <string>

namespace mirava {

class TFileMaker {
 public:
  virtual ~TFileMaker() = default;
  // Opens the file that is to become `name`, new and empty, for `access`
  // (O_RDWR or O_WRONLY); -1 with errno set.
  virtual int Create(const std::string& name, int access) = 0;
  // Removes what Create made for `name`, which is not to be kept; false
  // when there was none.
  virtual bool Discard(const std::string& name) = 0;
};

// Makes each file at its own name, replacing what was there.
TFileMaker& FilesInPlace();

}  // namespace mirava
