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

void TGCPoint::GetFieldText(int field, std::string& text) const {
  const double values[] = {CellX, CellY, X, Y, Z};
  if (field == 0)
    text = Name;
  else if (field == 1)
    text = Enabled ? "Yes" : "No";
  else if (field >= 2 && field <= 6)
    text = FormatGeneral(values[field - 2]);
  else
    text.clear();
}

void TGCPoint::SetFieldText(int field, const std::string& text) {
  double* values[] = {&CellX, &CellY, &X, &Y, &Z};
  if (field == 0)
    Name = text;
  else if (field == 1)
    Enabled = IsYes(text);
  else if (field >= 2 && field <= 6)
    *values[field - 2] = ParseReal(text, 0);
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
  SetModified(true);
}

void TGCPList::AddFromLine(const std::string& text) {
  Points.push_back(std::make_unique<TGCPoint>(TGCPoint::CreateFromLine(text)));
  SetModified(true);
}

void TGCPList::AddFromErsLine(const std::string& text) {
  Points.push_back(std::make_unique<TGCPoint>(TGCPoint::CreateFromErsLine(text)));
  SetModified(true);
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
  try {
    TReadLine reader(fileName);
    int number = 1;
    for (std::string line = reader.ReadLine(); !IsEndMarker(line);
         line = reader.ReadLine(), ++number) {
      if (IsPointLine(line)) {
        const std::string problem = NativeLineProblem(line);
        if (problem.empty())
          AddFromLine(line);
        else
          SkippedLines.push_back(fileName + " line " + std::to_string(number) + ": " + problem);
      } else if (line.rfind(";S=", 0) == 0)
        SValue = line.substr(3);
      else if (line.rfind(";D=", 0) == 0)
        DValue = line.substr(3);
      else if (line.rfind(";P=", 0) == 0)
        PValue = line.substr(3);
    }
  } catch (const EReadLineError&) {
    return false;
  }
  SetModified(false);
  return true;
}

bool TGCPList::LoadNamedPointsFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  Clear();
  bool ok = true;
  try {
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
    SetModified(false);
  } catch (const EReadLineError&) {
    ok = false;
  }
  if (Points.empty()) Add(nullptr);
  return ok;
}

bool TGCPList::LoadNumberedPointsFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  Clear();
  try {
    TReadLine reader(fileName);
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
  } catch (const EReadLineError&) {
    return false;
  }
  SetModified(false);
  return true;
}

bool TGCPList::SaveToFile(const std::string& fileName, TFileMaker& files) {
  ErrorMessage.clear();
  if (Points.empty() || fileName.empty()) return false;
  TTextFileWriter file(fileName, files);
  if (!SValue.empty() && !DValue.empty() && !PValue.empty()) {
    file.WriteLine(";S=" + SValue);
    file.WriteLine(";D=" + DValue);
    file.WriteLine(";P=" + PValue);
  }
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
  if (!file.Close()) {
    ErrorMessage = "Error in output file:\r" + file.ErrorText();
    return false;
  }
  SetModified(false);
  return true;
}

template <typename T>
void TGCPList::SetPointField(int index, T TGCPoint::*field, const T& value) {
  TGCPoint* point = Items(index);
  if (!point || point->*field == value) return;
  point->*field = value;
  SetModified(true);
}

void TGCPList::SetPointName(int i, const std::string& v) { SetPointField(i, &TGCPoint::Name, v); }
void TGCPList::SetPointEnabled(int i, bool v) { SetPointField(i, &TGCPoint::Enabled, v); }
void TGCPList::SetPointCellX(int i, double v) { SetPointField(i, &TGCPoint::CellX, v); }
void TGCPList::SetPointCellY(int i, double v) { SetPointField(i, &TGCPoint::CellY, v); }
void TGCPList::SetPointX(int i, double v) { SetPointField(i, &TGCPoint::X, v); }
void TGCPList::SetPointY(int i, double v) { SetPointField(i, &TGCPoint::Y, v); }
void TGCPList::SetPointZ(int i, double v) { SetPointField(i, &TGCPoint::Z, v); }

void TGCPList::SetModified(bool flag) {
  IsModified = flag;
  if (flag && OnChange) OnChange(*this);
}

}  // namespace mirava
