// Shared by the fuzz targets: the input bytes become the files a reader
// opens, in a scratch folder of the fuzzing process.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace mirava::fuzz {

inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/mirava-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// Two-file formats take the input as: the first file's bytes, the separator
// "\n@@\n", the second file's bytes. Without a separator the second is empty.
inline void SplitInput(const uint8_t* data, size_t size, const std::string& first,
                       const std::string& second) {
  static const char kSeparator[] = "\n@@\n";
  const uint8_t* at =
      static_cast<const uint8_t*>(memmem(data, size, kSeparator, sizeof kSeparator - 1));
  if (!at) {
    WriteFile(first, data, size);
    WriteFile(second, nullptr, 0);
    return;
  }
  const size_t head = static_cast<size_t>(at - data);
  WriteFile(first, data, head);
  WriteFile(second, at + 4, size - head - 4);
}

}  // namespace mirava::fuzz
