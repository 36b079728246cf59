#include "app/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

bool SameName(const std::string& a, const std::string& b) { return UpperCase(a) == UpperCase(b); }

bool IsSectionLine(const std::string& trimmed) {
  return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.find(']') != std::string::npos;
}

std::string SectionName(const std::string& trimmed) {
  return TrimBlanks(trimmed.substr(1, trimmed.find(']') - 1));
}

bool IsComment(const std::string& trimmed) {
  return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

// A value with blanks at either end, or one that looks quoted, is written in
// quotes so that reading it back gives the same bytes.
std::string QuoteValue(const std::string& value) {
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  if (!quoted && TrimBlanks(value) == value) return value;
  return "\"" + value + "\"";
}

std::string UnquoteValue(const std::string& text) {
  const std::string value = TrimBlanks(text);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The whole file, or nothing when it is no regular file, cannot be read or
// is too large to be a settings file.
std::string ReadSmallFile(const std::string& name) {
  constexpr off_t kLargestFile = 1 << 20;
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLargestFile) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) text.clear();
      if (n <= 0 || text.size() + static_cast<size_t>(n) > kLargestFile) break;
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return text;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : Name(std::move(fileName)) {
  const std::string text = ReadSmallFile(Name);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Lines.push_back(std::move(line));
    start = end + 1;
  }
}

int TIniFile::FindSection(const std::string& section) const {
  for (size_t i = 0; i < Lines.size(); ++i) {
    const std::string trimmed = TrimBlanks(Lines[i]);
    if (IsSectionLine(trimmed) && SameName(SectionName(trimmed), section))
      return static_cast<int>(i);
  }
  return -1;
}

int TIniFile::FindKey(int sectionLine, const std::string& key) const {
  for (size_t i = static_cast<size_t>(sectionLine) + 1; i < Lines.size(); ++i) {
    const std::string trimmed = TrimBlanks(Lines[i]);
    if (IsSectionLine(trimmed)) break;
    if (IsComment(trimmed)) continue;
    const size_t equals = trimmed.find('=');
    if (equals != std::string::npos && SameName(TrimBlanks(trimmed.substr(0, equals)), key))
      return static_cast<int>(i);
  }
  return -1;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  const int s = FindSection(section);
  if (s < 0) return defaultValue;
  const int k = FindKey(s, key);
  if (k < 0) return defaultValue;
  const std::string& line = Lines[static_cast<size_t>(k)];
  return UnquoteValue(line.substr(line.find('=') + 1));
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  int s = FindSection(section);
  if (s < 0) {
    if (!Lines.empty() && !TrimBlanks(Lines.back()).empty()) Lines.emplace_back();
    Lines.push_back("[" + section + "]");
    s = static_cast<int>(Lines.size()) - 1;
  }
  const int k = FindKey(s, key);
  // A line break cannot be stored in a line: such a value is not kept
  // rather than splitting the file.
  if (value.find_first_of("\r\n") != std::string::npos) {
    if (k >= 0) Lines.erase(Lines.begin() + k);
    return;
  }
  const std::string line = key + "=" + QuoteValue(value);
  if (k >= 0) {
    Lines[static_cast<size_t>(k)] = line;
    return;
  }
  // After the section's last key, before blank lines that part sections.
  size_t at = static_cast<size_t>(s) + 1;
  for (size_t i = at; i < Lines.size(); ++i) {
    const std::string trimmed = TrimBlanks(Lines[i]);
    if (IsSectionLine(trimmed)) break;
    if (!trimmed.empty()) at = i + 1;
  }
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(at), line);
}

TError TIniFile::Failure(int code) const {
  return TError::System(code, "Settings not saved in " + Name);
}

TError TIniFile::UpdateFile() {
  const std::string dir = ExtractFileDir(Name);
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
  }
  std::string text;
  for (const std::string& line : Lines) text += line + "\n";
  // Written beside and renamed over the file, so that a failure half-way
  // never leaves a cut settings file.
  const std::string temporary = Name + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Failure(errno);
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const int writeError = errno;
  if (close(fd) != 0 || !written) {
    TError error = Failure(written ? errno : writeError);
    unlink(temporary.c_str());
    return error;
  }
  if (rename(temporary.c_str(), Name.c_str()) != 0) {
    TError error = Failure(errno);
    unlink(temporary.c_str());
    return error;
  }
  return {};
}

}  // namespace mirava
