#include "text/FileNames.h"

#include <sys/stat.h>

namespace mirava {

std::string ExtractFileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtractFileDir(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

static size_t ExtensionStart(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return std::string::npos;
  return dot;
}

std::string ExtractFileExt(const std::string& path) {
  size_t dot = ExtensionStart(path);
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string RemoveFileExt(const std::string& path) {
  size_t dot = ExtensionStart(path);
  return dot == std::string::npos ? path : path.substr(0, dot);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  return RemoveFileExt(path) + ext;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace mirava
