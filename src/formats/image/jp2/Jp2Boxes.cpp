// JP2 boxes: a length (LBox, or XLBox after an LBox of 1; 0 runs to the end
// of the file), a type of four letters and the contents, all big-endian.
#include "formats/image/jp2/Jp2Boxes.h"

#include <algorithm>
#include <cstring>

#include "dataset/ByteOrder.h"

namespace mirava {

namespace {

constexpr uint32_t BoxType(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
         uint32_t(uint8_t(name[2])) << 8 | uint8_t(name[3]);
}
constexpr uint32_t kJp2h = BoxType("jp2h"), kIhdr = BoxType("ihdr"), kBpcc = BoxType("bpcc"),
                   kPclr = BoxType("pclr"), kJp2c = BoxType("jp2c"), kFtyp = BoxType("ftyp"),
                   kColr = BoxType("colr");
constexpr uint8_t kSignature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};

template <typename T>
T Big(const uint8_t* p) {
  return LoadInOrder<T>(p, true);
}

struct TBox {
  uint32_t Type = 0;
  std::span<const uint8_t> Body;
  uint64_t Offset = 0;  // of the body, in the file
};

// The boxes laid end to end in `bytes`, which lie at `base` in the file; a
// box that runs past them gives the reason in `why`.
bool SplitBoxes(std::span<const uint8_t> bytes, uint64_t base, std::vector<TBox>& boxes,
                std::string& why) {
  for (uint64_t at = 0; at < bytes.size();) {
    const uint64_t left = bytes.size() - at;
    if (left < 8) {
      why = "a box header cut short at " + std::to_string(base + at);
      return false;
    }
    uint64_t length = Big<uint32_t>(&bytes[at]), head = 8;
    if (length == 1) {
      if (left < 16) {
        why = "a box header cut short at " + std::to_string(base + at);
        return false;
      }
      length = Big<uint64_t>(&bytes[at + 8]);
      head = 16;
    } else if (length == 0) {
      length = left;
    }
    if (length < head || length > left) {
      why = "a box of " + std::to_string(length) + " bytes at " + std::to_string(base + at) +
            " where " + std::to_string(left) + " are left";
      return false;
    }
    boxes.push_back({Big<uint32_t>(&bytes[at + 4]), bytes.subspan(at + head, length - head),
                     base + at + head});
    at += length;
  }
  return true;
}

struct TReader {
  TJp2Boxes& Boxes;
  std::string Why;

  bool Fault(std::string why) {
    Why = std::move(why);
    return false;
  }

  bool ReadHeaderBox(const TBox& box) {
    std::vector<TBox> children;
    if (!SplitBoxes(box.Body, box.Offset, children, Why)) return false;
    for (const TBox& child : children) {
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
    return true;
  }

  // Entries (2 bytes), columns (1), each column's depth, then the entries,
  // each column in as many bytes as its depth needs.
  bool ReadPalette(std::span<const uint8_t> b) {
    if (b.size() < 3) return Fault("a pclr box of " + std::to_string(b.size()) + " bytes");
    const uint32_t entries = Big<uint16_t>(&b[0]), columns = b[2];
    if (b.size() < 3u + columns) return Fault("a pclr box cut short");
    // Colours of more than 16 bits are no colour table we can give.
    uint64_t entryBytes = 0;
    for (uint32_t c = 0; c < columns; ++c) {
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
        const uint32_t bits = (b[3 + c] & 0x7F) + 1, bytes = bits / 8 + (bits % 8 != 0);
        uint64_t v = 0;
        for (uint32_t i = 0; i < bytes; ++i) v = v << 8 | *p++;
        if (c < 3) colour[c] = static_cast<uint16_t>(v * 65535 / ((uint64_t{1} << bits) - 1));
      }
      Boxes.PaletteColours.push_back(colour);
    }
    return true;
  }

  bool Read(std::span<const uint8_t> bytes) {
    std::vector<TBox> boxes;
    if (!SplitBoxes(bytes, 0, boxes, Why)) return false;
    if (boxes.size() < 2 || boxes[1].Type != kFtyp) return Fault("no ftyp box after the signature");
    for (const TBox& box : boxes) {
      if (box.Type == kJp2h && !ReadHeaderBox(box)) return false;
      if (box.Type == kJp2c && !Boxes.Wrapped) {
        Boxes.Wrapped = true;
        Boxes.CodestreamOffset = box.Offset;
        Boxes.CodestreamLength = box.Body.size();
      }
    }
    if (!Boxes.Wrapped) return Fault("no codestream (jp2c box)");
    if (Boxes.Width == 0 || Boxes.Height == 0 || Boxes.Components == 0 || Boxes.Bits == 0)
      return Fault("no image header (ihdr box)");
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
  std::vector<uint8_t> colr = {1, 0, 0};  // an enumerated colour space
  PutBig32(colr, srgb ? 16 : 17);
  body.clear();
  PutBox(body, kIhdr, ihdr);
  PutBox(body, kColr, colr);
  PutBox(out, kJp2h, body);

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

}  // namespace mirava
