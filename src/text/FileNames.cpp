#include "text/FileNames.h"

#include <sys/stat.h>

#include <filesystem>

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

TFileId IdentifyFile(const std::string& name) {
  TFileId id;
  struct stat st;
  if (stat(name.c_str(), &st) == 0) {
    id.Exists = true;
    id.Device = st.st_dev;
    id.Inode = st.st_ino;
  }
  std::error_code ec;
  auto path = std::filesystem::weakly_canonical(std::filesystem::absolute(name, ec), ec);
  id.Path = ec ? name : path.lexically_normal().string();
  return id;
}

bool SameFile(const TFileId& a, const TFileId& b) {
  if (a.Exists && b.Exists) return a.Device == b.Device && a.Inode == b.Inode;
  return a.Path == b.Path;
}

}  // namespace mirava
