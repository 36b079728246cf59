// How an output encoded from its cells is compressed where its format is
// lossy: the user's choice, the same for every job of a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mirava {

// JPEG's chroma resolution beside the luminance's.
enum class TChromaSampling : uint8_t {
  Full,     // 4:4:4
  Half,     // 4:2:2, half the columns
  Quarter,  // 4:2:0, half the columns and half the rows
};

struct TEncoding {
  int JpegQuality = 100;  // 1 to 100
  TChromaSampling JpegSampling = TChromaSampling::Full;
};

// "444", "422", "420" and back; none for any other text.
std::optional<TChromaSampling> ChromaSamplingFromText(const std::string& text);
std::string ChromaSamplingText(TChromaSampling sampling);
// A quality of 1 to 100 in decimal digits; none for any other text.
std::optional<int> JpegQualityFromText(const std::string& text);

}  // namespace mirava
