#include "formats/codec/JpegCodec.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "formats/image/ImageBuffer.h"
#include "text/TextUtils.h"

namespace mirava::jpeg {

namespace {

// A progressive file may hold any number of scans, each decoded over the
// whole image; a few hundred is far beyond what any encoder writes.
constexpr int kMaxScans = 500;

// libjpeg calls error_exit and expects it never to return. Ours records the
// error and jumps back to the setjmp of the call that started the work; the
// frames in between are libjpeg's C code, and the functions holding the
// setjmp keep only plain C data, so the jump skips no destructor.
struct TErrorManager {
  jpeg_error_mgr Pub;  // first, so libjpeg's pointer is ours too
  std::jmp_buf Jump;
  int DefaultCode = jeCorrupt;
  int Code = jeNone;
  int SystemError = 0;
  char Message[JMSG_LENGTH_MAX] = {};
};

int CodeFor(int messageCode, int defaultCode) {
  switch (messageCode) {
    case JERR_NO_SOI:
    case JERR_INPUT_EMPTY:
      return jeNotJpeg;
    case JERR_INPUT_EOF:
    case JWRN_JPEG_EOF:
      return jeTruncated;
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:
      return jeOutOfMemory;
    case JERR_FILE_WRITE:
      return jeWriteFailed;
    case JERR_IMAGE_TOO_BIG:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_BAD_IN_COLORSPACE:
      return jeUnsupported;
    default:
      return defaultCode;
  }
}

[[noreturn]] void Abandon(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<TErrorManager*>(cinfo->err);
  errors->SystemError = errno;
  cinfo->err->format_message(cinfo, errors->Message);
  errors->Code = CodeFor(cinfo->err->msg_code, errors->DefaultCode);
  std::longjmp(errors->Jump, 1);
}

void ErrorExit(j_common_ptr cinfo) { Abandon(cinfo); }

// Warnings are how libjpeg reports corrupt and truncated data (it would go
// on with grey rows); only those that leave the pixels intact pass.
void EmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  const int code = cinfo->err->msg_code;
  if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM || code == JWRN_BOGUS_ICC) return;
  Abandon(cinfo);
}

void OutputMessage(j_common_ptr) {}

jpeg_error_mgr* InitErrors(TErrorManager& errors, int defaultCode) {
  jpeg_std_error(&errors.Pub);
  errors.Pub.error_exit = ErrorExit;
  errors.Pub.emit_message = EmitMessage;
  errors.Pub.output_message = OutputMessage;
  errors.DefaultCode = defaultCode;
  return &errors.Pub;
}

void LimitScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number <= kMaxScans) return;
  auto* errors = reinterpret_cast<TErrorManager*>(cinfo->err);
  std::snprintf(errors->Message, sizeof errors->Message, "more than %d progressive scans",
                kMaxScans);
  errors->Code = jeCorrupt;
  std::longjmp(errors->Jump, 1);
}

// libjpeg's own working memory (coefficient buffers of progressive files)
// is kept within what the machine has.
void LimitMemory(j_common_ptr cinfo) {
  const uint64_t limit = PhysicalMemory() / 2;
  cinfo->mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(limit, LONG_MAX));
}

void SetMessage(TErrorManager& errors, int code, const char* text) {
  errors.Code = code;
  std::snprintf(errors.Message, sizeof errors.Message, "%s", text);
}

// CMYK and YCCK (Adobe) files hold four components, delivered as RGB.
bool IsCmyk(const jpeg_decompress_struct& cinfo) {
  return cinfo.num_components == 4 &&
         (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK);
}

uint32_t DecodedChannels(const jpeg_decompress_struct& cinfo) {
  return IsCmyk(cinfo) ? 3 : static_cast<uint32_t>(cinfo.num_components);
}

// Adobe's CMYK JPEGs store their inks inverted (255 is no ink), so each
// colour is its inverted ink scaled by the inverted black, as GDAL and
// image viewers show them.
void CmykToRgb(const JSAMPLE* cmyk, uint8_t* rgb, JDIMENSION width) {
  for (JDIMENSION i = 0; i < width; ++i, cmyk += 4, rgb += 3) {
    const unsigned k = cmyk[3];
    rgb[0] = static_cast<uint8_t>(cmyk[0] * k / 255);
    rgb[1] = static_cast<uint8_t>(cmyk[1] * k / 255);
    rgb[2] = static_cast<uint8_t>(cmyk[2] * k / 255);
  }
}

int HeaderC(FILE* file, TErrorManager& errors, TJpegInfo& info) {
  jpeg_decompress_struct cinfo;
  cinfo.err = InitErrors(errors, jeCorrupt);
  if (setjmp(errors.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  jpeg_create_decompress(&cinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&cinfo));
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  info.Width = cinfo.image_width;
  info.Height = cinfo.image_height;
  info.Channels = DecodedChannels(cinfo);
  jpeg_destroy_decompress(&cinfo);
  return jeNone;
}

int DecodeC(FILE* file, TErrorManager& errors, uint8_t* buffer, uint32_t width, uint32_t height,
            uint32_t channels, uint64_t stride) {
  jpeg_decompress_struct cinfo;
  jpeg_progress_mgr progress;
  cinfo.err = InitErrors(errors, jeCorrupt);
  if (setjmp(errors.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  jpeg_create_decompress(&cinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&cinfo));
  progress.progress_monitor = LimitScans;
  cinfo.progress = &progress;
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width != width || cinfo.image_height != height ||
      DecodedChannels(cinfo) != channels) {
    SetMessage(errors, jeBadParameters,
               "the file's size or channel count changed since it was read");
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  const bool cmyk = IsCmyk(cinfo);
  cinfo.out_color_space = cmyk ? JCS_CMYK : channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (static_cast<uint32_t>(cinfo.output_components) != (cmyk ? 4 : channels)) {
    SetMessage(errors, jeUnsupported, "the colour space cannot be converted");
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  // CMYK rows go through a strip of libjpeg's own, freed with it.
  JSAMPARRAY strip = cmyk ? (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                       JPOOL_IMAGE, width * 4, 16)
                          : nullptr;
  JSAMPROW rows[16];
  while (cinfo.output_scanline < cinfo.output_height) {
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, height - first);
    for (JDIMENSION k = 0; k < count; ++k)
      rows[k] = cmyk ? strip[k] : buffer + (static_cast<uint64_t>(first) + k) * stride;
    const JDIMENSION read = jpeg_read_scanlines(&cinfo, rows, count);
    for (JDIMENSION k = 0; cmyk && k < read; ++k)
      CmykToRgb(strip[k], buffer + (static_cast<uint64_t>(first) + k) * stride, width);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return jeNone;
}

int EncodeC(FILE* file, TErrorManager& errors, const uint8_t* buffer, uint32_t width,
            uint32_t height, uint32_t channels, uint64_t stride, int quality) {
  jpeg_compress_struct cinfo;
  cinfo.err = InitErrors(errors, jeWriteFailed);
  if (setjmp(errors.Jump)) {
    jpeg_destroy_compress(&cinfo);
    return errors.Code;
  }
  jpeg_create_compress(&cinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&cinfo));
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = static_cast<int>(channels);
  cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  // Full chroma resolution: a map's thin coloured lines survive.
  for (int i = 0; i < cinfo.num_components; ++i) {
    cinfo.comp_info[i].h_samp_factor = 1;
    cinfo.comp_info[i].v_samp_factor = 1;
  }
  jpeg_start_compress(&cinfo, TRUE);
  JSAMPROW rows[16];
  while (cinfo.next_scanline < cinfo.image_height) {
    const JDIMENSION first = cinfo.next_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, height - first);
    for (JDIMENSION k = 0; k < count; ++k)
      rows[k] = const_cast<JSAMPROW>(buffer + (static_cast<uint64_t>(first) + k) * stride);
    jpeg_write_scanlines(&cinfo, rows, count);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return jeNone;
}

int Report(int code, const std::string& cause, std::string& message) {
  message = ErrorText(code);
  if (cause.rfind(message, 0) == 0)
    message = cause;
  else if (!cause.empty())
    message += ": " + cause;
  return code;
}

int ReportLibrary(const TErrorManager& errors, std::string& message) {
  std::string cause = errors.Message;
  if (errors.Code == jeWriteFailed && errors.SystemError != 0)
    cause = SystemErrorText(errors.SystemError);
  return Report(errors.Code, cause, message);
}

// Writes a file through `write` (which returns 0 or an error number with
// `message` set) beside the target and renames it over the target once
// complete, so that a failure never leaves a truncated image under the
// target's name.
template <typename TWrite>
int WriteBeside(const std::string& fileName, TWrite write, std::string& message) {
  const std::string partName = fileName + ".part";
  const int fd = ::open(partName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Report(jeOpenFailed, SystemErrorText(errno), message);
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    ::unlink(partName.c_str());
    return Report(jeOpenFailed, SystemErrorText(error), message);
  }
  int code = write(file);
  std::string cause;
  if (code == jeNone && (std::fflush(file) != 0 || std::ferror(file))) {
    code = jeWriteFailed;
    cause = SystemErrorText(errno);
  }
  if (std::fclose(file) != 0 && code == jeNone) {
    code = jeWriteFailed;
    cause = SystemErrorText(errno);
  }
  if (code == jeNone && std::rename(partName.c_str(), fileName.c_str()) != 0) {
    code = jeWriteFailed;
    cause = SystemErrorText(errno);
  }
  if (code != jeNone) {
    ::unlink(partName.c_str());
    if (!cause.empty()) Report(code, cause, message);
    return code;
  }
  message.clear();
  return jeNone;
}

// A file to transform, mapped rather than read: its pages are the page
// cache's, not the process's memory.
struct TSourceFile {
  const unsigned char* Data = nullptr;
  unsigned long Size = 0;

  TSourceFile() = default;
  TSourceFile(const TSourceFile&) = delete;
  TSourceFile& operator=(const TSourceFile&) = delete;
  ~TSourceFile() {
    if (Data) ::munmap(const_cast<unsigned char*>(Data), Size);
  }

  int Open(const std::string& fileName, std::string& message) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Report(jeOpenFailed, SystemErrorText(errno), message);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return Report(jeOpenFailed, SystemErrorText(error), message);
    }
    if (st.st_size < 2) {
      ::close(fd);
      return Report(jeNotJpeg, "", message);
    }
    void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    const int error = errno;
    ::close(fd);
    if (p == MAP_FAILED) return Report(jeOpenFailed, SystemErrorText(error), message);
    Data = static_cast<const unsigned char*>(p);
    Size = static_cast<unsigned long>(st.st_size);
    if (Data[0] != 0xFF || Data[1] != 0xD8) return Report(jeNotJpeg, "", message);
    return jeNone;
  }
};

struct TTransformer {
  struct TDestroy {
    void operator()(void* handle) const { tjDestroy(handle); }
  };
  std::unique_ptr<void, TDestroy> Handle{tjInitTransform()};
};

// The placed image's size and the source's chroma sampling.
struct TTransformSize {
  int Width = 0;
  int Height = 0;
  int Sampling = TJSAMP_444;
};

int TransformOperation(TBlockPlacement placement) {
  switch (placement) {
    case TBlockPlacement::MirrorHorizontal:
      return TJXOP_HFLIP;
    case TBlockPlacement::MirrorVertical:
      return TJXOP_VFLIP;
    case TBlockPlacement::Rotate180:
      return TJXOP_ROT180;
    case TBlockPlacement::Rotate90CW:
      return TJXOP_ROT90;
    case TBlockPlacement::Rotate90CCW:
      return TJXOP_ROT270;
    case TBlockPlacement::None:
      break;
  }
  return TJXOP_NONE;
}

// Where partial blocks would have to go, or nothing when the placement
// leaves every partial block at the right or bottom edge.
std::string MisplacedEdges(TBlockPlacement placement, bool partialRight, bool partialBottom) {
  using P = TBlockPlacement;
  const bool right = partialRight && (placement == P::MirrorHorizontal ||
                                      placement == P::Rotate180 || placement == P::Rotate90CCW);
  const bool bottom = partialBottom && (placement == P::MirrorVertical ||
                                        placement == P::Rotate180 || placement == P::Rotate90CW);
  std::string text;
  if (right)
    text = "the right edge to the " + std::string(placement == P::Rotate90CCW ? "top" : "left");
  if (bottom)
    text += (right ? " and the bottom edge to the " : "the bottom edge to the ") +
            std::string(placement == P::Rotate90CW ? "left" : "top");
  return text;
}

// Maps the source, reads its header and refuses what the transform cannot
// make exactly, or what would not fit this machine's memory.
int PrepareTransform(const std::string& fileName, TBlockPlacement placement, TSourceFile& source,
                     TTransformer& transformer, TTransformSize& size, std::string& message) {
  if (const int code = source.Open(fileName, message)) return code;
  if (!transformer.Handle) return Report(jeOutOfMemory, tjGetErrorStr2(nullptr), message);
  int width = 0, height = 0, sampling = 0, colorspace = 0;
  if (tjDecompressHeader3(transformer.Handle.get(), source.Data, source.Size, &width, &height,
                          &sampling, &colorspace) != 0)
    return Report(jeUnsupported, tjGetErrorStr2(transformer.Handle.get()), message);
  const int mcuWidth = tjMCUWidth[sampling], mcuHeight = tjMCUHeight[sampling];
  const std::string edges =
      MisplacedEdges(placement, width % mcuWidth != 0, height % mcuHeight != 0);
  if (!edges.empty())
    return Report(jeImperfect,
                  std::to_string(width) + " x " + std::to_string(height) + " pixels in " +
                      std::to_string(mcuWidth) + " x " + std::to_string(mcuHeight) +
                      " blocks; the placement would move the partial ones from " + edges,
                  message);
  // Every component's coefficients (two bytes each) are held, twice when
  // the placement cannot be made in place.
  const uint64_t components = sampling == TJSAMP_GRAY                              ? 1
                              : colorspace == TJCS_CMYK || colorspace == TJCS_YCCK ? 4
                                                                                   : 3;
  const uint64_t mcus = (uint64_t(width) + mcuWidth - 1) / mcuWidth *
                        ((uint64_t(height) + mcuHeight - 1) / mcuHeight);
  const bool inPlace = placement == TBlockPlacement::None ||
                       placement == TBlockPlacement::MirrorHorizontal ||
                       placement == TBlockPlacement::MirrorVertical;
  const uint64_t bytes =
      mcus * uint64_t(mcuWidth) * uint64_t(mcuHeight) * components * 2 * (inPlace ? 1 : 2);
  if (bytes > PhysicalMemory() / 2)
    return Report(jeOutOfMemory, "its coefficients need " + std::to_string(bytes) + " bytes",
                  message);
  const bool turned =
      placement == TBlockPlacement::Rotate90CW || placement == TBlockPlacement::Rotate90CCW;
  size.Width = turned ? height : width;
  size.Height = turned ? width : height;
  size.Sampling = sampling;
  message.clear();
  return jeNone;
}

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case jeNone:
      return "No error";
    case jeOpenFailed:
      return "The file cannot be opened";
    case jeNotJpeg:
      return "Not a JPEG file";
    case jeCorrupt:
      return "Corrupt JPEG data";
    case jeTruncated:
      return "The JPEG file is truncated";
    case jeUnsupported:
      return "Not supported by the JPEG codec";
    case jeOutOfMemory:
      return "Out of memory";
    case jeWriteFailed:
      return "The JPEG file cannot be written";
    case jeBadParameters:
      return "Invalid image parameters";
    case jeImperfect:
      return "Partial blocks in the way";
    default:
      return "Unknown JPEG codec error " + std::to_string(code);
  }
}

int ReadParams(const std::string& fileName, TJpegInfo& info, std::string& message) {
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  const int code = HeaderC(file, errors, info);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int ReadWholeImage(const std::string& fileName, uint8_t* buffer, uint32_t width, uint32_t height,
                   uint32_t channels, uint32_t padBytes, std::string& message) {
  if (!buffer || width == 0 || height == 0 || (channels != 1 && channels != 3))
    return Report(jeBadParameters, "", message);
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  const int code = DecodeC(file, errors, buffer, width, height, channels, stride);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int WriteWholeImage(const std::string& fileName, const uint8_t* buffer, uint32_t width,
                    uint32_t height, uint32_t channels, uint32_t padBytes, int quality,
                    std::string& message) {
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension)
    return Report(jeUnsupported,
                  "JPEG images hold 1 to " + std::to_string(kMaxDimension) +
                      " pixels a side, not " + std::to_string(width) + " x " +
                      std::to_string(height),
                  message);
  if (!buffer || (channels != 1 && channels != 3)) return Report(jeBadParameters, "", message);
  quality = std::clamp(quality, 1, 100);
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  return WriteBeside(
      fileName,
      [&](FILE* file) -> int {
        TErrorManager errors;
        const int code = EncodeC(file, errors, buffer, width, height, channels, stride, quality);
        return code == jeNone ? jeNone : ReportLibrary(errors, message);
      },
      message);
}

int CheckPlacement(const std::string& fileName, TBlockPlacement placement, std::string& message) {
  TSourceFile source;
  TTransformer transformer;
  TTransformSize size;
  return PrepareTransform(fileName, placement, source, transformer, size, message);
}

int PlaceFile(const std::string& sourceName, const std::string& target, TBlockPlacement placement,
              std::string& message) {
  TSourceFile source;
  TTransformer transformer;
  TTransformSize size;
  if (const int code = PrepareTransform(sourceName, placement, source, transformer, size, message))
    return code;
  // The worst case is reserved but only the pages written are touched.
  const unsigned long reserved = tjBufSize(size.Width, size.Height, size.Sampling);
  if (reserved == static_cast<unsigned long>(-1))
    return Report(jeUnsupported, tjGetErrorStr2(nullptr), message);
  struct TFree {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  using TBytes = std::unique_ptr<unsigned char, TFree>;
  const TBytes first(static_cast<unsigned char*>(std::malloc(reserved)));
  if (!first) return Report(jeOutOfMemory, "", message);
  unsigned char* output = first.get();
  unsigned long outputSize = reserved;
  tjtransform transform{};
  transform.op = TransformOperation(placement);
  transform.options = TJXOPT_PERFECT;
  const int failed = tjTransform(transformer.Handle.get(), source.Data, source.Size, 1, &output,
                                 &outputSize, &transform, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS);
  // The library grows the buffer by replacing it and leaves ours to us.
  const TBytes grown(output != first.get() ? output : nullptr);
  if (failed) return Report(jeCorrupt, tjGetErrorStr2(transformer.Handle.get()), message);
  return WriteBeside(
      target,
      [&](FILE* file) -> int {
        if (std::fwrite(output, 1, outputSize, file) == outputSize) return jeNone;
        return Report(jeWriteFailed, SystemErrorText(errno), message);
      },
      message);
}

}  // namespace mirava::jpeg
