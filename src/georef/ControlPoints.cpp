#include "georef/ControlPoints.h"

#include <cmath>
#include <limits>

#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

static bool IsYes(const std::string& token) { return UpperCase(token) == "YES"; }

TGCPoint TGCPoint::CreateCopy(const TGCPoint* source) {
  TGCPoint point;
  if (source) {
    point = *source;
    point.SecondFlag = false;
  }
  return point;
}

TGCPoint TGCPoint::CreateFromLine(const std::string& text) {
  TGCPoint point;
  SetTokenSource(text);
  point.Name = NextToken();
  point.Enabled = IsYes(NextToken());
  point.CellX = ParseReal(NextToken(), 0);
  point.CellY = ParseReal(NextToken(), 0);
  point.X = ParseReal(NextToken(), 0);
  point.Y = ParseReal(NextToken(), 0);
  point.Z = ParseReal(NextToken(), 0);
  return point;
}

TGCPoint TGCPoint::CreateFromErsLine(const std::string& text) {
  TGCPoint point;
  SetTokenSource(text);
  point.Name = NextToken();
  point.Enabled = IsYes(NextToken());
  point.SecondFlag = IsYes(NextToken());
  point.CellX = ParseReal(NextToken(), 0);
  point.CellY = ParseReal(NextToken(), 0);
  point.X = ParseReal(NextToken(), 0);
  point.Y = ParseReal(NextToken(), 0);
  point.Z = ParseReal(NextToken(), 0);
  return point;
}

std::string FormatPointLine(const TGCPoint& point) {
  std::string line = point.GetName().empty() ? "\"\" " : point.GetName() + " ";
  line += point.GetEnabled() ? "Yes" : "No";
  for (double v : {point.GetCellX(), point.GetCellY(), point.GetX(), point.GetY(), point.GetZ()})
    line += " " + FormatExact(v, 3);
  return line;
}

TGCPoint* TGCPList::Items(int index) {
  return index >= 0 && index < Count() ? Points[index].get() : nullptr;
}

const TGCPoint* TGCPList::Items(int index) const {
  return index >= 0 && index < Count() ? Points[index].get() : nullptr;
}

void TGCPList::Clear() { Points.clear(); }

void TGCPList::Add(const TGCPoint* point) {
  Points.push_back(std::make_unique<TGCPoint>(TGCPoint::CreateCopy(point)));
}

void TGCPList::AddFromLine(const std::string& text) {
  Points.push_back(std::make_unique<TGCPoint>(TGCPoint::CreateFromLine(text)));
}

void TGCPList::AddFromErsLine(const std::string& text) {
  Points.push_back(std::make_unique<TGCPoint>(TGCPoint::CreateFromErsLine(text)));
}

static bool IsPointLine(const std::string& line) { return !line.empty() && line[0] != ';'; }

// Why a native point line is not a point, or empty when it is one: a point
// placed at (0, 0) from a line that does not parse would look as good as any.
static std::string NativeLineProblem(const std::string& line) {
  TTokenSplitter tokens;
  tokens.SetTokenSource(line);
  tokens.NextToken();  // the name
  const std::string enabled = tokens.NextToken();
  if (UpperCase(enabled) != "YES" && UpperCase(enabled) != "NO")
    return enabled.empty() ? "Yes or No is missing" : "\"" + enabled + "\" is not Yes or No";
  for (const char* field : {"CellX", "CellY", "X", "Y", "Z"}) {
    const std::string token = tokens.NextToken();
    if (token.empty()) return std::string(field) + " is missing";
    if (!std::isfinite(ParseHeaderReal(token, std::numeric_limits<double>::quiet_NaN())))
      return "\"" + token + "\" is not a number (" + field + ")";
  }
  return {};
}

bool TGCPList::LoadFromFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  Clear();
  SkippedLines.clear();
  TReadLine reader(fileName);
  if (reader.Error().Failed()) return false;
  int number = 1;
  for (std::string line = reader.ReadLine(); !IsEndMarker(line);
       line = reader.ReadLine(), ++number) {
    if (IsPointLine(line)) {
      const std::string problem = NativeLineProblem(line);
      if (problem.empty())
        AddFromLine(line);
      else
        SkippedLines.push_back(fileName + " line " + std::to_string(number) + ": " + problem);
    }
  }
  return true;
}

bool TGCPList::LoadNamedPointsFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  Clear();
  TReadLine reader(fileName);
  for (std::string line = reader.ReadLine(); !IsEndMarker(line); line = reader.ReadLine()) {
    if (!IsPointLine(line)) continue;
    Add(nullptr);
    TGCPoint& p = *Points.back();
    SetTokenSource(line);
    p.Name = NextToken();
    p.X = ParseReal(NextToken(), 0);
    p.Y = ParseReal(NextToken(), 0);
    p.Z = ParseReal(NextToken(), 0);
    p.CellX = ParseReal(NextToken(), 0);
  }
  if (Points.empty()) Add(nullptr);
  return !reader.Error().Failed();
}

bool TGCPList::LoadNumberedPointsFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  Clear();
  TReadLine reader(fileName);
  if (reader.Error().Failed()) return false;
  reader.ReadLine();  // heading
  for (std::string line = reader.ReadLine(); !IsEndMarker(line); line = reader.ReadLine()) {
    if (!IsPointLine(line)) continue;
    int number = Count();
    Add(nullptr);
    TGCPoint& p = *Points.back();
    p.Name = std::to_string(number);
    p.Enabled = true;
    SetTokenSource(line);
    p.Y = ParseReal(NextToken(), 0);
    p.X = ParseReal(NextToken(), 0);
    p.Z = ParseReal(NextToken(), 0);
    p.CellX = ParseReal(NextToken(), 0);
    p.CellY = ParseReal(NextToken(), 0);
  }
  return true;
}

TError TGCPList::SaveToFile(const std::string& fileName, TFileMaker& files) const {
  if (Points.empty() || fileName.empty()) return TError::Internal("No control points to save");
  TTextFileWriter file(fileName, files);
  for (int i = 0; i < Count(); ++i) {
    const TGCPoint& p = *Points[i];
    std::string line = p.Name.empty() ? std::to_string(i) : p.Name;
    line += p.Enabled ? "\tYes" : "\tNo";
    line += "\t" + PadLeft(FormatFixed(p.CellX, 3), 10);
    line += "\t" + PadLeft(FormatFixed(p.CellY, 3), 10);
    line += "\t" + PadLeft(FormatFixed(p.X, 8), 20);
    line += "\t" + PadLeft(FormatFixed(p.Y, 8), 20);
    line += "\t" + PadLeft(FormatFixed(p.Z, 3), 10);
    file.WriteLine(line);
  }
  if (!file.Close()) return file.Error();
  return {};
}

}  // namespace mirava
