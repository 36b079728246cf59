#include "app/CommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "dataset/DataSet.h"
#include "georef/CoordinateSystem.h"
#include "raster/Placement.h"
#include "text/TextUtils.h"

namespace mirava {

TJobOptions JobOptionsFor(const TJobSettings& settings) {
  TJobOptions options;
  options.MemoryLimit = settings.MemoryMiB << 20;
  options.DropRotation = settings.DropRotation;
  options.KeepGround = settings.KeepGround;
  options.Encoding = settings.Encoding;
  options.CreationOptions = settings.CreationOptions;
  ApplyGdalSwitches(settings.Gdal, options);
  return options;
}

std::vector<std::string> CreationOptionsFor(const std::vector<std::string>& options,
                                            const TGdalSwitches& gdal) {
  std::vector<std::string> all = options;
  if (gdal.Cog) all.insert(all.begin(), "COG=YES");
  return all;
}

void ApplyGdalSwitches(const TGdalSwitches& gdal, TJobOptions& options) {
  options.CreationOptions = CreationOptionsFor(options.CreationOptions, gdal);
  options.OutputFormat = gdal.OutputFormat;
  options.Bands = gdal.Bands;
  options.AssignedCrs = gdal.AssignedCrs;
  options.AssignedNoData = gdal.AssignedNoData;
}

namespace {

const std::string kMemorySwitch = "--memory=";
const std::string kQualitySwitch = "--jpeg-quality=";
const std::string kSamplingSwitch = "--jpeg-subsampling=";
const std::string kKeepGroundSwitch = "--keep-ground";

bool IsShortSwitch(const std::string& p, char letter) {
  return p.size() == 2 && (p[0] == '-' || p[0] == '/') && p[1] == letter;
}

}  // namespace

bool LooksLikeSwitch(const std::string& p) {
  return (!p.empty() && p[0] == '-') || (p.size() == 2 && p[0] == '/');
}

void ParseCommandLine(const std::vector<std::string>& parameters, TJobSettings& settings) {
  int names = 0;
  for (const std::string& p : parameters) {
    if (p.compare(0, kMemorySwitch.size(), kMemorySwitch) == 0) {
      settings.MemoryMiB = static_cast<uint64_t>(
          std::max<int64_t>(0, ParseIntDef(p.substr(kMemorySwitch.size()), 0)));
      continue;
    }
    std::string why;
    if (ParseEncodingSwitch(p, settings.Encoding, why)) continue;
    if (p == kKeepGroundSwitch) {
      settings.KeepGround = true;
      continue;
    }
    if (LooksLikeSwitch(p)) {
      const char c = p.size() > 1 ? p[1] : '\0';
      if (c == 'F' || c == 'f') {
        settings.CommandLineMode = true;
        continue;
      }
      const auto placement = PlacementOfKind(c >= '0' && c <= '9' ? c - '0' : -1);
      settings.JobKind = placement ? KindOf(*placement) : 0;
      settings.KindGiven = true;
      continue;
    }
    if (names == 0) settings.InputFileName = p;
    if (names == 1) settings.OutputFileName = p;
    ++names;
  }
  if (names < 2) settings.CommandLineMode = false;
}

bool IsKindSwitch(const std::string& p) {
  return p.size() == 2 && (p[0] == '-' || p[0] == '/') && p[1] >= '0' && p[1] <= '9' &&
         PlacementOfKind(p[1] - '0');
}

bool IsUnattendedSwitch(const std::string& p) { return IsShortSwitch(p, 'F'); }

std::string UnknownSwitchText(const std::string& p) {
  if (p.size() == 2 && p[1] >= '6' && p[1] <= '9') return p + " is no kind: the kinds are 0 to 5";
  if (IsShortSwitch(p, 'f')) return "unknown option " + p + " (the unattended switch is /F)";
  return "unknown option " + p;
}

std::string ParseMemorySwitch(const std::string& p, uint64_t& mib) {
  const std::string value = p.substr(kMemorySwitch.size());
  if (value.empty() || value.size() > 9 ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoull(value) == 0)
    return "--memory takes a number of MiB of at least 1, not \"" + value + "\"";
  mib = std::stoull(value);
  return {};
}

bool ParseEncodingSwitch(const std::string& p, TEncoding& encoding, std::string& why) {
  why.clear();
  if (p.compare(0, kQualitySwitch.size(), kQualitySwitch) == 0) {
    const std::string value = p.substr(kQualitySwitch.size());
    if (const auto quality = JpegQualityFromText(value))
      encoding.JpegQuality = *quality;
    else
      why = "--jpeg-quality takes a quality of 1 to 100, not \"" + value + "\"";
    return true;
  }
  if (p.compare(0, kSamplingSwitch.size(), kSamplingSwitch) == 0) {
    const std::string value = p.substr(kSamplingSwitch.size());
    if (const auto sampling = ChromaSamplingFromText(value))
      encoding.JpegSampling = *sampling;
    else
      why = "--jpeg-subsampling takes 444, 422 or 420, not \"" + value + "\"";
    return true;
  }
  return false;
}

bool IsCreationOptionSwitch(const std::string& p) { return p == "-co"; }

std::string TakeCreationOption(const std::vector<std::string>& parameters, size_t& i,
                               std::vector<std::string>& options) {
  if (i + 1 >= parameters.size()) return "-co needs a creation option, KEY=VALUE";
  options.push_back(parameters[++i]);
  return {};
}

namespace {

// GDAL's names of formats that are ours.
struct TGdalName {
  const char* Driver;
  int Code;
};
constexpr TGdalName kGdalNames[] = {
    {"GTiff", fcTiff}, {"ERS", fcErs}, {"BMP", fcBmp}, {"JPEG", fcJpeg}, {"SRTMHGT", fcHgt},
    {"JP2OpenJPEG", fcJp2}};

// GDAL drivers users reach for that write none of ours.
constexpr const char* kOtherGdalDrivers[] = {
    "HFA", "PNG",  "GPKG",  "VRT",  "netCDF", "GIF",   "AAIGrid", "EHdr",
    "ENVI", "NITF", "PCIDSK", "SAGA", "XYZ", "WEBP",   "KEA",         "MEM",   "GSBG",    "RST",
    "RMF",  "ISIS3", "PDS4",  "FITS", "ILWIS", "MBTiles", "JPEG2000", "JP2ECW", "Zarr",  "PCRaster"};

std::string FormatKeys() {
  std::string keys;
  for (const TFormatEntry& entry : FormatEntries()) {
    keys += (keys.empty() ? "" : ", ") + std::string(entry.Key);
    for (const TGdalName& g : kGdalNames)
      if (g.Code == entry.Code) keys += std::string(" (") + g.Driver + ")";
  }
  return keys;
}

// A whole number of at least 1; 0 for anything else.
uint32_t Count(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return static_cast<uint32_t>(std::stoul(text));
}

}  // namespace

int FormatOfName(const std::string& name, std::string& why) {
  const std::string upper = UpperCase(name);
  for (const TFormatEntry& entry : FormatEntries())
    if (UpperCase(entry.Key) == upper) return entry.Code;
  for (const TGdalName& g : kGdalNames)
    if (UpperCase(g.Driver) == upper) return g.Code;
  const auto other = std::find_if(std::begin(kOtherGdalDrivers), std::end(kOtherGdalDrivers),
                                  [&](const char* d) { return UpperCase(d) == upper; });
  why = other != std::end(kOtherGdalDrivers)
            ? "-of " + name + ": GDAL's " + *other + " driver writes no format of Mirava's"
            : "-of " + name + " names no format";
  why += "; the formats are " + FormatKeys();
  return fcUnknown;
}

int OutputFormatFor(const std::string& fileName, int forced) {
  return forced > fcUnknown ? forced : OutputFormat(fileName);
}

std::string OutputNameRefusal(const std::string& fileName, int forced) {
  if (forced <= fcUnknown) return {};
  const std::vector<std::string> files = FormatFiles(forced, fileName, true);
  if (std::find(files.begin(), files.end(), fileName) != files.end()) return {};
  return "-of: " + FormatName(forced) + " files are named by their extension (" +
         FirstExtension(*std::find_if(FormatEntries().begin(), FormatEntries().end(),
                                      [&](const TFormatEntry& e) { return e.Code == forced; })) +
         "), which " + fileName + " does not end in";
}

bool ParseGdalSwitch(const std::vector<std::string>& parameters, size_t& i, TGdalSwitches& gdal,
                     std::string& why) {
  why.clear();
  const std::string& p = parameters[i];
  if (p == "-q" || p == "--quiet") {
    gdal.Quiet = true;
    return true;
  }
  if (p != "-of" && p != "-b" && p != "-a_srs" && p != "-a_nodata") return false;
  if (i + 1 >= parameters.size()) {
    why = p + " needs a value";
    return true;
  }
  const std::string& value = parameters[++i];
  if (p == "-of") {
    // GDAL's COG driver writes a TIFF.
    gdal.Cog = UpperCase(value) == "COG";
    gdal.OutputFormat = gdal.Cog ? int{fcTiff} : FormatOfName(value, why);
  } else if (p == "-b") {
    if (const uint32_t band = Count(value))
      gdal.Bands.push_back(band - 1);
    else
      why = "-b takes a band number from 1, not \"" + value + "\"";
  } else if (p == "-a_srs") {
    TCoordinateSystem crs;
    if (const TError error = CoordinateSystemOfText(value, crs); error.Failed())
      why = "-a_srs: " + error.Text;
    else
      gdal.AssignedCrs = crs;
  } else if (UpperCase(value) == "NONE") {
    gdal.AssignedNoData = std::optional<double>();
  } else {
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno == ERANGE)
      why = "-a_nodata takes a number or none, not \"" + value + "\"";
    else
      gdal.AssignedNoData = number;
  }
  return true;
}

std::string ParseCliCommandLine(const std::vector<std::string>& parameters,
                                TJobSettings& settings) {
  int names = 0;
  bool onlyNames = false;  // after "--"
  for (size_t i = 0; i < parameters.size(); ++i) {
    const std::string& p = parameters[i];
    std::string why;
    if (!onlyNames && p == "--") {
      onlyNames = true;
    } else if (onlyNames) {
      if (names == 2) return "one input and one output are expected; \"" + p + "\" is one more";
      (names++ == 0 ? settings.InputFileName : settings.OutputFileName) = p;
    } else if (ParseGdalSwitch(parameters, i, settings.Gdal, why)) {
      if (!why.empty()) return why;
    } else if (IsCreationOptionSwitch(p)) {
      if (why = TakeCreationOption(parameters, i, settings.CreationOptions); !why.empty())
        return why;
    } else if (p.compare(0, kMemorySwitch.size(), kMemorySwitch) == 0) {
      if (why = ParseMemorySwitch(p, settings.MemoryMiB); !why.empty()) return why;
    } else if (p == "--drop-rotation") {
      settings.DropRotation = true;
    } else if (p == kKeepGroundSwitch) {
      settings.KeepGround = true;
    } else if (ParseEncodingSwitch(p, settings.Encoding, why)) {
      if (!why.empty()) return why;
    } else if (IsUnattendedSwitch(p)) {
      settings.CommandLineMode = true;
    } else if (IsKindSwitch(p)) {
      settings.JobKind = p[1] - '0';
      settings.KindGiven = true;
    } else if (LooksLikeSwitch(p)) {
      return UnknownSwitchText(p);
    } else if (names == 0) {
      settings.InputFileName = p;
      ++names;
    } else if (names == 1) {
      settings.OutputFileName = p;
      ++names;
    } else {
      return "one input and one output are expected; \"" + p + "\" is one more";
    }
  }
  if (names < 2) return "an input and an output file name are needed";
  if (std::string why = OutputNameRefusal(settings.OutputFileName, settings.Gdal.OutputFormat);
      !why.empty())
    return why;
  return CreationOptionsRefusal(
             OutputFormatFor(settings.OutputFileName, settings.Gdal.OutputFormat),
             CreationOptionsFor(settings.CreationOptions, settings.Gdal))
      .Text;
}

}  // namespace mirava
