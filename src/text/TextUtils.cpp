#include "text/TextUtils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace mirava {

const char* const CoordinateTypeNames[4] = {"EN", "RAW", "LATLONG", ""};

uint8_t ParseCoordinateType(const std::string& word) {
  for (uint8_t code = 0; code < 3; ++code)
    if (word == CoordinateTypeNames[code]) return code;
  return ctUnknownCoords;
}

void TTokenSplitter::SetTokenSource(std::string text) {
  Source = std::move(text);
  Position = 0;
}

std::string TTokenSplitter::NextToken(std::string_view delimiters) {
  auto isDelimiter = [&](char c) { return delimiters.find(c) != std::string_view::npos; };
  while (Position < Source.size() && isDelimiter(Source[Position])) ++Position;
  size_t start = Position;
  while (Position < Source.size() && !isDelimiter(Source[Position])) ++Position;
  std::string token =
      Source.substr(std::min(start, Source.size()), Position - std::min(start, Source.size()));
  ++Position;
  return token;
}

static thread_local TTokenSplitter SharedSplitter;

void SetTokenSource(std::string text) { SharedSplitter.SetTokenSource(std::move(text)); }

std::string NextToken(std::string_view delimiters) { return SharedSplitter.NextToken(delimiters); }

std::string QuoteIfBare(const std::string& text) {
  if (text.find('"') != std::string::npos) return text;
  return '"' + text + '"';
}

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimLeftBlanks(const std::string& text) {
  size_t start = 0;
  while (start + 1 < text.size() && IsBlank(text[start])) ++start;
  return text.substr(start, 255);
}

std::string TrimRightBlanks(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string TrimBlanks(const std::string& text) { return TrimLeftBlanks(TrimRightBlanks(text)); }

std::string ValueAfterEquals(const std::string& line) {
  size_t eq = line.find('=');
  return TrimLeftBlanks(eq == std::string::npos ? line : line.substr(eq + 1));
}

std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The text trimmed, with its first "," as the decimal point when it has no ".".
static std::string WithDecimalPoint(const std::string& text) {
  std::string s = TrimBlanks(text);
  if (s.find('.') == std::string::npos) {
    const size_t comma = s.find(',');
    if (comma != std::string::npos) s[comma] = '.';
  }
  return s;
}

double ParseReal(const std::string& text, double defaultValue) {
  const std::string s = WithDecimalPoint(text);
  if (s.empty()) return defaultValue;
  // Only a plain decimal number: sign, digits, one point, exponent.
  for (char c : s)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return defaultValue;
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (*first == '+') ++first;
  double value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last) return defaultValue;
  return value;
}

double ParseHeaderReal(const std::string& text, double defaultValue) {
  const std::string s = WithDecimalPoint(text);
  const char* first = s.data();
  const char* last = s.data() + s.size();
  if (first != last && *first == '+') ++first;
  double value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (first != last && end == last &&
      (ec == std::errc::result_out_of_range || (ec == std::errc() && !std::isfinite(value))))
    return std::numeric_limits<double>::quiet_NaN();
  return ParseReal(text, defaultValue);
}

static bool ParseInteger(const std::string& text, int64_t& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last || *first == '+') return false;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

int64_t ParseIntDef(const std::string& text, int64_t defaultValue) {
  int64_t value;
  return ParseInteger(text, value) ? value : defaultValue;
}

std::optional<int32_t> ParseHeaderInt(const std::string& text) {
  int64_t value;
  if (!ParseInteger(text, value) || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool ParseCount(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  value = static_cast<uint32_t>(std::stoul(text));
  return value >= low && value <= high;
}

static std::string ToChars(double value, std::chars_format format, int precision) {
  if (value == 0) value = 0;  // no "-0.000"
  char buffer[400];
  auto result = precision < 0
                    ? std::to_chars(buffer, buffer + sizeof buffer, value, format)
                    : std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
  if (result.ec != std::errc()) return std::isfinite(value) ? "0" : "nan";
  return std::string(buffer, result.ptr);
}

std::string FormatFixed(double value, int decimals) {
  return ToChars(value, std::chars_format::fixed, decimals);
}

std::string FormatExact(double value, int minDecimals) {
  std::string text = ToChars(value, std::chars_format::fixed, -1);
  if (!std::isfinite(value)) return text;
  size_t point = text.find('.');
  size_t decimals = point == std::string::npos ? 0 : text.size() - point - 1;
  if (point == std::string::npos && minDecimals > 0) text += '.';
  if (decimals < static_cast<size_t>(minDecimals)) text.append(minDecimals - decimals, '0');
  return text;
}

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string FormatGeneral(double value) { return ToChars(value, std::chars_format::general, 15); }

std::string ShortenPath(const std::string& path, int n) {
  if (n <= 0 || path.size() <= static_cast<size_t>(n)) return path;
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  int keep = n - static_cast<int>(name.size()) - 4;
  std::string result = keep > 0 ? path.substr(0, keep) : std::string();
  result += ".../" + name;
  return result.substr(0, n);
}

}  // namespace mirava
