#include "dataset/ScratchFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "dataset/BackgroundWriter.h"

namespace mirava {

TScratchFile::~TScratchFile() {
  if (Fd >= 0) ::close(Fd);
}

bool TScratchFile::Create(const std::string& directory, uint64_t size) {
  Fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (Fd < 0) return false;
  if (posix_fallocate(Fd, 0, static_cast<off_t>(size)) == 0) return true;
  ::close(Fd);
  Fd = -1;
  return false;
}

int TScratchFile::Write(const uint8_t* data, uint64_t length, uint64_t position) {
  if (const int code = WriteAllAt(Fd, data, length, position)) return code;
  // Left to the kernel, a memory cgroup's limit would force the pages out
  // one by one.
  sync_file_range(Fd, static_cast<off_t>(position), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
  return 0;
}

int TScratchFile::Read(uint8_t* data, uint64_t length, uint64_t position) {
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = pread(Fd, data + done, length - done, static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<uint64_t>(n);
  }
  posix_fadvise(Fd, static_cast<off_t>(position), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
  return 0;
}

}  // namespace mirava
