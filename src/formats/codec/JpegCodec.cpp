#include "formats/codec/JpegCodec.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

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
    case JERR_INPUT_EMPTY: return jeNotJpeg;
    case JERR_INPUT_EOF:
    case JWRN_JPEG_EOF: return jeTruncated;
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE: return jeOutOfMemory;
    case JERR_FILE_WRITE: return jeWriteFailed;
    case JERR_IMAGE_TOO_BIG:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_BAD_IN_COLORSPACE: return jeUnsupported;
    default: return defaultCode;
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
  if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM ||
      code == JWRN_BOGUS_ICC)
    return;
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
  std::snprintf(errors->Message, sizeof errors->Message,
                "more than %d progressive scans", kMaxScans);
  errors->Code = jeCorrupt;
  std::longjmp(errors->Jump, 1);
}

// libjpeg's own working memory (coefficient buffers of progressive files)
// is kept within what the machine has.
void LimitMemory(j_common_ptr cinfo) {
  const uint64_t limit = PhysicalMemory() / 2;
  cinfo->mem->max_memory_to_use =
      static_cast<long>(std::min<uint64_t>(limit, LONG_MAX));
}

void SetMessage(TErrorManager& errors, int code, const char* text) {
  errors.Code = code;
  std::snprintf(errors.Message, sizeof errors.Message, "%s", text);
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
  info.Channels = static_cast<uint32_t>(cinfo.num_components);
  jpeg_destroy_decompress(&cinfo);
  return jeNone;
}

int DecodeC(FILE* file, TErrorManager& errors, uint8_t* buffer,
            uint32_t width, uint32_t height, uint32_t channels,
            uint64_t stride) {
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
      static_cast<uint32_t>(cinfo.num_components) != channels) {
    SetMessage(errors, jeBadParameters,
               "the file's size or channel count changed since it was read");
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  cinfo.out_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (static_cast<uint32_t>(cinfo.output_components) != channels) {
    SetMessage(errors, jeUnsupported, "the colour space cannot be converted");
    jpeg_destroy_decompress(&cinfo);
    return errors.Code;
  }
  JSAMPROW rows[16];
  while (cinfo.output_scanline < cinfo.output_height) {
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, height - first);
    for (JDIMENSION k = 0; k < count; ++k)
      rows[k] = buffer + (static_cast<uint64_t>(first) + k) * stride;
    jpeg_read_scanlines(&cinfo, rows, count);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return jeNone;
}

int EncodeC(FILE* file, TErrorManager& errors, const uint8_t* buffer,
            uint32_t width, uint32_t height, uint32_t channels,
            uint64_t stride, int quality) {
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
      rows[k] = const_cast<JSAMPROW>(
          buffer + (static_cast<uint64_t>(first) + k) * stride);
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

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case jeNone: return "No error";
    case jeOpenFailed: return "The file cannot be opened";
    case jeNotJpeg: return "Not a JPEG file";
    case jeCorrupt: return "Corrupt JPEG data";
    case jeTruncated: return "The JPEG file is truncated";
    case jeUnsupported: return "Not supported by the JPEG codec";
    case jeOutOfMemory: return "Out of memory";
    case jeWriteFailed: return "The JPEG file cannot be written";
    case jeBadParameters: return "Invalid image parameters";
    default: return "Unknown JPEG codec error " + std::to_string(code);
  }
}

int ReadParams(const std::string& fileName, TJpegInfo& info,
               std::string& message) {
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  const int code = HeaderC(file, errors, info);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int ReadWholeImage(const std::string& fileName, uint8_t* buffer,
                   uint32_t width, uint32_t height, uint32_t channels,
                   uint32_t padBytes, std::string& message) {
  if (!buffer || width == 0 || height == 0 || (channels != 1 && channels != 3))
    return Report(jeBadParameters, "", message);
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  const int code =
      DecodeC(file, errors, buffer, width, height, channels, stride);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int WriteWholeImage(const std::string& fileName, const uint8_t* buffer,
                    uint32_t width, uint32_t height, uint32_t channels,
                    uint32_t padBytes, int quality, std::string& message) {
  if (width == 0 || height == 0 || width > kMaxDimension ||
      height > kMaxDimension)
    return Report(jeUnsupported,
                  "JPEG images hold 1 to " + std::to_string(kMaxDimension) +
                      " pixels a side, not " + std::to_string(width) + " x " +
                      std::to_string(height),
                  message);
  if (!buffer || (channels != 1 && channels != 3))
    return Report(jeBadParameters, "", message);
  quality = std::clamp(quality, 1, 100);
  // Written beside the target and renamed over it once complete, so that
  // a failure never leaves a truncated image under the target's name.
  const std::string partName = fileName + ".part";
  const int fd = ::open(partName.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Report(jeOpenFailed, SystemErrorText(errno), message);
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    ::unlink(partName.c_str());
    return Report(jeOpenFailed, SystemErrorText(error), message);
  }
  TErrorManager errors;
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  int code =
      EncodeC(file, errors, buffer, width, height, channels, stride, quality);
  std::string cause;
  if (code != jeNone) {
    ReportLibrary(errors, message);
    std::fclose(file);
    ::unlink(partName.c_str());
    return code;
  }
  if (std::fflush(file) != 0 || std::ferror(file)) {
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
    return Report(code, cause, message);
  }
  message.clear();
  return jeNone;
}

}  // namespace mirava::jpeg
