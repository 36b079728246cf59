#include "app/Settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "app/IniFile.h"
#include "app/Version.h"
#include "dataset/DataSet.h"
#include "text/FileNames.h"

namespace mirava {

namespace {

constexpr const char* kSection = "Names";
constexpr const char* kInKey = "InName";
constexpr const char* kOutKey = "OutName";
constexpr const char* kJpegSection = "Jpeg";
constexpr const char* kQualityKey = "Quality";
constexpr const char* kSamplingKey = "Subsampling";
constexpr const char* kTiffSection = "TIFF";
constexpr const char* kOptionsKey = "CreationOptions";
constexpr const char* kJp2Section = "JPEG2000";
constexpr const char* kGeoreferenceSection = "Georeference";
constexpr const char* kKeepGroundKey = "KeepGround";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid())) home = entry->pw_dir;
  }
  return home;
}

// Where `cmake --install` and the package put the help page.
std::string InstalledHelpFile(const std::string& executablePath) {
  const std::filesystem::path page = std::filesystem::path(ExtractFileDir(executablePath)) /
                                     kDocFolderFromPrograms / "mirava.html";
  return page.lexically_normal().string();
}

// An installed program has its help page in its prefix, none beside it.
bool IsInstalled(const std::string& executablePath) {
  return !FileExists(ChangeFileExt(executablePath, ".html")) &&
         FileExists(InstalledHelpFile(executablePath));
}

}  // namespace

std::string ExecutablePath(const std::string& fallback) {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return fallback;
    if (static_cast<size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string SettingsFileName(const std::string& executablePath) {
  const std::string beside = ChangeFileExt(executablePath, ".ini");
  std::string folder = ExtractFileDir(executablePath);
  if (folder.empty()) folder = executablePath.empty() || executablePath[0] != '/' ? "." : "/";
  if (!IsInstalled(executablePath) && access(folder.c_str(), W_OK | X_OK) == 0) return beside;
  // The base folder must be absolute; a relative one is ignored.
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') {
    const std::string home = HomeFolder();
    if (home.empty()) return beside;
    config = home + "/.config";
  }
  return config + "/mirava/mirava.ini";
}

std::string HelpFileName(const std::string& executablePath) {
  return IsInstalled(executablePath) ? InstalledHelpFile(executablePath)
                                     : ChangeFileExt(executablePath, ".html");
}

// A format's creation options, separated by blanks; none when they are not
// right together.
static std::vector<std::string> OptionsOf(const TIniFile& ini, const char* section, int format) {
  std::vector<std::string> options;
  std::istringstream words(ini.ReadString(section, kOptionsKey, ""));
  for (std::string word; words >> word;) options.push_back(word);
  if (CreationOptionsRefusal(format, options).Failed()) options.clear();
  return options;
}

// Without options a file that never had them stays as it was.
static void WriteOptions(TIniFile& ini, const char* section,
                         const std::vector<std::string>& options) {
  std::string words;
  for (const std::string& o : options) words += (words.empty() ? "" : " ") + o;
  if (!words.empty() || !ini.ReadString(section, kOptionsKey, "").empty())
    ini.WriteString(section, kOptionsKey, words);
}

void LoadSettings(const std::string& fileName, TJobSettings& settings) {
  const TIniFile ini(fileName);
  settings.InputFileName = ini.ReadString(kSection, kInKey, "");
  settings.OutputFileName = ini.ReadString(kSection, kOutKey, "");
  const TEncoding defaults;
  settings.Encoding.JpegQuality = JpegQualityFromText(ini.ReadString(kJpegSection, kQualityKey, ""))
                                      .value_or(defaults.JpegQuality);
  settings.Encoding.JpegSampling =
      ChromaSamplingFromText(ini.ReadString(kJpegSection, kSamplingKey, ""))
          .value_or(defaults.JpegSampling);
  settings.CreationOptions = OptionsOf(ini, kTiffSection, fcTiff);
  settings.Jp2Options = OptionsOf(ini, kJp2Section, fcJp2);
  settings.KeepGround = ini.ReadString(kGeoreferenceSection, kKeepGroundKey, "0") == "1";
}

TError SaveSettings(const std::string& fileName, const TJobSettings& settings) {
  TIniFile ini(fileName);
  ini.WriteString(kSection, kInKey, settings.InputFileName);
  ini.WriteString(kSection, kOutKey, settings.OutputFileName);
  ini.WriteString(kJpegSection, kQualityKey, std::to_string(settings.Encoding.JpegQuality));
  ini.WriteString(kJpegSection, kSamplingKey, ChromaSamplingText(settings.Encoding.JpegSampling));
  WriteOptions(ini, kTiffSection, settings.CreationOptions);
  WriteOptions(ini, kJp2Section, settings.Jp2Options);
  if (settings.KeepGround || !ini.ReadString(kGeoreferenceSection, kKeepGroundKey, "").empty())
    ini.WriteString(kGeoreferenceSection, kKeepGroundKey, settings.KeepGround ? "1" : "0");
  return ini.UpdateFile();
}

}  // namespace mirava
