// Helpers shared by the tests: scratch folders, files, running commands.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "raster/Georeference.h"

namespace mirava::test {

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    Path = std::filesystem::temp_directory_path() /
           ("mirava-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(Path);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(Path, ec);
  }
  std::string operator/(const std::string& name) const { return (Path / name).string(); }
  std::string str() const { return Path.string(); }

 private:
  std::filesystem::path Path;
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

struct CommandResult {
  int ExitCode = -1;
  std::string Output;  // standard output and standard error together
};

// Runs a shell command line, collecting its output.
inline CommandResult Run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.Output.append(buffer.data(), n);
  int status = pclose(pipe);
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs mirava-cli with the given arguments (each quoted).
inline CommandResult RunCli(const std::vector<std::string>& args) {
  std::string command = MIRAVA_CLI;
  for (const std::string& a : args) command += " " + Quote(a);
  return Run(command + " </dev/null");
}

inline bool HaveGdal() { return Run("gdalinfo --version").ExitCode == 0; }

inline std::string Sample(const std::string& name) {
  return std::string(MIRAVA_SAMPLES) + "/" + name;
}

// A test case's name from the words that describe it: runs of anything but
// letters and digits become one '_', and GDAL's "-co " prefixes go, so that
// "-co COMPRESS=LZW -co PREDICTOR=2" names the case COMPRESS_LZW_PREDICTOR_2.
inline std::string CaseName(const std::string& words) {
  std::string plain = words, name;
  for (size_t at; (at = plain.find("-co ")) != std::string::npos;) plain.erase(at, 4);
  for (char c : plain) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "plain" : name;
}

// A placed georeference of north-up cells under the given names.
inline TGeoreference PlacedAt(double cellSizeX, double cellSizeY, double x0, double y0,
                              const std::string& spheroid = "RAW", const std::string& datum = "RAW",
                              const std::string& projection = "RAW") {
  TGeoreference georeference;
  georeference.Affine = {cellSizeX, 0, 0, cellSizeY, x0, y0};
  georeference.Spheroid = spheroid;
  georeference.Datum = datum;
  georeference.Projection = projection;
  georeference.Placed = true;
  return georeference;
}

}  // namespace mirava::test
