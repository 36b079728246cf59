#include "text/CompanionFile.h"

#include <dirent.h>

#include <memory>

#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

std::string FindCompanion(const std::string& name, const std::string& ext) {
  const std::string exact = ChangeFileExt(name, ext);
  if (FileExists(exact)) return exact;
  const size_t slash = name.rfind('/');
  const std::string prefix = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  const std::string stem = ExtractFileName(RemoveFileExt(name));
  const std::string upperExt = UpperCase(ext);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(prefix.empty() ? "." : prefix.c_str()), closedir);
  if (!dir) return {};
  std::string found;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string entryName = entry->d_name;
    if (entryName.size() != stem.size() + ext.size() ||
        entryName.compare(0, stem.size(), stem) != 0 ||
        UpperCase(entryName.substr(stem.size())) != upperExt || !FileExists(prefix + entryName))
      continue;
    if (found.empty() || entryName < found) found = entryName;
  }
  return found.empty() ? found : prefix + found;
}

std::string CompanionFile(const std::string& name, const std::string& ext) {
  if (UpperCase(ExtractFileExt(name)) == UpperCase(ext)) return name;
  const std::string found = FindCompanion(name, ext);
  return found.empty() ? ChangeFileExt(name, ext) : found;
}

}  // namespace mirava
