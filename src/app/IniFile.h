// A small INI file: "[Section]" lines and "Key=value" lines, read and
// written so that a person can edit it. Lines this class does not own
// (comments, other sections and keys) are kept as they were.
#pragma once

#include <string>
#include <vector>

#include "raster/Error.h"

namespace mirava {

class TIniFile {
 public:
  // Reads the file; a missing or unreadable file is an empty one.
  explicit TIniFile(std::string fileName);

  // Section and key names are matched without regard to ASCII case.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Replaces the file with the current contents, creating its folder when
  // needed.
  TError UpdateFile();

  const std::string& FileName() const { return Name; }

 private:
  // Line indexes, -1 when missing.
  int FindSection(const std::string& section) const;
  int FindKey(int sectionLine, const std::string& key) const;
  TError Failure(int code) const;

  std::string Name;
  std::vector<std::string> Lines;
};

}  // namespace mirava
