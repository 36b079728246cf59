#include "text/TextFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "text/TextUtils.h"

namespace mirava {

TTextFileWriter::TTextFileWriter(const std::string& fileName, TFileMaker& files)
    : FileName(fileName) {
  const int fd = files.Create(fileName, O_WRONLY);
  File = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (!File) {
    Fail(errno);
    if (fd >= 0) close(fd);
  }
}

TTextFileWriter::~TTextFileWriter() { Close(); }

void TTextFileWriter::Fail(int code) {
  if (!Err.Failed()) Err = TError::System(code ? code : EIO, FileName);
}

void TTextFileWriter::WriteLine(const std::string& line) {
  if (!File) return;
  if (std::fwrite(line.data(), 1, line.size(), File) != line.size() ||
      std::fwrite("\r\n", 1, 2, File) != 2)
    Fail(errno);
}

bool TTextFileWriter::Close() {
  if (File) {
    if (std::fflush(File) != 0) Fail(errno);
    if (std::fclose(File) != 0) Fail(errno);
    File = nullptr;
  }
  return !Err.Failed();
}

}  // namespace mirava
