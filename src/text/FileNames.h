// File name pieces. Extensions come from the file name part only, so a dot
// in a folder name is never taken for one.
#pragma once

#include <string>

namespace mirava {

std::string ExtractFileName(const std::string& path);  // after the last "/"
std::string ExtractFileDir(const std::string& path);   // before the last "/"
std::string ExtractFileExt(const std::string& path);   // ".ext", or empty
// Replaces the extension (or appends one when there is none).
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string RemoveFileExt(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace mirava
