// Ground control points: a raster position (column, row in cells, with (0, 0)
// at the outer corner of the first cell) tied to a world position.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "text/FileMaker.h"

namespace mirava {

class TGCPoint {
 public:
  TGCPoint() = default;
  // Copies everything but SecondFlag, which starts false in every copy.
  static TGCPoint CreateCopy(const TGCPoint* source);
  // Native line: Name Enabled CellX CellY X Y Z.
  static TGCPoint CreateFromLine(const std::string& text);
  // ER Mapper line: Name Enabled SecondFlag CellX CellY X Y Z.
  static TGCPoint CreateFromErsLine(const std::string& text);

  void GetName(std::string& name) const { name = Name; }
  const std::string& GetName() const { return Name; }
  bool GetEnabled() const { return Enabled; }
  bool GetSecondFlag() const { return SecondFlag; }
  double GetCellX() const { return CellX; }
  double GetCellY() const { return CellY; }
  double GetX() const { return X; }
  double GetY() const { return Y; }
  double GetZ() const { return Z; }
  void SetName(const std::string& name) { Name = name; }
  void SetEnabled(bool flag) { Enabled = flag; }
  void SetSecondFlag(bool flag) { SecondFlag = flag; }
  void SetCellX(double v) { CellX = v; }
  void SetCellY(double v) { CellY = v; }
  void SetX(double v) { X = v; }
  void SetY(double v) { Y = v; }
  void SetZ(double v) { Z = v; }

  // Field 0 name, 1 "Yes"/"No", 2..6 CellX, CellY, X, Y, Z.
  void GetFieldText(int field, std::string& text) const;
  void SetFieldText(int field, const std::string& text);

 private:
  friend class TGCPList;
  std::string Name;
  bool Enabled = false;
  bool SecondFlag = false;
  double CellX = 0, CellY = 0, X = 0, Y = 0, Z = 0;
};

// The OSD header's line form of a point.
std::string FormatPointLine(const TGCPoint& point);

class TGCPList {
 public:
  using TChange = std::function<void(TGCPList&)>;

  int Count() const { return static_cast<int>(Points.size()); }
  TGCPoint* Items(int index);
  const TGCPoint* Items(int index) const;
  void Clear();

  void Add(const TGCPoint* point);
  void AddFromLine(const std::string& text);
  void AddFromErsLine(const std::string& text);

  bool LoadFromFile(const std::string& fileName);
  bool LoadNamedPointsFile(const std::string& fileName);
  bool LoadNumberedPointsFile(const std::string& fileName);
  // Native ".gcp" file, made by `files` (an output's, under a temporary
  // name). On an I/O failure returns false with ErrorMessage set to the
  // text the user is to be shown.
  bool SaveToFile(const std::string& fileName, TFileMaker& files);

  void SetPointName(int index, const std::string& v);
  void SetPointEnabled(int index, bool v);
  void SetPointCellX(int index, double v);
  void SetPointCellY(int index, double v);
  void SetPointX(int index, double v);
  void SetPointY(int index, double v);
  void SetPointZ(int index, double v);
  void SetModified(bool flag);
  bool Modified() const { return IsModified; }

  std::string SValue, DValue, PValue;
  TChange OnChange;
  std::string ErrorMessage;
  // The point lines of the last LoadFromFile that were not taken, each as
  // its file, line number and what is wrong with it.
  std::vector<std::string> SkippedLines;

 private:
  template <typename T>
  void SetPointField(int index, T TGCPoint::*field, const T& value);
  std::vector<std::unique_ptr<TGCPoint>> Points;
  bool IsModified = false;
};

}  // namespace mirava
