#include "formats/image/JpgMap.h"

#include "dataset/ScratchFile.h"
#include "formats/codec/JpegCodec.h"
#include "georef/WorldFile.h"
#include "dataset/MemoryBudget.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

// The line a read failure adds to the codec's text: the file, and what in it
// could not be read.
static std::string FileLine(const std::string& fileName, int code, const std::string& message) {
  std::string what;
  switch (code) {
    case jpeg::jeUnsupported: {
      // libjpeg's "Unsupported JPEG data precision 12"
      const size_t at = message.find("precision ");
      what = at == std::string::npos
                 ? "its coding is not supported (" + message + ")"
                 : message.substr(at + 10) + "-bit JPEG samples are not supported";
      break;
    }
    case jpeg::jeNotJpeg:
      what = "not a JPEG file";
      break;
    case jpeg::jeTruncated:
      what = "the file is damaged: it ends before its image does";
      break;
    case jpeg::jeCorrupt:
      what = "the file is damaged: its JPEG data do not decode";
      break;
    default:
      what = "not read";
  }
  return "\n" + fileName + ": " + what;
}

TJpgMap2::~TJpgMap2() { Close(); }

TError TJpgMap2::WriteRefusal(const TRasterShape& shape) {
  return BytePictureRefusal("JPEG", shape);
}

bool TJpgMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  FileName = fileName;
  OpenMode = mode;
  if (mode == omRead || mode == omReadWrite) {
    ReadWorldFileBeside(fileName);
    if (!DecodeImage(fileName)) {
      return Fail(TErrorCode::Codec, "Open read error 1 " + Error().Text);
    }
    return true;
  }
  if (mode != omCreate) {
    return Fail(TErrorCode::Format, "Unknown open mode " + std::to_string(mode));
  }
  if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
  // Refused now rather than after every cell was copied.
  if (columns == 0 || rows == 0 || columns > jpeg::kMaxDimension || rows > jpeg::kMaxDimension) {
    return Fail(TErrorCode::Format, "JPEG images hold 1 to " + std::to_string(jpeg::kMaxDimension) +
                                        " pixels a side, not " + std::to_string(columns) + " x " +
                                        std::to_string(rows));
  }
  SetSize(columns, rows, bands);
  return Succeeded(ImageBuffer.Allocate(columns, rows, bands, MemoryLimit, "JPEG output",
                                        ScratchDirectoryBeside(fileName)));
}

bool TJpgMap2::DecodeImage(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  jpeg::TJpegInfo info;
  std::string message;
  int r = jpeg::ReadParams(fileName, info, message, MemoryLimit);
  if (r != jpeg::jeNone) {
    return Fail(TErrorCode::Format, "ijlReadParams error: " + std::to_string(r) + " " + message +
                                        FileLine(fileName, r, message));
  }
  if (ImageBuffer.Empty() || Columns != info.Width || Rows != info.Height ||
      Bands != info.Channels) {
    ImageBuffer.Release();
    SetSize(info.Width, info.Height, info.Channels);
    if (Bands != 1 && Bands != 3) {
      return Fail(TErrorCode::Format, "Bands not 1 or 3: " + std::to_string(Bands));
    }
    if (!Succeeded(ImageBuffer.Allocate(Columns, Rows, Bands, MemoryLimit, "JPEG input",
                                        TemporaryDirectory())))
      return false;
  }
  r = jpeg::ReadWholeImage(fileName, ImageBuffer.Row(0), Columns, Rows, Bands,
                           static_cast<uint32_t>(LineLength - Columns * Bands), message,
                           MemoryLimit);
  // Progressive and multi-scan files hold their coefficients whole while
  // they decode, two bytes a sample at most, within half the job's memory.
  if (r == jpeg::jeOutOfMemory) {
    return Fail(TErrorCode::Refused,
                MemoryRefusal("JPEG input of " + std::to_string(Columns) + " x " +
                                  std::to_string(Rows) + " x " + std::to_string(Bands) +
                                  " (its coefficients are held whole while it decodes)",
                              2 * uint64_t{Columns} * Rows * Bands, JobMemory(MemoryLimit)));
  }
  if (r != jpeg::jeNone) {
    return Fail(TErrorCode::Format, "ijlReadWholeImage error: " + std::to_string(r) + " " +
                                        message + FileLine(fileName, r, message));
  }
  return true;
}

bool TJpgMap2::EncodeImage(const std::string& fileName, int quality) {
  if (ImageBuffer.Empty() || (Bands != 1 && Bands != 3)) return false;
  std::string message;
  const int r = jpeg::WriteWholeImage(
      fileName, FileMaker(), ImageBuffer.Row(0), Columns, Rows, Bands,
      static_cast<uint32_t>(LineLength - static_cast<uint64_t>(Columns) * Bands), quality, Sampling,
      message, Stop, MemoryLimit);
  if (r != jpeg::jeNone) {
    return Fail(TErrorCode::Format,
                "ijlWriteWholeImage error: " + std::to_string(r) + " " + message);
  }
  return true;
}

bool TJpgMap2::CanPlaceFile(const std::string& inputName, TPlacement placement,
                            uint64_t memoryLimit, std::string& why) {
  return jpeg::CheckPlacement(inputName, placement, why, memoryLimit) == jpeg::jeNone;
}

bool TJpgMap2::PlaceFile(const std::string& inputName, TPlacement placement) {
  if (OpenMode != omCreate) return false;
  // Whatever the outcome, the buffer holds no image to encode.
  Placed = true;
  ImageBuffer.Release();
  std::string message;
  const int code =
      jpeg::PlaceFile(inputName, FileName, FileMaker(), placement, message, Stop, MemoryLimit);
  if (code == jpeg::jeNone) return true;
  // The input's faults name the input; the output's are the job's to name.
  const bool input = code == jpeg::jeUnsupported || code == jpeg::jeNotJpeg ||
                     code == jpeg::jeTruncated || code == jpeg::jeCorrupt;
  return Fail(TErrorCode::Format, message + (input ? FileLine(inputName, code, message) : ""));
}

bool TJpgMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if ((OpenMode == omCreate || OpenMode == omReadWrite) && !ImageBuffer.Empty() && !Placed)
    ok = EncodeImage(FileName, Quality);
  ImageBuffer.Release();
  return ok;
}

bool TJpgMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  FileName = fileName;
  OpenMode = omRead;
  jpeg::TJpegInfo info;
  std::string message;
  const int r = jpeg::ReadParams(fileName, info, message, MemoryLimit);
  if (r != jpeg::jeNone) {
    return Fail(TErrorCode::Format, "ijlReadParams error: " + std::to_string(r) + " " + message +
                                        FileLine(fileName, r, message));
  }
  SetSize(info.Width, info.Height, info.Channels);
  ReadWorldFileBeside(fileName);
  return true;
}

bool TJpgMap2::SetGeoreference(const TGeoreference& georeference) {
  KeepGeoreference(georeference);
  return WriteWorldFile();
}

// Only an image that will be saved and is placed gets a world file: a
// read-only one keeps its files as they are.
bool TJpgMap2::WriteWorldFile() {
  if ((OpenMode != omCreate && OpenMode != omReadWrite) || !Georef.Placed) return true;
  return SaveWorldFile(ChangeFileExt(FileName, ".jgw"),
                       TWorldFile::FromOrigin(GetGeoreference().Affine));
}

bool TJpgMap2::ReadWorldFile(const std::string& fileName) {
  TWorldFile world;
  if (!world.Read(fileName)) return false;
  TakeWorldFile(world);
  return true;
}

void TJpgMap2::ReadWorldFileBeside(const std::string& fileName) {
  std::string name = FindCompanion(fileName, ".jpgw");
  if (name.empty()) name = FindCompanion(fileName, ".jgw");
  if (!name.empty()) ReadWorldFile(name);
}

}  // namespace mirava
