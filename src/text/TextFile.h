// Writes a text file with CR LF line ends and reports every failure,
// including the ones that only show when the file is closed.
#pragma once

#include <cstdio>
#include <string>

#include "raster/Error.h"
#include "text/FileMaker.h"

namespace mirava {

class TTextFileWriter {
 public:
  // Made by `files` (an output's, under a temporary name).
  TTextFileWriter(const std::string& fileName, TFileMaker& files);
  ~TTextFileWriter();
  TTextFileWriter(const TTextFileWriter&) = delete;
  TTextFileWriter& operator=(const TTextFileWriter&) = delete;

  void WriteLine(const std::string& line);  // appends CR LF
  // Closes the file; false with Error() set when anything failed.
  bool Close();
  // The first failure, which names the file.
  const TError& Error() const { return Err; }

 private:
  void Fail(int code);
  std::string FileName;
  std::FILE* File = nullptr;
  TError Err;
};

}  // namespace mirava
