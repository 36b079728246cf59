#include "dataset/OutputFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <random>

#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

thread_local TOutputFiles* ActiveFiles = nullptr;

// The lock and the temporaries of an output are named after the base name
// its files share (kept short, so that any legal output name has them):
// ".mirava-<16 hex digits>.lock" and ".mirava-<16 hex digits>-<6>.tmp".
std::string KeyOf(const std::string& outputName) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : RemoveFileExt(ExtractFileName(outputName))) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string LockName(const std::string& key) { return ".mirava-" + key + ".lock"; }

std::string TemporaryName(const std::string& key) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string name = ".mirava-" + key + "-";
  for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name + ".tmp";
}

bool IsTemporaryOf(const std::string& entry, const std::string& key) {
  const std::string prefix = ".mirava-" + key + "-";
  return entry.size() == prefix.size() + 10 && entry.compare(0, prefix.size(), prefix) == 0 &&
         entry.compare(entry.size() - 4, 4, ".tmp") == 0;
}

// The lock file's holder wrote its output's name into it.
std::string Holder(int fd) {
  char text[4096];
  const ssize_t n = pread(fd, text, sizeof text, 0);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TOutputFiles::~TOutputFiles() { Release(); }

bool TOutputFiles::Refuse(std::string text) {
  Error = std::move(text);
  Release();
  return false;
}

void TOutputFiles::Release() {
  DiscardAll();
  if (LockFd >= 0) {
    // Removed while still held: a job that opened it meanwhile finds it gone
    // once it holds it, and makes a new one.
    unlinkat(FolderFd, LockName(Key).c_str(), 0);
    close(LockFd);
    LockFd = -1;
  }
  if (FolderFd >= 0) close(FolderFd);
  FolderFd = -1;
}

bool TOutputFiles::Claim(const std::string& outputName, const std::vector<std::string>& names) {
  Release();
  OutputName = outputName;
  Names = names;
  Error.clear();
  HadAny = false;
  for (size_t i = 0; i < Names.size(); ++i)
    for (size_t k = i + 1; k < Names.size(); ++k)
      if (Names[i] == Names[k])
        return Refuse("Output " + outputName + " would write two of its files as " + Names[i]);
  Folder = ExtractFileDir(outputName);
  if (Folder.empty()) Folder = outputName.rfind('/', 0) == 0 ? "/" : ".";
  FolderFd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FolderFd < 0) {
    const int error = errno;
    return Refuse(error == ENOENT    ? "Output folder " + Folder + " does not exist"
                  : error == ENOTDIR ? "Output folder " + Folder + " is not a folder"
                                     : "Output folder " + Folder + ": " + SystemErrorText(error));
  }
  const long nameMax = fpathconf(FolderFd, _PC_NAME_MAX);
  Longest = nameMax > 0 ? static_cast<size_t>(nameMax) : NAME_MAX;
  if (ExtractFileName(outputName).size() > Longest)
    return Refuse("Output file name " + ExtractFileName(outputName) + " is longer than the " +
                  std::to_string(Longest) + " bytes its folder allows");
  for (const std::string& name : Names) {
    // A companion name too long to exist is one the output cannot write
    // either: Create says so when the format asks for it.
    if (ExtractFileName(name).size() > Longest) continue;
    struct stat st;
    if (lstat(name.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) return Refuse("Output " + name + " is a folder");
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      return Refuse("Output " + name + " is not a regular file");
    HadAny = true;
  }
  if (faccessat(FolderFd, ".", W_OK | X_OK, AT_EACCESS) != 0)
    return Refuse("Output folder " + Folder + " cannot be written: " + SystemErrorText(errno));
  Key = KeyOf(outputName);
  const std::string lock = LockName(Key);
  for (;;) {
    LockFd = openat(FolderFd, lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (LockFd < 0)
      return Refuse("Output folder " + Folder + " cannot be written: " + SystemErrorText(errno));
    if (flock(LockFd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const std::string holder = error == EWOULDBLOCK ? Holder(LockFd) : "";
      close(LockFd);
      LockFd = -1;
      if (error != EWOULDBLOCK)
        return Refuse("Output " + outputName + " cannot be locked: " + SystemErrorText(error));
      return Refuse(holder.empty() || holder == outputName
                        ? "Another job is writing " + outputName
                        : "Another job is writing " + holder + ", whose files " + outputName +
                              " shares");
    }
    struct stat held, named;
    if (fstat(LockFd, &held) == 0 &&
        fstatat(FolderFd, lock.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      break;
    // Its last holder removed it after we opened it.
    close(LockFd);
    LockFd = -1;
  }
  if (ftruncate(LockFd, 0) != 0 || pwrite(LockFd, outputName.data(), outputName.size(), 0) !=
                                       static_cast<ssize_t>(outputName.size()))
    return Refuse("Output folder " + Folder + " cannot be written: " + SystemErrorText(errno));
  // Whatever temporaries these names still have, a killed job left them.
  if (DIR* dir = fdopendir(dup(FolderFd))) {
    while (const dirent* entry = readdir(dir))
      if (IsTemporaryOf(entry->d_name, Key)) unlinkat(FolderFd, entry->d_name, 0);
    closedir(dir);
  }
  return true;
}

int TOutputFiles::Create(const std::string& name, int access) {
  if (LockFd < 0) {
    errno = EBADF;
    return -1;
  }
  if (ExtractFileName(name).size() > Longest) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = -1;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = TemporaryName(Key);
    fd = openat(FolderFd, temporary.c_str(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0666);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;
  Discard(name);
  Made.emplace_back(name, temporary);
  return fd;
}

bool TOutputFiles::Discard(const std::string& name) {
  for (auto it = Made.begin(); it != Made.end(); ++it)
    if (it->first == name) {
      unlinkat(FolderFd, it->second.c_str(), 0);
      Made.erase(it);
      return true;
    }
  return false;
}

void TOutputFiles::DiscardAll() {
  for (const auto& [name, temporary] : Made) unlinkat(FolderFd, temporary.c_str(), 0);
  Made.clear();
}

bool TOutputFiles::Publish() {
  Error.clear();
  for (const std::string& name : Names) {
    bool made = false;
    for (const auto& entry : Made) made = made || entry.first == name;
    struct stat st;
    if (!made && lstat(name.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
        unlink(name.c_str()) != 0) {
      Error = "Former output file " + name + " not removed: " + SystemErrorText(errno);
      return false;
    }
  }
  for (const bool own : {false, true})
    for (auto it = Made.begin(); it != Made.end();) {
      if ((strcasecmp(it->first.c_str(), OutputName.c_str()) == 0) != own) {
        ++it;
        continue;
      }
      if (renameat(FolderFd, it->second.c_str(), AT_FDCWD, it->first.c_str()) != 0) {
        Error = "Output file " + it->first + " not published: " + SystemErrorText(errno);
        return false;
      }
      it = Made.erase(it);
    }
  return true;
}

TOutputFiles::TScope::TScope(TOutputFiles& files) : Previous(ActiveFiles) { ActiveFiles = &files; }

TOutputFiles::TScope::~TScope() { ActiveFiles = Previous; }

int CreateOutputFile(const std::string& name, int access) {
  if (ActiveFiles) return ActiveFiles->Create(name, access);
  return open(name.c_str(), access | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void DiscardOutputFile(const std::string& name) {
  if (ActiveFiles)
    ActiveFiles->Discard(name);
  else
    unlink(name.c_str());
}

}  // namespace mirava
