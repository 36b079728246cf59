// Small text, number and keyword helpers shared by the header readers,
// control point files and world files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "raster/Error.h"

namespace mirava {

// Coordinate type codes.
enum : uint8_t { ctEN = 0, ctRAW = 1, ctLATLONG = 2, ctUnknownCoords = 3 };

extern const char* const CoordinateTypeNames[4];
uint8_t ParseCoordinateType(const std::string& word);

// Splits a text into tokens separated by any run of delimiter characters.
class TTokenSplitter {
 public:
  void SetTokenSource(std::string text);
  std::string NextToken(std::string_view delimiters = " \t");

 private:
  std::string Source;
  size_t Position = 0;
};
// The splitter every tokenising loop of one thread shares.
void SetTokenSource(std::string text);
std::string NextToken(std::string_view delimiters = " \t");

std::string QuoteIfBare(const std::string& text);
std::string TrimLeftBlanks(const std::string& text);
std::string TrimRightBlanks(const std::string& text);
std::string TrimBlanks(const std::string& text);
std::string ValueAfterEquals(const std::string& line);
std::string UpperCase(std::string text);

// Locale-independent number parsing: "." or "," as decimal separator.
double ParseReal(const std::string& text, double defaultValue);
int64_t ParseIntDef(const std::string& text, int64_t defaultValue);
// ParseReal for header values, except that NaN, an infinity or a number
// beyond the range of a double, in any spelling, gives NaN rather than the
// default, so that the header can refuse it instead of carrying on.
double ParseHeaderReal(const std::string& text, double defaultValue);
// Strict integer parse for header values: nothing when the text is not a
// 32-bit integer.
std::optional<int32_t> ParseHeaderInt(const std::string& text);
// An option's whole number, digits only, from `low` to `high`; false for
// anything else.
bool ParseCount(const std::string& text, uint32_t low, uint32_t high, uint32_t& value);

// Number formatting, always with "." as decimal separator.
// Fixed notation with exactly `decimals` digits.
std::string FormatFixed(double value, int decimals);
// Fixed notation with at least `minDecimals` digits and as many more as the
// value needs to read back exactly.
std::string FormatExact(double value, int minDecimals);
// Right-aligns text in a field of `width` characters (never cuts it).
std::string PadLeft(const std::string& text, size_t width);
// Shortest general form with up to 15 significant digits.
std::string FormatGeneral(double value);

std::string ShortenPath(const std::string& path, int n);

}  // namespace mirava
