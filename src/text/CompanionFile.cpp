#include "text/CompanionFile.h"

#include <dirent.h>

#include <memory>

#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

std::string CompanionFile(const std::string& name, const std::string& ext) {
  const std::string upperExt = UpperCase(ext);
  if (UpperCase(ExtractFileExt(name)) == upperExt) return name;
  const std::string wanted = ChangeFileExt(name, ext);
  if (FileExists(wanted)) return wanted;
  const std::string upper = ChangeFileExt(name, upperExt);
  if (FileExists(upper)) return upper;
  // Mixed case such as ".Dat": look through the folder.
  std::string folder = ExtractFileDir(name);
  if (folder.empty()) folder = name.find('/') == std::string::npos ? "." : "/";
  const std::string stem = ExtractFileName(RemoveFileExt(name));
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return wanted;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string entryName = entry->d_name;
    if (entryName.size() == stem.size() + ext.size() &&
        entryName.compare(0, stem.size(), stem) == 0 &&
        UpperCase(entryName.substr(stem.size())) == upperExt) {
      const std::string found = ChangeFileExt(name, entryName.substr(stem.size()));
      if (FileExists(found)) return found;
    }
  }
  return wanted;
}

}  // namespace mirava
