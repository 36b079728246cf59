// File name pieces. Extensions come from the file name part only, so a dot
// in a folder name is never taken for one.
#pragma once

#include <sys/types.h>

#include <string>

namespace mirava {

std::string ExtractFileName(const std::string& path);  // after the last "/"
std::string ExtractFileDir(const std::string& path);   // before the last "/"
std::string ExtractFileExt(const std::string& path);   // ".ext", or empty
// Replaces the extension (or appends one when there is none).
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string RemoveFileExt(const std::string& path);
bool FileExists(const std::string& path);

// A file's identity: device and inode when it exists (links and other names
// of it compare equal), otherwise its normalised absolute path.
struct TFileId {
  bool Exists = false;
  dev_t Device = 0;
  ino_t Inode = 0;
  std::string Path;
};
TFileId IdentifyFile(const std::string& name);
bool SameFile(const TFileId& a, const TFileId& b);

}  // namespace mirava
