#include "app/Thumbnail.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "dataset/DataSet.h"
#include "georef/CoordinateSystem.h"
#include "raster/Placement.h"
#include "raster/CellType.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// The void value of signed 16-bit elevation tiles.
constexpr float kSigned16Void = -32768;

const char* const kCellTypeWords[kCellTypeCount] = {
    "1-bit",           "unsigned 8-bit",    "signed 8-bit",  "signed 16-bit",
    "unsigned 16-bit", "signed 32-bit",     "32-bit float",  "24-bit RGB",
    "64-bit float",    "two 64-bit floats", "unknown cells", "unsigned 32-bit"};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string Size(int64_t columns, int64_t rows, int64_t bands) {
  return std::to_string(columns) + " \xc3\x97 " + std::to_string(rows) + " \xc3\x97 " +
         std::to_string(bands) + (bands == 1 ? " band" : " bands");
}

// Header formats keep names as written, quotes included.
std::string Bare(const std::string& name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
    return name.substr(1, name.size() - 2);
  return name;
}

// Names that are a system's code alone ("EPSG:31985" for the projection,
// the datum and the spheroid of a system ER Mapper has no names for) are
// replaced by what the EPSG database calls them.
void NameByCode(int code, TInputFacts& facts) {
  if (code == 0) return;
  const std::string byCode = "EPSG:" + std::to_string(code);
  std::string* fields[] = {&facts.Projection, &facts.Datum, &facts.Spheroid};
  if (std::ranges::none_of(fields, [&](const std::string* f) { return Bare(*f) == byCode; }))
    return;
  const TEpsgNames names = EpsgNames(code);
  const std::string given[] = {names.System.empty() ? byCode : byCode + " (" + names.System + ")",
                               names.Datum, names.Ellipsoid};
  // A header names no spheroid beside a code.
  for (int i = 0; i < 3; ++i)
    if ((Bare(*fields[i]) == byCode || (i == 2 && NamesNoSystem(*fields[i]))) && !given[i].empty())
      *fields[i] = given[i];
}

void FillFacts(TDataSet2& set, TInputFacts& facts) {
  facts.Format = set.GetFormat();
  facts.Columns = set.GetColumnCount();
  facts.Rows = set.GetRowCount();
  facts.Bands = set.GetBandCount();
  facts.CellType = set.GetCellType();
  const TGeoreference georeference = set.GetGeoreference();
  facts.CellSizeX = georeference.Affine.StepX();
  facts.CellSizeY = georeference.Affine.StepY();
  facts.ColorTable = !set.Reader()->GetColorTable().empty();
  facts.Georeferenced = georeference.Placed;
  facts.OriginX = georeference.Affine.X0;
  facts.OriginY = georeference.Affine.Y0;
  facts.Projection = georeference.Projection;
  facts.Datum = georeference.Datum;
  facts.Spheroid = georeference.Spheroid;
  NameByCode(georeference.Crs.Epsg, facts);
  if (const TGCPList* list = set.GetControlPoints())
    for (int i = 0; i < list->Count(); ++i) {
      const TGCPoint* p = list->Items(i);
      facts.ControlPoints.push_back({Bare(p->GetName()), p->GetCellX(), p->GetCellY()});
    }
}

// The value at `fraction` of the sorted values (which it reorders).
float Quantile(std::vector<float>& values, double fraction) {
  const auto k = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(k), values.end());
  return values[k];
}

// Maps the 2% to 98% range of a band's sampled values onto 0..255.
struct TStretch {
  float Low = 0, High = 0;
  uint32_t operator()(float v) const {
    if (High <= Low) return 128;
    const double t = (static_cast<double>(v) - Low) / (static_cast<double>(High) - Low);
    return static_cast<uint32_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255));
  }
};

// The placement of `kind` on a raster of columns x rows; a number that is
// no kind places nothing.
TPhotoLayer Layer(int32_t kind, int32_t columns, int32_t rows) {
  return TPhotoLayer(PlacementOfKind(kind).value_or(TPlacement::None), columns, rows);
}

}  // namespace

void SampleThumbnail(TDataSet2& set, TThumbnail& thumbnail, const std::atomic<bool>& cancel,
                     int32_t side) {
  FillFacts(set, thumbnail.Facts);
  const TInputFacts& f = thumbnail.Facts;
  if (f.Columns <= 0 || f.Rows <= 0 || f.Bands <= 0) {
    thumbnail.ErrorText = "The input holds no cells";
    return;
  }
  const double scale = std::min(1.0, static_cast<double>(side) / std::max(f.Columns, f.Rows));
  const int32_t w = std::max<int32_t>(1, static_cast<int32_t>(std::lround(f.Columns * scale)));
  const int32_t h = std::max<int32_t>(1, static_cast<int32_t>(std::lround(f.Rows * scale)));
  // Grey and elevation rasters show their first band, the others the first
  // three as red, green and blue.
  const uint32_t shown = f.Bands >= 3 ? 3 : 1;
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  std::vector<float> values(pixels * shown);
  std::vector<uint8_t> valid(pixels, 1);
  const bool voids = f.CellType == ctSigned16;
  set.Reader()->SamplingOnly(static_cast<uint32_t>(w), static_cast<uint32_t>(h));

  for (int32_t y = 0; y < h; ++y) {
    if (cancel) {
      thumbnail.Cancelled = true;
      return;
    }
    const auto row = static_cast<uint32_t>((2 * int64_t{y} + 1) * f.Rows / (2 * int64_t{h}));
    for (int32_t x = 0; x < w; ++x) {
      const auto column =
          static_cast<uint32_t>((2 * int64_t{x} + 1) * f.Columns / (2 * int64_t{w}));
      const size_t p = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
      for (uint32_t b = 0; b < shown; ++b) {
        float v = 0;
        ++thumbnail.CellsRead;
        const TCellRead read = set.ReadCell(column, row, b, v);
        if (read == TCellRead::Failed) {
          thumbnail.ErrorText = set.Error().Text;
          return;
        }
        if (read == TCellRead::NoData || std::isnan(v) || (voids && v == kSigned16Void))
          valid[p] = 0;
        values[p * shown + b] = v;
      }
    }
  }

  const bool asIs = shown == 3 && f.CellType == ctUnsigned8;
  TStretch stretch[3];
  if (!asIs)
    for (uint32_t b = 0; b < shown; ++b) {
      std::vector<float> band;
      band.reserve(pixels);
      for (size_t p = 0; p < pixels; ++p)
        if (valid[p]) band.push_back(values[p * shown + b]);
      if (band.empty()) continue;
      stretch[b].Low = Quantile(band, 0.02);
      stretch[b].High = Quantile(band, 0.98);
    }
  // A palette's indices show in their colours.
  const auto colors =
      EightBitColors(set.Reader()->GetColorTable(), set.Reader()->GetColorTable().size());
  auto level = [&](size_t p, uint32_t b) {
    if (!colors.empty()) {
      const float index =
          std::clamp(values[p * shown], 0.0f, static_cast<float>(colors.size() - 1));
      return uint32_t{colors[static_cast<size_t>(index)][b]};
    }
    const float v = values[p * shown + b];
    return asIs ? static_cast<uint32_t>(std::clamp(v, 0.0f, 255.0f)) : stretch[b](v);
  };

  TImage& image = thumbnail.Image;
  image.Width = w;
  image.Height = h;
  image.Pixels.assign(pixels, 0);
  for (size_t p = 0; p < pixels; ++p) {
    if (!valid[p]) continue;
    const bool colored = shown == 3 || !colors.empty();
    const uint32_t r = level(p, 0);
    const uint32_t g = colored ? level(p, 1) : r;
    const uint32_t b = colored ? level(p, 2) : r;
    image.Pixels[p] = 0xff000000u | r << 16 | g << 8 | b;
  }
}

TThumbnail ReadThumbnail(const std::string& fileName, const std::atomic<bool>& cancel,
                         int32_t side) {
  TThumbnail thumbnail;
  try {
    TDataSet2 set;
    if (!set.Open(fileName, 0, 0, 1, 1, omRead))
      thumbnail.ErrorText = set.Error().Text;
    else
      SampleThumbnail(set, thumbnail, cancel, side);
  } catch (const std::exception& e) {
    thumbnail.ErrorText = e.what();
  } catch (...) {
    thumbnail.ErrorText = "Unexpected failure while reading " + fileName;
  }
  if (!thumbnail.ErrorText.empty()) thumbnail.Image = {};
  return thumbnail;
}

TImage PlaceImage(const TImage& image, int32_t kind) {
  const TPhotoLayer layer = Layer(kind, image.Width, image.Height);
  TImage placed;
  layer.OutputSize(placed.Height, placed.Width);
  placed.Pixels.resize(image.Pixels.size());
  size_t p = 0;
  for (int32_t i = 0; i < placed.Height; ++i)
    for (int32_t j = 0; j < placed.Width; ++j)
      placed.Pixels[p++] = image.At(static_cast<int32_t>(layer.InputColumn(j, -i)),
                                    static_cast<int32_t>(layer.InputRow(j, -i)));
  return placed;
}

std::vector<TMarker> PlacedMarkers(const TInputFacts& facts, int32_t kind, int32_t width,
                                   int32_t height) {
  const TPhotoLayer layer = Layer(kind, facts.Columns, facts.Rows);
  int32_t rows = 0, columns = 0;
  layer.OutputSize(rows, columns);
  std::vector<TMarker> markers;
  if (rows <= 0 || columns <= 0) return markers;
  for (const TPointFacts& point : facts.ControlPoints) {
    double column = point.Column, row = point.Row;
    MoveControlPoint(layer, column, row);
    markers.push_back({point.Name, column * width / columns, row * height / rows});
  }
  return markers;
}

std::vector<std::string> DescribeInput(const TInputFacts& f) {
  const char* cells = f.CellType < kCellTypeCount ? kCellTypeWords[f.CellType] : "unknown cells";
  std::vector<std::string> lines{
      FormatName(f.Format) + ", " + Size(f.Columns, f.Rows, f.Bands) + ", " + cells,
      "Cells " + Number(f.CellSizeX) + " \xc3\x97 " + Number(f.CellSizeY),
      "Top left " + Number(f.OriginX) + ", " + Number(f.OriginY),
      "Projection " + Bare(f.Projection), "Datum " + Bare(f.Datum)};
  if (!f.Spheroid.empty()) lines.back() += ", spheroid " + Bare(f.Spheroid);
  const size_t n = f.ControlPoints.size();
  lines.push_back(n == 0 ? "No control points"
                         : std::to_string(n) + (n == 1 ? " control point" : " control points"));
  return lines;
}

std::string DescribeOutput(const TInputFacts& f, int32_t kind, const std::string& outputName,
                           bool keepGround) {
  int32_t rows = 0, columns = 0;
  const TPhotoLayer layer = Layer(kind, f.Columns, f.Rows);
  layer.OutputSize(rows, columns);
  const std::string mode = !f.Georeferenced || layer.Placement() == TPlacement::None ? ""
                           : keepGround ? "; cells kept over their ground"
                                        : "; the input's frame (corner and cell sizes) kept";
  const int format = outputName.empty() ? fcUnknown : OutputFormat(outputName);
  const uint32_t bands = OutputShape(format, {static_cast<uint32_t>(f.Bands), f.CellType,
                                              f.CellSizeX, f.CellSizeY, f.ColorTable})
                             .Bands;
  std::string line = "Output " + Size(columns, rows, static_cast<int32_t>(bands));
  if (outputName.empty()) return line;
  if (format > fcUnknown) return line + ", " + FormatName(format) + mode;
  const std::string ext = ExtractFileExt(outputName);
  return line + (ext.empty() ? ", no extension to pick the format"
                             : ", no format has the extension \"" + ext + "\"");
}

TError OutputRefusal(const TInputFacts& facts, const std::string& outputName) {
  if (facts.Bands <= 0) return {};
  return WriteRefusal(OutputFormat(outputName),
                      {static_cast<uint32_t>(facts.Bands), facts.CellType,
                       std::fabs(facts.CellSizeX), std::fabs(facts.CellSizeY), facts.ColorTable});
}

}  // namespace mirava
