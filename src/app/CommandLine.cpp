#include "app/CommandLine.h"

#include <algorithm>

#include "dataset/DataSet.h"
#include "text/TextUtils.h"

namespace mirava {

TJobOptions JobOptionsFor(const TJobSettings& settings) {
  TJobOptions options;
  options.MemoryLimit = settings.MemoryMiB << 20;
  options.DropRotation = settings.DropRotation;
  options.KeepGround = settings.KeepGround;
  options.Encoding = settings.Encoding;
  options.CreationOptions = settings.CreationOptions;
  return options;
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
      settings.JobKind = c >= '0' && c <= '9' ? c - '0' : 0;
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
  return p.size() == 2 && (p[0] == '-' || p[0] == '/') && p[1] >= '0' && p[1] <= '5';
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

std::string ParseCliCommandLine(const std::vector<std::string>& parameters,
                                TJobSettings& settings) {
  int names = 0;
  for (size_t i = 0; i < parameters.size(); ++i) {
    const std::string& p = parameters[i];
    std::string why;
    if (IsCreationOptionSwitch(p)) {
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
  return CreationOptionsRefusal(OutputFormat(settings.OutputFileName), settings.CreationOptions);
}

}  // namespace mirava
