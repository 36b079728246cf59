#include "dataset/ScratchFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dataset/BackgroundWriter.h"
#include "text/FileNames.h"

namespace mirava {

TScratchFile::~TScratchFile() {
  if (Fd >= 0) ::close(Fd);
}

bool TScratchFile::Create(const std::string& directory, uint64_t size) {
  Fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (Fd < 0) return false;
  const int code = posix_fallocate(Fd, 0, static_cast<off_t>(size));
  if (code == 0) return true;
  ::close(Fd);
  Fd = -1;
  errno = code;
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

std::string ScratchDirectoryBeside(const std::string& outputName) {
  const std::string directory = ExtractFileDir(outputName);
  return directory.empty() ? "." : directory;
}

std::string TemporaryDirectory() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

TScratchMemory& TScratchMemory::operator=(TScratchMemory&& other) noexcept {
  if (this == &other) return *this;
  Release();
  Base = std::exchange(other.Base, nullptr);
  Length = std::exchange(other.Length, 0);
  File.Fd = std::exchange(other.File.Fd, -1);
  return *this;
}

TError TScratchMemory::Allocate(uint64_t size, const std::string& directory) {
  Release();
  const uint64_t bytes = size ? size : 1;
  if (!directory.empty() && !File.Create(directory, bytes))
    return TError::System(errno,
                          "no scratch file of " + std::to_string(bytes) + " bytes in " + directory);
  const int fd = File.Descriptor();
  void* view = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    fd < 0 ? MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE : MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    Release();
    return TError::SystemText(error);
  }
  Base = static_cast<uint8_t*>(view);
  Length = size;
  return {};
}

void TScratchMemory::WriteBack() {
  if (File.Fd >= 0) sync_file_range(File.Fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void TScratchMemory::Release() {
  if (Base) munmap(Base, Length ? Length : 1);
  Base = nullptr;
  Length = 0;
  if (File.Fd >= 0) ::close(File.Fd);
  File.Fd = -1;
}

}  // namespace mirava
