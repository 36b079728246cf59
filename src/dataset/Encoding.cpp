#include "dataset/Encoding.h"

#include <algorithm>

namespace mirava {

std::optional<TChromaSampling> ChromaSamplingFromText(const std::string& text) {
  if (text == "444") return TChromaSampling::Full;
  if (text == "422") return TChromaSampling::Half;
  if (text == "420") return TChromaSampling::Quarter;
  return std::nullopt;
}

std::string ChromaSamplingText(TChromaSampling sampling) {
  switch (sampling) {
    case TChromaSampling::Half:
      return "422";
    case TChromaSampling::Quarter:
      return "420";
    case TChromaSampling::Full:
      break;
  }
  return "444";
}

std::optional<int> JpegQualityFromText(const std::string& text) {
  if (text.empty() || text.size() > 3 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int quality = std::stoi(text);
  if (quality < 1 || quality > 100) return std::nullopt;
  return quality;
}

}  // namespace mirava
