#include "dataset/BinaryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "text/TextUtils.h"

namespace mirava {

namespace {

constexpr uint64_t kCopyBufferBytes = 1u << 20;

}  // namespace

TBinaryFile::~TBinaryFile() {
  if (Fd >= 0) ::close(Fd);
}

bool TBinaryFile::Fail(int code) {
  if (Error.empty()) {
    Code = code ? code : EIO;
    Error = SystemErrorText(Code);
  }
  return false;
}

bool TBinaryFile::OpenRead(const std::string& fileName) {
  Fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  return Fd >= 0 || Fail(errno);
}

bool TBinaryFile::Create(const std::string& fileName, TFileMaker& files) {
  Fd = files.Create(fileName, O_WRONLY);
  return Fd >= 0 || Fail(errno);
}

bool TBinaryFile::CreateScratch(const std::string& directory) {
  Fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  return Fd >= 0 || Fail(errno);
}

bool TBinaryFile::Read(void* buffer, size_t size, size_t& got) {
  got = 0;
  if (Fd < 0) return Fail(EBADF);
  while (got < size) {
    const ssize_t n = ::read(Fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool TBinaryFile::Write(const void* data, size_t size) {
  if (Fd < 0) return Fail(EBADF);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(Fd, static_cast<const char*>(data) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TBinaryFile::WriteAt(uint64_t position, const void* data, size_t size) {
  if (Fd < 0) return Fail(EBADF);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(Fd, static_cast<const char*>(data) + done, size - done,
                               static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TBinaryFile::CopyFrom(TBinaryFile& source, uint64_t from, uint64_t size, uint64_t to) {
  if (Fd < 0 || source.Fd < 0) return Fail(EBADF);
  auto in = static_cast<off_t>(from);
  auto out = static_cast<off_t>(to);
  uint64_t left = size;
  while (left > 0) {
    const ssize_t n = copy_file_range(source.Fd, &in, Fd, &out, left, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) return Fail(EIO);
    left -= static_cast<uint64_t>(n);
  }
  if (left == 0) return true;
  // Files the kernel cannot copy between go through memory.
  std::vector<uint8_t> buffer(std::min<uint64_t>(left, kCopyBufferBytes));
  while (left > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    const ssize_t n = ::pread(source.Fd, buffer.data(), chunk, in);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    if (!WriteAt(static_cast<uint64_t>(out), buffer.data(), static_cast<size_t>(n))) return false;
    in += n;
    out += n;
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

bool TBinaryFile::Reserve(uint64_t size) {
  if (Fd < 0) return Fail(EBADF);
  const int code = size ? posix_fallocate(Fd, 0, static_cast<off_t>(size)) : 0;
  if (code == 0 || code == EOPNOTSUPP || code == EINVAL) return true;
  return Fail(code);
}

bool TBinaryFile::EndHere() {
  if (Fd < 0) return Fail(EBADF);
  const off_t end = lseek(Fd, 0, SEEK_CUR);
  return (end >= 0 && ftruncate(Fd, end) == 0) || Fail(errno);
}

uint64_t TBinaryFile::Size() {
  struct stat st;
  if (Fd < 0 || fstat(Fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool TBinaryFile::Close() {
  if (Fd < 0) return Error.empty();
  const int fd = Fd;
  Fd = -1;
  if (::close(fd) != 0) Fail(errno);
  return Error.empty();
}

}  // namespace mirava
