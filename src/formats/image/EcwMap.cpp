#include "formats/image/EcwMap.h"

#include <cmath>
#include <mutex>
#include <new>
#include <vector>

#include "dataset/ScratchFile.h"
#include "georef/WorldFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

const char* const NcsErrorTexts[99] = {
    "No Error",
    "Queue node creation failed",
    "File open failed",
    "The Image Web Server\"s licensed file limit has been reached",
    "The requested file is larger than is permitted by the license on this "
    "Image Web Server",
    "Not enough memory for new file",
    "The Image Web Server\"s licensed client limit has been reached",
    "Detected duplicate open from net layer",
    "Packet request type not yet implemented",
    "Packet type is illegal",
    "Client closed while requests outstanding",
    "Client UID unknown",
    "Could not create new client",
    "Could not resolve address of Image Web Server",
    "Could not connect to host",
    "Receive timeout",
    "Error sending header",
    "Error receiving header",
    "Error sending packet",
    "Error receiving packet",
    "401 Unauthorised",
    "403 Forbidden",
    "Is the host an Image Web Server?",
    "Your HTTP proxy requires authentication,\\nthis is presently unsupported "
    "by the Image Web Server control",
    "Unexpected HTTP response",
    "Bad HTTP response",
    "Already connected",
    "The connection is invalid",
    "Windows sockets failure",
    "Symbology error",
    "Could not open database",
    "Could not execute the requested query on database",
    "SQL statement could not be executed",
    "Open symbol layer failed",
    "The database is not open",
    "This type of quad tree is not supported",
    "Invalid local user key name specified",
    "Invalid local machine key name specified",
    "Failed to open registry key",
    "Registry query failed",
    "Type mismatch in registry variable",
    "Invalid arguments passed to function",
    "ECW error",
    "Server error",
    "Unknown error",
    "Extent conversion failed",
    "Could not allocate enough memory",
    "An invalid parameter was used",
    "Could not perform Read/Write on file",
    "Could not open compression task",
    "Could not perform compression",
    "Trying to generate too many output lines",
    "User cancelled compression",
    "Could not read line from input image file",
    "Input image size exceeded for this version",
    "Specified image region is outside image area",
    "Supersampling not supported",
    "Specified image region has a zero width or height",
    "More bands specified than exist in this file",
    "An invalid band number has been specified",
    "Input image size is too small to compress",
    "The ECWP client version is incompatible with this server",
    "Windows Internet Client error",
    "Could not load wininet.dll",
    "Invalid SetView parameters or SetView not called.",
    "There is no open ECW file.",
    "Class does not implement ECWProgressiveDisplay interface.",
    "Incompatible coordinate systems",
    "Incompatible coordinate datum types",
    "Incompatible coordinate projection types",
    "Incompatible coordinate units types",
    "Non-linear coordinate systems not supported",
    "GDT Error",
    "Zero length packet",
    "Must use Japanese version of the ECW SDK",
    "Lost of connection to server",
    "NCSGdt coordinate conversion failed",
    "Failed to open metabase",
    "Failed to get value from metabase",
    "Timeout sending header",
    "Java JNI error",
    "No data source passed",
    "Could not resolve address of Image Web Server Symbol Server Extension",
    "Invalid NCSError value!",
    "End Of File reached",
    "File not found",
    "File is invalid or corrupt",
    "Attempted to read, write or seek past file limits",
    "Permissions not available to access file",
    "File open error",
    "File close error",
    "File IO error",
    "Illegal World Coordinates",
    "Unknown map projection",
    "Unknown datum",
    "User specified Geographic Projection Database data server failed",
    "Remote Geographic Projection Database file downloading has been disable "
    "and no Geographic Projection Database data is locally available",
    "Invalid transform mode",
    "Max NCSError enum value!",
};

std::string NcsErrorText(ncs::NCSError error) {
  if (error >= 0 && error < static_cast<ncs::NCSError>(std::size(NcsErrorTexts)))
    return NcsErrorTexts[error];
  return "Unknown NCSError value " + std::to_string(error);
}

TECWMap2* CurrentEcwDataset = nullptr;

namespace {

// The compressor's line callback finds its image through CurrentEcwDataset,
// so compressions must not overlap.
std::mutex CompressionLock;

// The client data the callback is given and ignores.
uint8_t NoClientData = 0;

}  // namespace

TECWMap2::~TECWMap2() { Close(); }

void TECWMap2::TakeFileInfo(const ncs::NCSFileViewFileInfo& info) {
  SetSize(info.SizeX, info.SizeY, info.Bands);
  // The row step is negative for rows that run north.
  Georef.Affine = {info.CellIncrementX, 0, 0, -info.CellIncrementY, info.OriginX, info.OriginY};
  Georef.Placed = true;  // a corner and cell sizes are in every file
  Georef.Datum = info.Datum;
  Georef.Projection = info.Projection;
  Georef.Crs = {};
  Georef.Crs.Epsg = info.Epsg != 0 ? info.Epsg : EpsgOfErMapperNames(info.Projection, info.Datum);
}

TError TECWMap2::WriteRefusal(const TRasterShape& shape) {
  return BytePictureRefusal("ECW", shape);
}

bool TECWMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  FileName = fileName;
  OpenMode = mode;
  if (mode == omRead) {
    if (!ReadWholeImage(fileName)) {
      return Fail(TErrorCode::Codec, "Open read error 1 " + Error().Text);
    }
    return true;
  }
  if (mode != omCreate) {
    return Fail(TErrorCode::Format, "ECW files cannot be updated");
  }
  if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
  // Refused now rather than after every cell was copied.
  if (columns == 0 || rows == 0 || static_cast<uint64_t>(columns) * bands > ncs::kMaxLineSamples) {
    return Fail(TErrorCode::Format, "ECW images here hold 1 to " +
                                        std::to_string(ncs::kMaxLineSamples / bands) +
                                        " columns and at least one row, not " +
                                        std::to_string(columns) + " x " + std::to_string(rows));
  }
  SetSize(columns, rows, bands);
  if (!Succeeded(ImageBuffer.Allocate(columns, rows, bands, MemoryLimit, "ECW output",
                                      ScratchDirectoryBeside(fileName))))
    return false;
  Notes.push_back(kOwnEcwLayoutNote);
  return true;
}

bool TECWMap2::ReadWholeImage(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  ncs::TFileViewPtr view;
  ncs::NCSError e = ncs::NCScbmOpenFileView(fileName, view);
  if (e != ncs::NCS_SUCCESS) {
    return Fail(TErrorCode::Format, "Error: " + ncs::NCSGetErrorText(e));
  }
  bool ok = false;
  ncs::NCSFileViewFileInfo info;
  ncs::NCScbmGetViewFileInfo(*view, info);
  std::vector<uint8_t> line;
  if (ImageBuffer.Empty() || ImageBuffer.Columns() != info.SizeX ||
      ImageBuffer.Rows() != info.SizeY || ImageBuffer.Bands() != info.Bands) {
    ImageBuffer.Release();
    TakeFileInfo(info);
    if (Bands != 1 && Bands != 3)
      Fail(TErrorCode::Format, "Bands not 1 or 3: " + std::to_string(Bands));
    else
      Succeeded(ImageBuffer.Allocate(Columns, Rows, Bands, MemoryLimit, "ECW input",
                                     TemporaryDirectory()));
  }
  if (!ImageBuffer.Empty()) {
    std::vector<uint32_t> bandList(Bands);
    for (uint32_t b = 0; b < Bands; ++b) bandList[b] = b;
    e = ncs::NCScbmSetFileView(*view, Bands, bandList.data(), 0, 0, Columns - 1, Rows - 1, Columns,
                               Rows);
    if (e != ncs::NCS_SUCCESS) {
      Fail(TErrorCode::Codec, "Error: " + ncs::NCSGetErrorText(e) + " " + NcsErrorText(e));
    } else {
      // The reader delivers 3 bytes a pixel whatever the band count: each
      // line lands in a buffer of its own and only the bands the image has
      // are copied into the image's row.
      try {
        line.resize(3 * static_cast<size_t>(Columns));
        ok = true;
      } catch (const std::bad_alloc&) {
        Fail(TErrorCode::Codec, "Malloc error for output buffers");
      }
      for (uint32_t i = 0; ok && i < Rows; ++i) {
        const ncs::NCSEcwReadStatus s = ncs::NCScbmReadViewLineRGB(*view, line.data());
        if (s != ncs::NCSECW_READ_OK) {
          Fail(TErrorCode::Codec, "Status code: " + std::to_string(s) + " " +
                                      ncs::NCSGetErrorText(ncs::NCSGetLastError()));
          ok = false;
          break;
        }
        uint8_t* row = ImageBuffer.Row(i);
        if (Bands == 3) {
          std::copy(line.begin(), line.end(), row);
        } else {
          for (uint32_t c = 0; c < Columns; ++c) row[c] = line[3 * static_cast<size_t>(c)];
        }
      }
    }
  }
  ncs::NCScbmCloseFileViewEx(view, true);
  if (!ok) ImageBuffer.Release();
  return ok;
}

bool TECWMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  FileName = fileName;
  OpenMode = omRead;
  ncs::TFileViewPtr view;
  const ncs::NCSError e = ncs::NCScbmOpenFileView(fileName, view);
  if (e != ncs::NCS_SUCCESS) {
    return Fail(TErrorCode::Format,
                "Could not open view for file: " + fileName + " Error: " + ncs::NCSGetErrorText(e));
  }
  ncs::NCSFileViewFileInfo info;
  ncs::NCScbmGetViewFileInfo(*view, info);
  TakeFileInfo(info);
  ncs::NCScbmCloseFileViewEx(view, false);
  return true;
}

bool TECWMap2::ReadLine(ncs::NCSEcwCompressClient* client, uint32_t line, float** bandArrays) {
  TECWMap2* dataSet = CurrentEcwDataset;
  if (!dataSet || line >= dataSet->Rows || client->SizeX != dataSet->Columns ||
      client->InputBands != dataSet->Bands)
    return false;
  const uint8_t* row = dataSet->ImageBuffer.Row(line);
  const uint32_t bands = dataSet->Bands;
  for (uint32_t b = 0; b < bands; ++b) {
    float* out = bandArrays[b];
    for (uint32_t c = 0; c < dataSet->Columns; ++c)
      out[c] = row[static_cast<size_t>(c) * bands + b];
  }
  return true;
}

bool TECWMap2::CompressImage(const std::string& fileName, float quality) {
  if (ImageBuffer.Empty()) return false;
  std::lock_guard lock(CompressionLock);
  std::unique_ptr<ncs::NCSEcwCompressClient> client = ncs::NCSEcwCompressAllocClient();
  if (!client) {
    return Fail(TErrorCode::Format, "NCSEcwCompressAllocClient() failed!");
  }
  client->InputBands = Bands;
  client->SizeX = Columns;
  client->SizeY = Rows;
  client->TargetCompression = quality;
  client->CompressFormat = Bands == 1   ? ncs::COMPRESS_UINT8
                           : Bands == 3 ? ncs::COMPRESS_RGB
                                        : ncs::COMPRESS_MULTI;
  client->CompressHint = ncs::COMPRESS_HINT_INTERNET;
  client->BlockSizeX = 64;
  client->BlockSizeY = 64;
  client->OutputFileName = fileName;
  client->OutputFiles = &FileMaker();
  client->ReadCallback = ReadLine;
  if (Stop)
    client->CancelCallback = [](ncs::NCSEcwCompressClient*) {
      return CurrentEcwDataset->Stop->load();
    };
  client->ClientData = &NoClientData;
  const TGeoreference georeference = GetGeoreference();
  client->OriginX = georeference.Affine.X0;
  client->OriginY = georeference.Affine.Y0;
  client->CellIncrementX = georeference.Affine.CellSizeX;
  client->CellIncrementY = -georeference.Affine.CellSizeY;
  client->CellSizeUnits = 3;
  client->Datum = georeference.Datum;
  client->Projection = georeference.Projection;
  client->Epsg = georeference.Crs.Epsg;
  CurrentEcwDataset = this;
  ncs::NCSError e = ncs::NCSEcwCompressOpen(*client, false);
  if (e == ncs::NCS_SUCCESS) {
    e = ncs::NCSEcwCompress(*client);
    // Closing completes the file; its failure (a full disk) counts too.
    const ncs::NCSError closed = ncs::NCSEcwCompressClose(*client);
    if (e == ncs::NCS_SUCCESS) e = closed;
  }
  CurrentEcwDataset = nullptr;
  bool ok = true;
  if (e != ncs::NCS_SUCCESS) {
    ok = Fail(TErrorCode::Codec, "Compression error: " + ncs::NCSGetErrorText(e));
  } else {
    ClearError();
  }
  ncs::NCSEcwCompressFreeClient(client);
  return ok;
}

bool TECWMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (OpenMode == omCreate && !ImageBuffer.Empty()) ok = CompressImage(FileName, Quality);
  ImageBuffer.Release();
  return ok;
}

bool TECWMap2::SetGeoreference(const TGeoreference& georeference) {
  const TErMapperNames names = ErMapperNamesFor(
      Georef.Crs, {georeference.Projection, georeference.Datum, georeference.Spheroid, false});
  TGeoreference named = georeference;
  named.Spheroid = names.Spheroid;
  named.Datum = names.Datum;
  named.Projection = names.Projection;
  KeepGeoreference(named);
  return true;
}

}  // namespace mirava
