#include "formats/image/tiff/TiffOverviews.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "raster/CellType.h"

namespace mirava {

namespace {

// Weights this small are a product's rounding, not a share of a cell.
constexpr double kNoShare = 1e-10;
// Rows computed between two takings of a level's lock.
constexpr uint32_t kRowsAtOnce = 32;

// How far a cell's edge may fall short of a whole cell and still be one.
constexpr double kEdge = 1e-8;

// How the `source` cells along one axis give to the `target` cells, as
// GDAL's overviews take them: nearest the cell at a target cell's start
// rounded, average every cell it covers weighted by how much, mode every
// cell it touches, bilinear a triangle as wide as two target cells.
std::vector<TTaps> AxisTaps(uint32_t source, uint32_t target, TResampling method) {
  const double ratio = static_cast<double>(source) / target;
  const auto last = static_cast<int64_t>(source) - 1;
  auto at = [&](double x) {
    return static_cast<uint32_t>(std::clamp<int64_t>(static_cast<int64_t>(x), 0, last));
  };
  std::vector<TTaps> taps(target);
  for (uint32_t i = 0; i < target; ++i) {
    TTaps& t = taps[i];
    if (method == TResampling::Nearest) {
      t.First = at(i * ratio + 0.5);
      t.Weights.assign(1, 1.0);
      continue;
    }
    if (method == TResampling::Mode) {
      t.First = at(i * ratio + kEdge);
      const auto end = static_cast<uint32_t>(
          std::clamp<double>(std::ceil((i + 1) * ratio - kEdge), t.First + 1.0, source));
      t.Weights.assign(std::max(t.First + 1, end) - t.First, 1.0);
      continue;
    }
    double from = i * ratio, to = std::min<double>((i + 1) * ratio, source);
    double radius = 0;
    if (method == TResampling::Bilinear) {
      const double centre = (i + 0.5) * ratio;
      radius = ratio;
      from = std::max(0.0, centre - radius - 0.5);
      to = std::min<double>(source, centre + radius + 0.5);
    }
    for (auto p = static_cast<int64_t>(std::floor(from));
         p < static_cast<int64_t>(std::ceil(to)) && p <= last; ++p) {
      double w = 0;
      if (method == TResampling::Bilinear)
        w = 1 - std::abs(p + 0.5 - (i + 0.5) * ratio) / radius;
      else
        w = std::min<double>(to, p + 1) - std::max<double>(from, p);
      if (w <= kNoShare) {
        if (t.Weights.empty()) continue;
        break;
      }
      if (t.Weights.empty()) t.First = static_cast<uint32_t>(p);
      t.Weights.push_back(w);
    }
    if (t.Weights.empty()) t.Weights.assign(1, 1.0);
  }
  return taps;
}

template <typename T>
T Rounded(double v) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(v);
  } else {
    if (std::isnan(v)) return 0;
    return static_cast<T>(std::clamp<double>(std::floor(v + 0.5),
                                             static_cast<double>(std::numeric_limits<T>::lowest()),
                                             static_cast<double>(std::numeric_limits<T>::max())));
  }
}

// A level's row from the rows of the level above (`source`, `width` cells
// of `samples` samples each) that `rows` names.
template <typename T>
void ReduceRow(const T* source, uint32_t width, uint32_t samples, const TTaps& rows,
               const std::vector<TTaps>& columns, TResampling method,
               std::optional<double> noData, T* out) {
  const uint64_t line = uint64_t{width} * samples;
  const uint32_t targetWidth = static_cast<uint32_t>(columns.size());
  const T empty = Rounded<T>(noData.value_or(0));
  auto skipped = [&](T v) {
    if constexpr (std::is_floating_point_v<T>)
      if (std::isnan(v)) return true;
    return noData && static_cast<double>(v) == *noData;
  };
  // Two by two cells without no-data, the most of the work: GDAL's rounding
  // in integers.
  const bool halves = method == TResampling::Average && !noData && rows.Weights.size() == 2 &&
                      rows.Weights[0] == 1 && rows.Weights[1] == 1 &&
                      uint64_t{targetWidth} * 2 == width;
  if (halves) {
    const T* a = source;
    const T* b = source + line;
    for (uint32_t i = 0; i < targetWidth; ++i)
      for (uint32_t s = 0; s < samples; ++s) {
        const uint64_t k = uint64_t{2} * i * samples + s;
        if constexpr (std::is_floating_point_v<T>) {
          out[uint64_t{i} * samples + s] =
              static_cast<T>((double{a[k]} + a[k + samples] + b[k] + b[k + samples]) * 0.25);
        } else {
          const int64_t sum = int64_t{a[k]} + a[k + samples] + b[k] + b[k + samples];
          out[uint64_t{i} * samples + s] = static_cast<T>((sum + 2) >> 2);
        }
      }
    return;
  }
  std::vector<T> seen;
  std::vector<uint32_t> sums;
  for (uint32_t i = 0; i < targetWidth; ++i) {
    const TTaps& cols = columns[i];
    for (uint32_t s = 0; s < samples; ++s) {
      T& result = out[uint64_t{i} * samples + s];
      auto cell = [&](size_t y, size_t x) {
        return source[y * line + (uint64_t{cols.First} + x) * samples + s];
      };
      if (method == TResampling::Nearest) {
        result = cell(0, 0);
        continue;
      }
      if (method == TResampling::Mode) {
        // GDAL's majority, ties and all. Of 8-bit cells, the value whose
        // count first passes the highest so far. Of wider ones, a list in
        // which a value found again without passing the highest is listed
        // anew, counting from 1.
        result = empty;
        if constexpr (sizeof(T) == 1) {
          std::array<uint32_t, 256> counts{};
          uint32_t most = 0;
          for (size_t y = 0; y < rows.Weights.size(); ++y)
            for (size_t x = 0; x < cols.Weights.size(); ++x) {
              const T v = cell(y, x);
              if (skipped(v)) continue;
              if (++counts[static_cast<uint8_t>(v)] > most) {
                most = counts[static_cast<uint8_t>(v)];
                result = v;
              }
            }
        } else {
          seen.clear();
          sums.clear();
          size_t best = 0;
          for (size_t y = 0; y < rows.Weights.size(); ++y)
            for (size_t x = 0; x < cols.Weights.size(); ++x) {
              const T v = cell(y, x);
              if (skipped(v)) continue;
              size_t k = 0;
              while (k < seen.size() && !(seen[k] == v && ++sums[k] > sums[best])) ++k;
              if (k < seen.size()) {
                best = k;
              } else {
                seen.push_back(v);
                sums.push_back(1);
              }
            }
          if (!seen.empty()) result = seen[best];
        }
        continue;
      }
      double sum = 0, weight = 0;
      if (method == TResampling::Bilinear) {
        // GDAL's two passes: each source row's cells along the row, then
        // the rows that had any cell, down the column.
        for (size_t y = 0; y < rows.Weights.size(); ++y) {
          double rowSum = 0, rowWeight = 0;
          for (size_t x = 0; x < cols.Weights.size(); ++x) {
            const T v = cell(y, x);
            if (skipped(v)) continue;
            rowSum += cols.Weights[x] * static_cast<double>(v);
            rowWeight += cols.Weights[x];
          }
          if (rowWeight <= 0) continue;
          sum += rows.Weights[y] * (rowSum / rowWeight);
          weight += rows.Weights[y];
        }
        result = weight > 0 ? Rounded<T>(sum / weight) : empty;
        continue;
      }
      for (size_t y = 0; y < rows.Weights.size(); ++y)
        for (size_t x = 0; x < cols.Weights.size(); ++x) {
          const T v = cell(y, x);
          if (skipped(v)) continue;
          const double w = rows.Weights[y] * cols.Weights[x];
          sum += w * static_cast<double>(v);
          weight += w;
        }
      result = weight > 0 ? Rounded<T>(sum / weight) : empty;
    }
  }
}

}  // namespace

std::vector<std::pair<uint32_t, uint32_t>> OverviewSizes(uint32_t width, uint32_t length,
                                                        uint32_t tile, int count) {
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  uint64_t factor = 1;
  while ((width > tile * factor || length > tile * factor) &&
         (count < 0 || static_cast<int>(sizes.size()) < count) && factor < (uint64_t{1} << 31)) {
    factor *= 2;
    sizes.emplace_back(static_cast<uint32_t>((width + factor - 1) / factor),
                       static_cast<uint32_t>((length + factor - 1) / factor));
  }
  return sizes;
}

TTiffOverviews::TTiffOverviews(const TTiffPixels& full, int count, TResampling resampling,
                               std::optional<double> noData)
    : Full(full), Resampling(resampling), NoData(noData) {
  PixelBytes = uint64_t{Full.Samples} * CellTypeWidth(Full.CellType);
  uint32_t width = Full.Width, length = Full.Length;
  for (const auto& [w, l] : OverviewSizes(Full.Width, Full.Length, Full.ChunkWidth, count)) {
    auto level = std::make_unique<TLevel>();
    level->Pixels = Full;
    level->Pixels.Width = w;
    level->Pixels.Length = l;
    level->SourceWidth = width;
    level->SourceLength = length;
    level->Columns = AxisTaps(width, w, resampling);
    level->Rows = AxisTaps(length, l, resampling);
    level->RowsOfSource.assign(length, {0, 0});
    for (uint32_t j = 0; j < l; ++j) {
      const TTaps& t = level->Rows[j];
      for (uint32_t y = t.First; y < t.First + t.Weights.size(); ++y) {
        auto& range = level->RowsOfSource[y];
        if (range.second == 0) range.first = j;
        range.second = j + 1;
      }
    }
    Levels.push_back(std::move(level));
    width = w;
    length = l;
  }
}

TTiffOverviews::~TTiffOverviews() {
  // The encoders go before the files they write.
  for (auto& level : Levels) level->Encoder.reset();
}

bool TTiffOverviews::Start(const std::string& directory, uint64_t memoryLimit) {
  for (size_t k = 0; k < Levels.size(); ++k) {
    TLevel& level = *Levels[k];
    if (!level.File.CreateScratch(directory)) {
      Error = TError::System(level.File.ErrorCode(), "no scratch file in " + directory);
      return false;
    }
    level.Encoder = std::make_unique<TTiffEncoder>(level.File, 0, level.Pixels);
    level.Encoder->AnyOrder = true;
    if (k + 1 < Levels.size())
      level.Encoder->BlockDone = [this, k](uint32_t first, uint32_t rows, const uint8_t* data) {
        return Reduce(k + 1, first, rows, data);
      };
    if (!level.Encoder->Start(memoryLimit)) {
      Error = level.Encoder->Error();
      return false;
    }
  }
  return true;
}

TError TTiffOverviews::TakeRows(uint32_t first, uint32_t rows, const uint8_t* data) {
  return Levels.empty() ? TError() : Reduce(0, first, rows, data);
}

TError TTiffOverviews::Reduce(size_t index, uint32_t first, uint32_t rows,
                              const uint8_t* data) {
  TLevel& level = *Levels[index];
  const uint64_t line = level.SourceWidth * PixelBytes;
  const uint64_t outLine = level.Pixels.Width * PixelBytes;
  // The level's rows whose sources all lie in these rows, most of them,
  // are computed without the level's lock, a few at a time, so that
  // workers reduce blocks side by side.
  uint32_t inside = 0, end = 0;
  if (data) {
    const uint32_t last = std::min(first + rows, level.SourceLength);
    const auto below = std::partition_point(
        level.Rows.begin(), level.Rows.end(), [&](const TTaps& t) { return t.First < first; });
    inside = end = static_cast<uint32_t>(below - level.Rows.begin());
    while (end < level.Rows.size() &&
           level.Rows[end].First + level.Rows[end].Weights.size() <= last)
      ++end;
  }
  std::vector<uint8_t> computed(std::min<uint64_t>(end - inside, kRowsAtOnce) * outLine);
  for (uint32_t j = inside; j < end;) {
    const uint32_t count = std::min<uint32_t>(end - j, kRowsAtOnce);
    for (uint32_t k = 0; k < count; ++k)
      ComputeRow(level, j + k, data + (level.Rows[j + k].First - first) * line,
                 computed.data() + k * outLine);
    const std::lock_guard<std::mutex> lock(level.Lock);
    uint8_t* out = level.Encoder->Stage(j, count);
    if (!out) return level.Encoder->Error();
    std::memcpy(out, computed.data(), count * outLine);
    j += count;
  }
  const std::lock_guard<std::mutex> lock(level.Lock);
  std::vector<uint8_t> zeros(data ? 0 : line);
  for (uint32_t y = first; y < first + rows && y < level.SourceLength; ++y) {
    const uint8_t* row = data ? data + (y - first) * line : zeros.data();
    const auto [from, to] = level.RowsOfSource[y];
    for (uint32_t j = from; j < to; ++j) {
      if (j >= inside && j < end) continue;
      const TTaps& taps = level.Rows[j];
      const uint32_t count = static_cast<uint32_t>(taps.Weights.size());
      TLevel::TPending& pending = level.Pending[j];
      if (pending.Source.empty()) pending.Source.assign(count * line, 0);
      std::memcpy(pending.Source.data() + (y - taps.First) * line, row, line);
      if (++pending.Received < count) continue;
      uint8_t* out = level.Encoder->Stage(j, 1);
      if (out) ComputeRow(level, j, pending.Source.data(), out);
      level.Pending.erase(j);
      if (!out) return level.Encoder->Error();
    }
  }
  return {};
}

void TTiffOverviews::ComputeRow(TLevel& level, uint32_t row, const uint8_t* source,
                                uint8_t* out) const {
  const uint32_t w = level.SourceWidth, s = Full.Samples;
  const TTaps& rows = level.Rows[row];
  const std::vector<TTaps>& cols = level.Columns;
  auto reduce = [&](auto sample) {
    using T = decltype(sample);
    ReduceRow<T>(reinterpret_cast<const T*>(source), w, s, rows, cols, Resampling, NoData,
                 reinterpret_cast<T*>(out));
  };
  switch (Full.CellType) {
    case ctSigned8: reduce(int8_t{}); break;
    case ctSigned16: reduce(int16_t{}); break;
    case ctUnsigned16: reduce(uint16_t{}); break;
    case ctSigned32: reduce(int32_t{}); break;
    case ctUnsigned32: reduce(uint32_t{}); break;
    case ctFloat32: reduce(float{}); break;
    case ctFloat64: reduce(double{}); break;
    default: reduce(uint8_t{}); break;
  }
}

bool TTiffOverviews::Finish(const std::function<bool()>& going) {
  for (auto& level : Levels) {
    if (!level->Encoder || !going()) return false;
    if (!level->Encoder->Finish()) {
      if (!Error.Failed()) Error = level->Encoder->Error();
      return false;
    }
  }
  return true;
}

}  // namespace mirava
