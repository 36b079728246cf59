#include "dataset/OutputFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <random>
#include <string_view>

#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// What belongs to one file of an output is named after that file's name in
// its folder (kept short, so that any legal output name has them):
// ".mirava-<16 hex digits>.lock", its temporaries
// ".mirava-<16 hex digits>-<6>.tmp" and the copy of its former file while
// a publish runs, ".mirava-<16 hex digits>.old". The journal of a publish
// takes the key of the output's own name: ".mirava-<key>.journal".
std::string KeyOf(const std::string& entry) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : entry) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string LockName(const std::string& key) { return ".mirava-" + key + ".lock"; }
std::string FormerName(const std::string& key) { return ".mirava-" + key + ".old"; }
std::string JournalName(const std::string& key) { return ".mirava-" + key + ".journal"; }

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

bool IsJournal(const std::string& entry) {
  return entry.size() == 8 + 16 + 8 && entry.starts_with(".mirava-") && entry.ends_with(".journal");
}

// The names in a folder of ours, ".mirava-" ones alone.
std::vector<std::string> Entries(int folderFd) {
  std::vector<std::string> names;
  if (DIR* dir = fdopendir(dup(folderFd))) {
    // The copy shares its position with every other copy: from the start.
    rewinddir(dir);
    while (const dirent* entry = readdir(dir))
      if (std::string_view(entry->d_name).starts_with(".mirava-"))
        names.emplace_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

// The lock file's holder wrote its output's name into it.
std::string Holder(int fd) {
  char text[4096];
  const ssize_t n = pread(fd, text, sizeof text, 0);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

// A journal: "mirava journal 1", then a line per name, "R <bytes> <entry>"
// for one whose former file is kept aside, "N <bytes> <entry>" for one that
// had none, then "end". One not ended was being written: nothing had
// changed yet.
std::string JournalText(const std::vector<std::pair<std::string, bool>>& entries) {
  std::string text = "mirava journal 1\n";
  for (const auto& [entry, former] : entries)
    text += std::string(former ? "R " : "N ") + std::to_string(entry.size()) + " " + entry + "\n";
  return text + "end\n";
}

bool ParseJournal(const std::string& text, std::vector<std::pair<std::string, bool>>& entries) {
  const std::string head = "mirava journal 1\n";
  if (!text.starts_with(head)) return false;
  size_t at = head.size();
  while (at < text.size()) {
    if (text.compare(at, std::string::npos, "end\n") == 0) return true;
    if (text.size() < at + 4 || (text[at] != 'R' && text[at] != 'N') || text[at + 1] != ' ')
      return false;
    const bool former = text[at] == 'R';
    size_t space = text.find(' ', at + 2);
    if (space == std::string::npos || space - at - 2 > 4) return false;
    const size_t length = std::strtoul(text.c_str() + at + 2, nullptr, 10);
    if (length == 0 || text.size() < space + 1 + length + 1 || text[space + 1 + length] != '\n')
      return false;
    entries.emplace_back(text.substr(space + 1, length), former);
    at = space + 1 + length + 1;
  }
  return false;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1u << 20))
    text.append(buffer, static_cast<size_t>(n));
  return text;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TOutputFiles::~TOutputFiles() { Release(); }

bool TOutputFiles::Refuse(TError error) {
  Failure = std::move(error);
  Release();
  return false;
}

TError TOutputFiles::FolderUnwritable(int error) const {
  return {TErrorCode::IO, error,
          "Output folder " + Folder + " cannot be written: " + SystemErrorText(error)};
}

int TOutputFiles::Lock(const std::string& entry, TError& error, std::string& holder) {
  const std::string lock = LockName(KeyOf(entry));
  for (;;) {
    // Never through a link, and never into a file that is not one of ours
    // alone: the holder's name is written into it.
    const int fd = openat(FolderFd, lock.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = TError::System(errno, "its lock file " + lock + " cannot be made");
      return -1;
    }
    struct stat held;
    if (fstat(fd, &held) == 0 && held.st_nlink == 0) {
      // Removed by its last holder, or as a free lock, since we opened it.
      close(fd);
      continue;
    }
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_nlink != 1 ||
        held.st_uid != geteuid()) {
      close(fd);
      error = TError::Refused("its lock file " + lock + " is not a file of ours alone; remove it");
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK)
        holder = Holder(fd);
      else
        error = TError::System(errno, "its lock file " + lock);
      close(fd);
      return -1;
    }
    struct stat named;
    if (fstatat(FolderFd, lock.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      if (ftruncate(fd, 0) == 0 && pwrite(fd, OutputName.data(), OutputName.size(), 0) ==
                                       static_cast<ssize_t>(OutputName.size()))
        return fd;
      error = TError::System(errno, "its lock file " + lock + " cannot be written");
      Unlock(entry, fd);
      return -1;
    }
    // Its last holder removed it after we opened it.
    close(fd);
  }
}

void TOutputFiles::Unlock(const std::string& entry, int fd) {
  // Removed while still held: a job that opened it meanwhile finds it gone
  // once it holds it, and makes a new one.
  unlinkat(FolderFd, LockName(KeyOf(entry)).c_str(), 0);
  close(fd);
}

void TOutputFiles::Release() {
  DiscardAll();
  for (TName& name : Names)
    if (name.LockFd >= 0) {
      Unlock(name.Entry, name.LockFd);
      name.LockFd = -1;
    }
  if (FolderFd >= 0) close(FolderFd);
  FolderFd = -1;
}

bool TOutputFiles::Claim(const std::string& outputName, const std::vector<std::string>& names) {
  Release();
  OutputName = outputName;
  Names.clear();
  Failure = {};
  HadAny = false;
  for (size_t i = 0; i < names.size(); ++i)
    for (size_t k = i + 1; k < names.size(); ++k)
      if (names[i] == names[k])
        return Refuse(TError::Refused("Output " + outputName + " would write two of its files as " +
                                      names[i]));
  Folder = ExtractFileDir(outputName);
  if (Folder.empty()) Folder = outputName.rfind('/', 0) == 0 ? "/" : ".";
  FolderFd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (FolderFd < 0) {
    const int error = errno;
    return Refuse({TErrorCode::IO, error,
                   error == ENOENT    ? "Output folder " + Folder + " does not exist"
                   : error == ENOTDIR ? "Output folder " + Folder + " is not a folder"
                                      : "Output folder " + Folder + ": " + SystemErrorText(error)});
  }
  const long nameMax = fpathconf(FolderFd, _PC_NAME_MAX);
  Longest = nameMax > 0 ? static_cast<size_t>(nameMax) : NAME_MAX;
  if (ExtractFileName(outputName).size() > Longest)
    return Refuse(TError::Refused("Output file name " + ExtractFileName(outputName) +
                                  " is longer than the " + std::to_string(Longest) +
                                  " bytes its folder allows"));
  for (const std::string& path : names) {
    // A companion name too long to exist is one the output cannot write
    // either: Create says so when the format asks for it.
    if (ExtractFileName(path).size() > Longest) continue;
    Names.push_back({path, ExtractFileName(path), KeyOf(ExtractFileName(path))});
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) return Refuse(TError::Refused("Output " + path + " is a folder"));
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      return Refuse(TError::Refused("Output " + path + " is not a regular file"));
    HadAny = true;
  }
  if (faccessat(FolderFd, ".", W_OK | X_OK, AT_EACCESS) != 0)
    return Refuse(FolderUnwritable(errno));
  for (TName& name : Names) {
    TError error;
    std::string holder;
    name.LockFd = Lock(name.Entry, error, holder);
    if (name.LockFd >= 0) continue;
    if (error.Failed())
      return Refuse(std::move(error).In("Output file " + name.Path + " cannot be locked: "));
    return Refuse(TError::Refused(holder.empty() || holder == outputName
                                      ? "Another job is writing " + outputName
                                      : "Another job is writing " + holder + ", which shares " +
                                            name.Path + " with " + outputName));
  }
  if (!Recover()) return Refuse(std::move(Failure));
  // Whatever temporaries these names still have, a killed job left them; a
  // former file's copy left without a journal is one whose publish was done.
  const std::vector<std::string> entries = Entries(FolderFd);
  for (const std::string& entry : entries)
    for (const TName& name : Names)
      if (IsTemporaryOf(entry, name.Key)) unlinkat(FolderFd, entry.c_str(), 0);
  for (const TName& name : Names) unlinkat(FolderFd, FormerName(name.Key).c_str(), 0);
  SweepFreeLocks(entries);
  return true;
}

void TOutputFiles::SweepFreeLocks(const std::vector<std::string>& entries) {
  for (const std::string& lock : entries) {
    if (lock.size() != 8 + 16 + 5 || !lock.ends_with(".lock")) continue;
    const std::string key = lock.substr(8, 16);
    if (std::any_of(Names.begin(), Names.end(), [&](const TName& n) { return n.Key == key; }))
      continue;
    const int fd = openat(FolderFd, lock.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_nlink == 1 &&
        held.st_uid == geteuid() && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(FolderFd, lock.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      // Held by nobody: whatever its temporaries are, a killed job left them.
      for (const std::string& entry : entries)
        if (IsTemporaryOf(entry, key)) unlinkat(FolderFd, entry.c_str(), 0);
      unlinkat(FolderFd, lock.c_str(), 0);
    }
    close(fd);
  }
}

bool TOutputFiles::Recover() {
  for (const std::string& journal : Entries(FolderFd)) {
    if (!IsJournal(journal)) continue;
    const int fd =
        openat(FolderFd, journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    const bool ours = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
    const std::string text = ours ? ReadAll(fd) : std::string();
    close(fd);
    std::vector<std::pair<std::string, bool>> entries;
    const bool ended = ParseJournal(text, entries);
    const bool mine = std::any_of(entries.begin(), entries.end(), [&](const auto& e) {
      return std::any_of(Names.begin(), Names.end(),
                         [&](const TName& n) { return n.Entry == e.first; });
    });
    if (!ours || !mine) continue;
    // The journal's other names are locked too while it is rolled back.
    std::vector<std::pair<std::string, int>> extra;
    bool held = true;
    for (const auto& journalEntry : entries) {
      const std::string& entry = journalEntry.first;
      if (std::any_of(Names.begin(), Names.end(), [&](const TName& n) { return n.Entry == entry; }))
        continue;
      TError error;
      std::string holder;
      const int lock = Lock(entry, error, holder);
      if (lock < 0) {
        held = false;
        break;
      }
      extra.emplace_back(entry, lock);
    }
    const bool undone = held && (!ended || RollBack(entries));
    if (undone) unlinkat(FolderFd, journal.c_str(), 0);
    for (const auto& [entry, lock] : extra) Unlock(entry, lock);
    if (!held) {
      Failure = TError::Refused("Another job is writing files of " + OutputName +
                                " whose last publish was stopped; try again when it has ended");
      return false;
    }
    if (!undone) {
      Failure = TError::Of(TErrorCode::IO, "The former files of " + OutputName +
                                               ", kept aside by a job that was stopped, " +
                                               "cannot all be put back; " + Folder + "/" + journal +
                                               " names them");
      return false;
    }
  }
  return true;
}

bool TOutputFiles::RollBack(const std::vector<std::pair<std::string, bool>>& entries) {
  bool whole = true;
  for (const auto& [entry, former] : entries) {
    const std::string kept = FormerName(KeyOf(entry));
    struct stat st;
    if (former) {
      if (fstatat(FolderFd, kept.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        whole = renameat(FolderFd, kept.c_str(), FolderFd, entry.c_str()) == 0 && whole;
    } else {
      whole = (unlinkat(FolderFd, entry.c_str(), 0) == 0 || errno == ENOENT) && whole;
    }
  }
  return whole;
}

std::string TOutputFiles::ReplaceRefusal(const std::string& entry) {
  struct stat st, folder;
  if (fstatat(FolderFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  if (fstat(FolderFd, &folder) == 0 && (folder.st_mode & S_ISVTX) && geteuid() != 0 &&
      st.st_uid != geteuid() && folder.st_uid != geteuid())
    return "it belongs to another user, in a folder where only a file's owner may replace it";
  if (S_ISREG(st.st_mode)) {
    const int fd = openat(FolderFd, entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      if (flags & FS_IMMUTABLE_FL) return close(fd), "it is immutable (chattr +i)";
      if (flags & FS_APPEND_FL) return close(fd), "it is append-only (chattr +a)";
    }
    if (fd >= 0) close(fd);
  }
  return {};
}

int TOutputFiles::Create(const std::string& name, int access) {
  const auto owner =
      std::find_if(Names.begin(), Names.end(), [&](const TName& n) { return n.Path == name; });
  if (FolderFd < 0 || (owner == Names.end() && ExtractFileName(name).size() <= Longest)) {
    errno = EBADF;
    return -1;
  }
  if (owner == Names.end()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = -1;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = TemporaryName(owner->Key);
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
  Failure = {};
  auto made = [&](const TName& n) {
    return std::find_if(Made.begin(), Made.end(), [&](const auto& m) { return m.first == n.Path; });
  };
  // The names this publish changes, the output's own last, and whether each
  // holds a former file; each must be one we may replace or remove.
  std::vector<std::pair<std::string, bool>> entries;
  std::vector<const TName*> order;
  for (const bool own : {false, true})
    for (const TName& n : Names)
      if ((strcasecmp(n.Path.c_str(), OutputName.c_str()) == 0) == own) order.push_back(&n);
  if (faccessat(FolderFd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    Failure = FolderUnwritable(errno);
    return false;
  }
  if (int flags = 0;
      ioctl(FolderFd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
    Failure = TError::Refused("Output folder " + Folder +
                              " cannot be written: it is immutable or append-only");
    return false;
  }
  for (const TName* n : order) {
    struct stat st;
    const bool former = fstatat(FolderFd, n->Entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!former && made(*n) == Made.end()) continue;
    if (const std::string why = former ? ReplaceRefusal(n->Entry) : ""; !why.empty()) {
      Failure = TError::Refused(n->Path + " cannot be replaced: " + why);
      return false;
    }
    entries.emplace_back(n->Entry, former);
  }
  if (entries.empty()) return true;
  // The journal, then the former files kept aside (linked, or moved where
  // the output writes no file of that name), then the renames.
  const std::string journal = JournalName(KeyOf(ExtractFileName(OutputName)));
  unlinkat(FolderFd, journal.c_str(), 0);
  const int fd =
      openat(FolderFd, journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 || !WriteAll(fd, JournalText(entries))) {
    Failure = FolderUnwritable(errno);
    if (fd >= 0) close(fd), unlinkat(FolderFd, journal.c_str(), 0);
    return false;
  }
  close(fd);
  auto fail = [&](const std::string& what, int error) {
    Failure = {TErrorCode::IO, error, what + ": " + SystemErrorText(error)};
    // What could not be put back now, the next job on these files puts
    // back from the journal.
    if (RollBack(entries))
      unlinkat(FolderFd, journal.c_str(), 0);
    else
      Failure.Text += "; not every former file could be put back yet";
    return false;
  };
  for (const TName* n : order) {
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&](const auto& e) { return e.first == n->Entry; });
    if (it == entries.end() || !it->second) continue;
    const std::string kept = FormerName(n->Key);
    unlinkat(FolderFd, kept.c_str(), 0);
    const bool replaced = made(*n) != Made.end();
    if ((!replaced || linkat(FolderFd, n->Entry.c_str(), FolderFd, kept.c_str(), 0) != 0) &&
        renameat(FolderFd, n->Entry.c_str(), FolderFd, kept.c_str()) != 0)
      return fail("Former output file " + n->Path + " cannot be kept aside", errno);
  }
  for (const TName* n : order)
    if (const auto m = made(*n);
        m != Made.end() && renameat(FolderFd, m->second.c_str(), FolderFd, n->Entry.c_str()) != 0)
      return fail("Output file " + n->Path + " cannot take its name", errno);
  // Done: the journal's removal is what makes it so.
  unlinkat(FolderFd, journal.c_str(), 0);
  for (const auto& [entry, former] : entries)
    if (former) unlinkat(FolderFd, FormerName(KeyOf(entry)).c_str(), 0);
  Made.clear();
  return true;
}

}  // namespace mirava
