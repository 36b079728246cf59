// JP2 boxes: a length (LBox, or XLBox after an LBox of 1; 0 runs to the end
// of the file), a type of four letters and the contents, all big-endian.
#include "formats/image/jp2/Jp2Boxes.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

#include "dataset/ByteOrder.h"
#include "formats/image/tiff/GeoTiffKeys.h"
#include "formats/image/tiff/TiffTags.h"

namespace mirava {

namespace {

constexpr uint32_t BoxType(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
         uint32_t(uint8_t(name[2])) << 8 | uint8_t(name[3]);
}
constexpr uint32_t kJp2h = BoxType("jp2h"), kIhdr = BoxType("ihdr"), kBpcc = BoxType("bpcc"),
                   kPclr = BoxType("pclr"), kJp2c = BoxType("jp2c"), kFtyp = BoxType("ftyp"),
                   kColr = BoxType("colr"), kUuid = BoxType("uuid"), kAsoc = BoxType("asoc"),
                   kLbl = BoxType("lbl "), kXml = BoxType("xml "), kCmap = BoxType("cmap");
constexpr uint8_t kSignature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
// The UUID of a GeoJP2 box, which holds a GeoTIFF of one pixel.
constexpr uint8_t kGeoJp2[16] = {0xB1, 0x4B, 0xF8, 0xBD, 0x08, 0x3D, 0x4B, 0x43,
                                 0xA5, 0xAE, 0x8C, 0xD7, 0xD5, 0xA6, 0xCE, 0x03};

template <typename T>
T Big(const uint8_t* p) {
  return LoadInOrder<T>(p, true);
}

struct TBox {
  uint32_t Type = 0;
  std::span<const uint8_t> Body;
  uint64_t Offset = 0;  // of the body, in the file
};

// The box at `at` of those laid end to end in `bytes`, which lie at `base`
// in the file, moving `at` past it: false at the end, and for a box that
// runs past the end, with the reason in `why`.
bool NextBox(std::span<const uint8_t> bytes, uint64_t base, uint64_t& at, TBox& box,
             std::string& why) {
  if (at >= bytes.size()) return false;
  const uint64_t left = bytes.size() - at;
  uint64_t length = left < 8 ? 0 : Big<uint32_t>(&bytes[at]), head = 8;
  if (length == 1) {
    length = left < 16 ? 0 : Big<uint64_t>(&bytes[at + 8]);
    head = 16;
  } else if (length == 0 && left >= 8) {
    length = left;
  }
  if (length < head || length > left) {
    why = "a box of " + std::to_string(length) + " bytes at " + std::to_string(base + at) +
          " where " + std::to_string(left) + " are left";
    return false;
  }
  box = {Big<uint32_t>(&bytes[at + 4]), bytes.subspan(at + head, length - head), base + at + head};
  at += length;
  return true;
}

// The GeoTIFF tags of a GeoJP2 box's TIFF (classic TIFF, either byte order).
struct TGeoTiffTags {
  std::vector<double> Scale, Tie, Matrix, Doubles;
  std::vector<uint32_t> Directory;
  std::string Ascii;
};

bool ReadGeoTiffTags(std::span<const uint8_t> tiff, TGeoTiffTags& tags) {
  if (tiff.size() < 8) return false;
  const bool msb = tiff[0] == 'M';
  if ((tiff[0] != 'I' && !msb) || tiff[1] != tiff[0] || LoadInOrder<uint16_t>(&tiff[2], msb) != 42)
    return false;
  const uint64_t ifd = LoadInOrder<uint32_t>(&tiff[4], msb);
  if (ifd > tiff.size() - 2) return false;
  const uint64_t count = LoadInOrder<uint16_t>(&tiff[ifd], msb);
  if (count * 12 > tiff.size() - ifd - 2) return false;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = &tiff[ifd + 2 + 12 * i];
    const uint16_t tag = LoadInOrder<uint16_t>(e, msb), type = LoadInOrder<uint16_t>(e + 2, msb);
    const uint64_t n = LoadInOrder<uint32_t>(e + 4, msb);
    const uint64_t size = type == ftDouble ? 8 : type == ftShort ? 2 : type == ftAscii ? 1 : 0;
    if (size == 0 || n > tiff.size()) continue;
    const uint64_t at = n * size <= 4 ? ifd + 2 + 12 * i + 8 : LoadInOrder<uint32_t>(e + 8, msb);
    if (at > tiff.size() || n * size > tiff.size() - at) return false;
    const uint8_t* v = &tiff[at];
    std::vector<double> doubles;
    for (uint64_t k = 0; type == ftDouble && k < n; ++k)
      doubles.push_back(std::bit_cast<double>(LoadInOrder<uint64_t>(v + 8 * k, msb)));
    if (tag == tgModelPixelScale) tags.Scale = std::move(doubles);
    if (tag == tgModelTiePoint) tags.Tie = std::move(doubles);
    if (tag == tgModelTransformation) tags.Matrix = std::move(doubles);
    if (tag == tgGeoDoubleParams) tags.Doubles = std::move(doubles);
    if (tag == tgGeoKeyDirectory && type == ftShort)
      for (uint64_t k = 0; k < n; ++k)
        tags.Directory.push_back(LoadInOrder<uint16_t>(v + 2 * k, msb));
    if (tag == tgGeoAsciiParams && type == ftAscii) {
      tags.Ascii.assign(reinterpret_cast<const char*>(v), n);
      tags.Ascii.erase(tags.Ascii.find_last_not_of('\0') + 1);
    }
  }
  return true;
}

// What a GeoJP2 box places, as a GeoTIFF's tags place their file; false when
// it states nothing, so that GDAL goes on to the GMLJP2 box.
bool TakeGeoJp2(std::span<const uint8_t> tiff, TJp2Boxes& boxes) {
  TGeoTiffTags tags;
  if (!ReadGeoTiffTags(tiff, tags)) return false;
  const TGeoKeys keys = ParseGeoKeys(tags.Directory);
  TGeoKeySet set;
  set.Directory.assign(tags.Directory.begin(), tags.Directory.end());
  set.Doubles = std::move(tags.Doubles);
  set.Ascii = std::move(tags.Ascii);
  TGeoreference& g = boxes.Georeference;
  g.Crs = CoordinateSystemOfKeys(keys, std::move(set));
  if (const auto p = PlacementOfTags(tags.Scale, tags.Tie, tags.Matrix, keys.RasterType)) {
    g.Placed = true;
    g.Affine = {p->CellSizeX, p->ColumnTermY, p->RowTermX, p->CellSizeY, p->OriginX, p->OriginY};
  } else if (tags.Scale.size() < 2 && tags.Tie.size() >= 6) {
    boxes.ControlPoints = ControlPointsOfTiePoints(tags.Tie, keys.RasterType);
  }
  if (!g.Placed && boxes.ControlPoints.empty() && g.Crs.Empty()) return false;
  NamesOfCoordinateSystem(g.Crs, g.Projection, g.Datum, g.Spheroid);
  return true;
}

// The first element named `name` under any namespace prefix in text[from,
// to): where its start tag begins, and its content.
struct TElement {
  size_t Tag = std::string_view::npos, Content = 0, End = 0;
  bool Found() const { return Tag != std::string_view::npos; }
};
TElement FindElement(std::string_view text, std::string_view name, size_t from, size_t to) {
  for (size_t at = text.find('<', from); at < to; at = text.find('<', at + 1)) {
    const size_t nameEnd = std::min(text.find_first_of(" \t\r\n/<>", at + 1), to);
    const std::string_view qualified = text.substr(at + 1, nameEnd - at - 1);
    const size_t colon = qualified.find(':');
    if (qualified.substr(colon == std::string_view::npos ? 0 : colon + 1) != name) continue;
    const size_t close = text.find('>', nameEnd);
    if (close >= to) break;
    if (text[close - 1] == '/') return {at, close, close};
    const size_t end = text.find("</" + std::string(qualified), close);
    if (end >= to) break;
    return {at, close + 1, end};
  }
  return {};
}

std::string_view Attribute(std::string_view text, const TElement& e, std::string_view name) {
  const std::string_view tag = text.substr(e.Tag, e.Content - e.Tag);
  const size_t at = tag.find(std::string(name) + "=");
  if (at == std::string_view::npos || at + name.size() + 2 > tag.size()) return {};
  const char quote = tag[at + name.size() + 1];
  const size_t begin = at + name.size() + 2, end = tag.find(quote, begin);
  return end == std::string_view::npos ? std::string_view{} : tag.substr(begin, end - begin);
}

// The first two numbers of an element's content, "x y" or "x,y".
bool TwoNumbers(std::string_view text, const TElement& e, double& a, double& b) {
  if (!e.Found()) return false;
  const char* p = text.data() + e.Content;
  const char* end = text.data() + e.End;
  for (double* v : {&a, &b}) {
    while (p < end && (*p == ' ' || *p == ',' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
    if (p < end && *p == '+') ++p;
    const auto r = std::from_chars(p, end, *v);
    if (r.ec != std::errc()) return false;
    p = r.ptr;
  }
  return true;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return std::toupper(uint8_t(a)) == b; });
}

// What the RectifiedGrid of a GMLJP2 root instance places, read as GDAL
// reads it: the origin is the centre of cell (0, 0), the offset vectors a
// column's and a row's steps, in the axis order of the EPSG code its
// srsName names (latitude or northing first, unless its axisNames say
// otherwise).
void TakeGml(std::string_view text, TGeoreference& g) {
  const TElement grid = FindElement(text, "RectifiedGrid", 0, text.size());
  if (!grid.Found()) return;
  const TElement origin = FindElement(text, "origin", grid.Content, grid.End);
  if (!origin.Found()) return;
  TElement point = FindElement(text, "Point", origin.Content, origin.End);
  if (!point.Found()) return;
  TElement pos = FindElement(text, "pos", point.Content, point.End);
  if (!pos.Found()) pos = FindElement(text, "coordinates", point.Content, point.End);
  const TElement first = FindElement(text, "offsetVector", grid.Content, grid.End);
  const TElement second = FindElement(text, "offsetVector", first.End, grid.End);
  double x, y, x1, y1, x2, y2;
  if (!TwoNumbers(text, pos, x, y) || !TwoNumbers(text, first, x1, y1) ||
      !TwoNumbers(text, second, x2, y2))
    return;
  std::string_view srs = Attribute(text, point, "srsName");
  if (srs.empty()) {
    const TElement envelope = FindElement(text, "Envelope", 0, text.size());
    if (envelope.Found()) srs = Attribute(text, envelope, "srsName");
  }
  if (srs.empty()) srs = Attribute(text, grid, "srsName");
  int code = 0;
  const size_t digits = srs.find_last_not_of("0123456789");
  if (srs.find("EPSG") != std::string_view::npos && digits != std::string_view::npos)
    std::from_chars(srs.data() + digits + 1, srs.data() + srs.size(), code);
  const TEpsgFacts facts = code > 0 ? EpsgFacts(code) : TEpsgFacts{};
  const TElement axis1 = FindElement(text, "axisName", grid.Content, grid.End);
  const TElement axis2 = FindElement(text, "axisName", axis1.Found() ? axis1.End : 0, grid.End);
  const auto named = [&](const TElement& e, std::string_view a, std::string_view b) {
    const std::string_view v = e.Found() ? text.substr(e.Content, e.End - e.Content) : "";
    return StartsNoCase(v, a) || StartsNoCase(v, b);
  };
  // "EPSG:n" keeps easting first; so do axis names that say so.
  if (facts.NorthFirst && !StartsNoCase(srs, "EPSG:") &&
      !(named(axis1, "EAST", "LONG") && named(axis2, "NORTH", "LAT"))) {
    std::swap(x, y);
    std::swap(x1, y1);
    std::swap(x2, y2);
  }
  g.Placed = true;
  g.Affine = {x1, y1, x2, -y2, x - (x1 + x2) / 2, y - (y1 + y2) / 2};
  if (facts.Known) g.Crs.Epsg = code;
  NamesOfCoordinateSystem(g.Crs, g.Projection, g.Datum, g.Spheroid);
}

struct TReader {
  TJp2Boxes& Boxes;
  std::string Why;

  bool Fault(std::string why) {
    Why = std::move(why);
    return false;
  }

  bool ReadHeaderBox(const TBox& box) {
    TBox child;
    for (uint64_t at = 0; NextBox(box.Body, box.Offset, at, child, Why);) {
      const std::span<const uint8_t> b = child.Body;
      if (child.Type == kIhdr) {
        if (b.size() < 14) return Fault("an ihdr box of " + std::to_string(b.size()) + " bytes");
        Boxes.Height = Big<uint32_t>(&b[0]);
        Boxes.Width = Big<uint32_t>(&b[4]);
        Boxes.Components = Big<uint16_t>(&b[8]);
        // 255: the components differ, and bpcc gives each one's depth.
        if (b[10] != 255) {
          Boxes.Bits = (b[10] & 0x7F) + 1;
          Boxes.Signed = b[10] & 0x80;
        }
      } else if (child.Type == kBpcc && !b.empty()) {
        Boxes.Bits = (b[0] & 0x7F) + 1;
        Boxes.Signed = b[0] & 0x80;
      } else if (child.Type == kPclr) {
        Boxes.Palette = true;
        if (!ReadPalette(b)) return false;
      }
    }
    return Why.empty();
  }

  // Entries (2 bytes), columns (1), each column's depth, then the entries,
  // each column in as many bytes as its depth needs.
  bool ReadPalette(std::span<const uint8_t> b) {
    if (b.size() < 3 || b.size() < 3u + b[2])
      return Fault("a pclr box of " + std::to_string(b.size()) + " bytes");
    const uint32_t entries = Big<uint16_t>(&b[0]), columns = b[2];
    uint64_t entryBytes = 0;
    for (uint32_t c = 0; c < columns; ++c) {
      // Colours of more than 16 bits are no colour table we can give.
      if ((b[3 + c] & 0x7F) >= 16) return true;
      entryBytes += (b[3 + c] & 0x7F) / 8 + 1;
    }
    if (b.size() < 3 + columns + entries * entryBytes)
      return Fault("a pclr box of " + std::to_string(entries) + " entries in " +
                   std::to_string(b.size()) + " bytes");
    const uint8_t* p = &b[3 + columns];
    for (uint32_t e = 0; e < entries; ++e) {
      std::array<uint16_t, 3> colour{};
      for (uint32_t c = 0; c < columns; ++c) {
        const uint32_t bits = (b[3 + c] & 0x7F) + 1;
        uint64_t v = 0;
        for (uint32_t i = 0; i < (bits + 7) / 8; ++i) v = v << 8 | *p++;
        if (c < 3) colour[c] = static_cast<uint16_t>(v * 65535 / ((uint64_t{1} << bits) - 1));
      }
      Boxes.PaletteColours.push_back(colour);
    }
    return true;
  }

  static std::string_view Text(const TBox& box) {
    const std::string_view text(reinterpret_cast<const char*>(box.Body.data()), box.Body.size());
    return text.substr(0, text.find('\0'));
  }

  // The XML of "gml.root-instance" in an association box whose label is
  // "gml.data": among the associations it holds, of a label and an XML box
  // each. Associations nest no deeper in GMLJP2, nor does GDAL look deeper.
  bool ReadGmlData(const TBox& box, std::string_view& rootInstance) {
    TBox child, label, xml;
    uint64_t at = 0;
    if (!NextBox(box.Body, box.Offset, at, label, Why) || label.Type != kLbl ||
        Text(label) != "gml.data")
      return Why.empty();
    while (NextBox(box.Body, box.Offset, at, child, Why)) {
      uint64_t in = 0;
      if (child.Type == kAsoc && NextBox(child.Body, child.Offset, in, label, Why) &&
          NextBox(child.Body, child.Offset, in, xml, Why) && label.Type == kLbl &&
          Text(label) == "gml.root-instance" && xml.Type == kXml && rootInstance.empty())
        rootInstance = Text(xml);
    }
    return Why.empty();
  }

  bool Read(std::span<const uint8_t> bytes) {
    std::span<const uint8_t> geoJp2;
    std::string_view gml;
    TBox box;
    uint64_t at = 0;
    for (int index = 0; NextBox(bytes, 0, at, box, Why); ++index) {
      if (index == 1 && box.Type != kFtyp) return Fault("no ftyp box after the signature");
      if (box.Type == kUuid && box.Body.size() >= 16 && geoJp2.empty() &&
          std::memcmp(box.Body.data(), kGeoJp2, 16) == 0)
        geoJp2 = box.Body.subspan(16);
      if (box.Type == kAsoc && !ReadGmlData(box, gml)) return false;
      if (box.Type == kJp2h && !ReadHeaderBox(box)) return false;
      if (box.Type == kJp2c && !Boxes.Wrapped) {
        Boxes.Wrapped = true;
        Boxes.CodestreamOffset = box.Offset;
        Boxes.CodestreamLength = box.Body.size();
      }
    }
    if (!Why.empty()) return false;
    if (!Boxes.Wrapped) return Fault("no codestream (jp2c box)");
    if (Boxes.Width == 0 || Boxes.Height == 0 || Boxes.Components == 0 || Boxes.Bits == 0)
      return Fault("no image header (ihdr box)");
    // GeoJP2 first, as GDAL takes them.
    if (!TakeGeoJp2(geoJp2, Boxes)) {
      Boxes.Georeference = {};
      TakeGml(gml, Boxes.Georeference);
    }
    return true;
  }
};

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

// A box of `body` after its 8-byte header.
void PutBox(std::vector<uint8_t>& out, uint32_t type, const std::vector<uint8_t>& body) {
  PutBig32(out, static_cast<uint32_t>(body.size() + 8));
  PutBig32(out, type);
  out.insert(out.end(), body.begin(), body.end());
}

// A little-endian TIFF of one byte carrying `geo`, entries in tag order
// whose values are little-endian already.
struct TTiffEntry {
  uint16_t Tag, Type;
  uint32_t Count;
  std::vector<uint8_t> Value;
};
TTiffEntry TiffShorts(uint16_t tag, const std::vector<uint16_t>& values) {
  TTiffEntry e{tag, ftShort, uint32_t(values.size()), std::vector<uint8_t>(2 * values.size())};
  for (size_t i = 0; i < values.size(); ++i) StoreLE(&e.Value[2 * i], values[i]);
  return e;
}
TTiffEntry TiffDoubles(uint16_t tag, const std::vector<double>& values) {
  TTiffEntry e{tag, ftDouble, uint32_t(values.size()), std::vector<uint8_t>(8 * values.size())};
  for (size_t i = 0; i < values.size(); ++i) StoreLE(&e.Value[8 * i], values[i]);
  return e;
}

std::vector<uint8_t> OnePixelTiff(const std::vector<TTiffEntry>& geo) {
  std::vector<TTiffEntry> entries = {TiffShorts(tgImageWidth, {1}),
                                     TiffShorts(tgImageLength, {1}),
                                     TiffShorts(tgBitsPerSample, {8}),
                                     TiffShorts(tgCompression, {1}),
                                     TiffShorts(tgPhotoMetricInterpretation, {1}),
                                     {tgStripOffset, ftLong, 1, std::vector<uint8_t>(4)},
                                     TiffShorts(tgSamplesPerPixel, {1}),
                                     TiffShorts(tgRowsPerStrip, {1}),
                                     TiffShorts(tgStripByteCounts, {1})};
  entries.insert(entries.end(), geo.begin(), geo.end());
  const uint32_t ifdEnd = 8 + 2 + 12 * uint32_t(entries.size()) + 4;
  uint32_t pixel = ifdEnd;
  for (const TTiffEntry& e : entries)
    if (e.Value.size() > 4) pixel += (uint32_t(e.Value.size()) + 1) & ~1u;
  StoreLE(entries[5].Value.data(), pixel);
  std::vector<uint8_t> out(pixel + 1);
  std::memcpy(out.data(), "II*\0", 4);
  StoreLE<uint32_t>(&out[4], 8);
  StoreLE(&out[8], uint16_t(entries.size()));
  uint32_t at = 10, data = ifdEnd;
  for (const TTiffEntry& e : entries) {
    StoreLE(&out[at], e.Tag);
    StoreLE(&out[at + 2], e.Type);
    StoreLE(&out[at + 4], e.Count);
    if (e.Value.size() <= 4) {
      std::copy(e.Value.begin(), e.Value.end(), &out[at + 8]);
    } else {
      StoreLE(&out[at + 8], data);
      std::copy(e.Value.begin(), e.Value.end(), &out[data]);
      data += (uint32_t(e.Value.size()) + 1) & ~1u;
    }
    at += 12;
  }
  return out;
}

// GDAL reads a GeoJP2 box's VerticalUnits key without a vertical system as
// a compound system of an unknown vertical part, where its reading of a
// GeoTIFF file ignores the key: such a key goes.
void DropLoneVerticalUnits(std::vector<uint16_t>& d) {
  constexpr uint16_t kVerticalCsType = 4096, kVerticalUnits = 4099;
  if (d.size() < 4) return;
  const size_t count = std::min<size_t>(d[3], (d.size() - 4) / 4);
  bool vertical = false;
  for (size_t i = 0; i < count; ++i) vertical |= d[4 + 4 * i] == kVerticalCsType;
  for (size_t i = 0; i < count && !vertical; ++i)
    if (d[4 + 4 * i] == kVerticalUnits && d[5 + 4 * i] == 0) {
      d.erase(d.begin() + 4 + 4 * i, d.begin() + 8 + 4 * i);
      --d[3];
      break;
    }
}

// The GeoTIFF of a GeoJP2 box: tags and keys as the TIFF writer states them.
std::vector<uint8_t> GeoJp2Tiff(const TJp2Header& header) {
  const TGeoreference& g = header.Georeference;
  const TAffine& a = g.Affine;
  TGeoTiffOutput crs = GeoTiffOutputFor(g.Crs, g.Projection, g.Datum, a.X0);
  DropLoneVerticalUnits(crs.Keys.Directory);
  const double originX = a.X0 - crs.EastingPrefix;
  std::vector<TTiffEntry> geo;
  if (g.Placed && g.NeedsAffine()) {
    geo.push_back(
        TiffDoubles(tgModelTransformation, {a.CellSizeX, a.RowTermX, 0, originX, a.ColumnTermY,
                                            0.0 - a.CellSizeY, 0, a.Y0, 0, 0, 0, 0, 0, 0, 0, 1}));
  } else if (g.Placed) {
    geo.push_back(TiffDoubles(tgModelPixelScale, {a.CellSizeX, a.CellSizeY, 0}));
    geo.push_back(TiffDoubles(tgModelTiePoint, {0, 0, 0, originX, a.Y0, 0}));
  } else {
    geo.push_back(TiffDoubles(tgModelTiePoint, TiePointsOfControlPoints(header.ControlPoints)));
  }
  // ModelTransformation's tag comes after the tie point's.
  std::sort(geo.begin(), geo.end(), [](auto& l, auto& r) { return l.Tag < r.Tag; });
  if (!crs.Keys.Directory.empty()) geo.push_back(TiffShorts(tgGeoKeyDirectory, crs.Keys.Directory));
  if (!crs.Keys.Doubles.empty()) geo.push_back(TiffDoubles(tgGeoDoubleParams, crs.Keys.Doubles));
  if (!crs.Keys.Ascii.empty()) {
    std::vector<uint8_t> text(crs.Keys.Ascii.begin(), crs.Keys.Ascii.end());
    text.push_back(0);
    geo.push_back({tgGeoAsciiParams, ftAscii, uint32_t(text.size()), text});
  }
  return OnePixelTiff(geo);
}

std::string Number(double v) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

// A GMLJP2 root instance of one RectifiedGrid: the centre of cell (0, 0) and
// a column's and a row's steps, in the axis order of the EPSG code.
std::string GmlRootInstance(const TJp2Header& header, int code, bool northFirst) {
  const TAffine& a = header.Georeference.Affine;
  double x, y;
  a.PixelToWorld(0.5, 0.5, x, y);
  const auto pair = [northFirst](double east, double north) {
    return northFirst ? Number(north) + " " + Number(east) : Number(east) + " " + Number(north);
  };
  const std::string srs = "\"urn:ogc:def:crs:EPSG::" + std::to_string(code) + "\"";
  return "<gml:FeatureCollection xmlns:gml=\"http://www.opengis.net/gml\">\n"
         "<gml:featureMember>\n<gml:RectifiedGridCoverage dimension=\"2\" gml:id=\"RGC0001\">\n"
         "<gml:rectifiedGridDomain>\n<gml:RectifiedGrid dimension=\"2\">\n"
         "<gml:limits><gml:GridEnvelope><gml:low>0 0</gml:low><gml:high>" +
         std::to_string(int64_t{header.Width} - 1) + " " +
         std::to_string(int64_t{header.Height} - 1) +
         "</gml:high></gml:GridEnvelope></gml:limits>\n"
         "<gml:axisName>x</gml:axisName><gml:axisName>y</gml:axisName>\n"
         "<gml:origin><gml:Point gml:id=\"P0001\" srsName=" +
         srs + "><gml:pos>" + pair(x, y) +
         "</gml:pos></gml:Point></gml:origin>\n"
         "<gml:offsetVector srsName=" +
         srs + ">" + pair(a.CellSizeX, a.ColumnTermY) +
         "</gml:offsetVector>\n<gml:offsetVector srsName=" + srs + ">" +
         pair(a.RowTermX, -a.CellSizeY) +
         "</gml:offsetVector>\n</gml:RectifiedGrid>\n</gml:rectifiedGridDomain>\n"
         "<gml:rangeSet><gml:File><gml:rangeParameters/>"
         "<gml:fileName>gmljp2://codestream/0</gml:fileName>"
         "<gml:fileStructure>Record Interleaved</gml:fileStructure></gml:File></gml:rangeSet>\n"
         "</gml:RectifiedGridCoverage>\n</gml:featureMember>\n</gml:FeatureCollection>\n";
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace

TError ReadJp2Boxes(std::span<const uint8_t> bytes, const std::string& fileName, TJp2Boxes& boxes) {
  boxes = {};
  // A raw codestream begins with SOC and SIZ.
  if (bytes.size() >= 4 && Big<uint32_t>(bytes.data()) == 0xFF4FFF51) {
    boxes.CodestreamLength = bytes.size();
    return {};
  }
  if (bytes.size() < sizeof kSignature || std::memcmp(bytes.data(), kSignature, 12) != 0)
    return TError::Format(fileName + ": not a JPEG 2000 file");
  TReader reader{boxes, {}};
  if (!reader.Read(bytes)) return TError::Format(fileName + ": JPEG 2000 file with " + reader.Why);
  return {};
}

std::vector<uint8_t> Jp2HeaderBytes(const TJp2Header& header) {
  std::vector<uint8_t> out(std::begin(kSignature), std::end(kSignature));
  std::vector<uint8_t> body;
  PutBig32(body, BoxType("jp2 "));
  PutBig32(body, 0);
  PutBig32(body, BoxType("jp2 "));
  PutBox(out, kFtyp, body);

  std::vector<uint8_t> ihdr;
  PutBig32(ihdr, header.Height);
  PutBig32(ihdr, header.Width);
  ihdr.push_back(uint8_t(header.Components >> 8));
  ihdr.push_back(uint8_t(header.Components));
  // Depth less one, the sign in the top bit; compression 7 (wavelet);
  // colour space known, no intellectual property box.
  ihdr.insert(ihdr.end(), {uint8_t((header.Bits - 1) | (header.Signed ? 0x80 : 0)), 7, 0, 0});
  const bool srgb = header.Color && (header.Components == 3 || header.Components == 4);
  const bool palette = !header.Palette.empty();
  std::vector<uint8_t> colr = {1, 0, 0};  // an enumerated colour space
  PutBig32(colr, srgb || palette ? 16 : 17);
  body.clear();
  PutBox(body, kIhdr, ihdr);
  PutBox(body, kColr, colr);
  if (palette) {
    // Its entries, three columns of 8 bits each, then the entries.
    std::vector<uint8_t> pclr = {uint8_t(header.Palette.size() >> 8),
                                 uint8_t(header.Palette.size()), 3, 7, 7, 7};
    for (const std::array<uint8_t, 3>& colour : header.Palette)
      pclr.insert(pclr.end(), colour.begin(), colour.end());
    // Each colour channel is the palette's column of that number, indexed
    // by component 0.
    std::vector<uint8_t> cmap;
    for (uint8_t column = 0; column < 3; ++column) cmap.insert(cmap.end(), {0, 0, 1, column});
    PutBox(body, kPclr, pclr);
    PutBox(body, kCmap, cmap);
  }
  PutBox(out, kJp2h, body);

  const TGeoreference& g = header.Georeference;
  if (g.Placed || !header.ControlPoints.empty()) {
    body.assign(std::begin(kGeoJp2), std::end(kGeoJp2));
    const std::vector<uint8_t> tiff = GeoJp2Tiff(header);
    body.insert(body.end(), tiff.begin(), tiff.end());
    PutBox(out, kUuid, body);
  }
  const TEpsgFacts facts = g.Placed && g.Crs.Epsg != 0 ? EpsgFacts(g.Crs.Epsg) : TEpsgFacts{};
  if (facts.Known) {
    std::vector<uint8_t> root, data;
    PutBox(root, kLbl, Bytes("gml.root-instance"));
    PutBox(root, kXml, Bytes(GmlRootInstance(header, g.Crs.Epsg, facts.NorthFirst)));
    PutBox(data, kLbl, Bytes("gml.data"));
    PutBox(data, kAsoc, root);
    PutBox(out, kAsoc, data);
  }

  // LBox 1: the length is the XLBox that follows, patched at the end.
  PutBig32(out, 1);
  PutBig32(out, kJp2c);
  const std::array<uint8_t, 8> length = Jp2CodestreamBoxLength(0);
  out.insert(out.end(), length.begin(), length.end());
  return out;
}

uint64_t Jp2CodestreamLengthOffset(uint64_t headerSize) { return headerSize - 8; }

std::array<uint8_t, 8> Jp2CodestreamBoxLength(uint64_t codestreamLength) {
  std::array<uint8_t, 8> bytes;
  const uint64_t length = codestreamLength + 16;
  for (int i = 0; i < 8; ++i) bytes[i] = uint8_t(length >> (56 - 8 * i));
  return bytes;
}

std::string Jp2AuxXml(double noData, uint32_t bands) {
  std::string text = "<PAMDataset>\n";
  for (uint32_t b = 1; b <= bands; ++b)
    text += "  <PAMRasterBand band=\"" + std::to_string(b) + "\">\n    <NoDataValue>" +
            Number(noData) + "</NoDataValue>\n  </PAMRasterBand>\n";
  return text + "</PAMDataset>\n";
}

std::optional<double> NoDataOfAuxXml(std::string_view text) {
  const TElement band = FindElement(text, "PAMRasterBand", 0, text.size());
  if (!band.Found()) return std::nullopt;
  const TElement value = FindElement(text, "NoDataValue", band.Content, band.End);
  double v = 0;
  if (!value.Found()) return std::nullopt;
  const char* first = text.data() + value.Content;
  if (*first == '+') ++first;
  if (std::from_chars(first, text.data() + value.End, v).ec != std::errc()) return std::nullopt;
  return v;
}

}  // namespace mirava
