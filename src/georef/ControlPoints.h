// Ground control points: a raster position (column, row in cells, with (0, 0)
// at the outer corner of the first cell) tied to a world position.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "raster/Error.h"
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
  // Writes the native ".gcp" file, made by `files` (an output's, under a
  // temporary name); the failure, which names the file, when it could not
  // be written (or there is nothing to write).
  TError SaveToFile(const std::string& fileName, TFileMaker& files) const;

  // The point lines of the last LoadFromFile that were not taken, each as
  // its file, line number and what is wrong with it.
  std::vector<std::string> SkippedLines;

 private:
  std::vector<std::unique_ptr<TGCPoint>> Points;
};

}  // namespace mirava
