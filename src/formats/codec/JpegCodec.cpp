#include "formats/codec/JpegCodec.h"

#include <fcntl.h>
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
#include "dataset/MemoryBudget.h"
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
  const std::atomic<bool>* Stop = nullptr;  // heeded by Monitor
  uint64_t MemoryLimit = 0;                 // the job's (JobMemory)
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
    case JERR_BAD_PRECISION:
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

// Called before each row of blocks is read, and written when a file is
// placed: a stop asked for ends the work, and a progressive file's scans
// are limited.
void Monitor(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<TErrorManager*>(cinfo->err);
  if (errors->Stop && *errors->Stop) {
    errors->Code = jeStopped;
    errors->Message[0] = '\0';
    std::longjmp(errors->Jump, 1);
  }
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number <= kMaxScans) return;
  std::snprintf(errors->Message, sizeof errors->Message, "more than %d progressive scans",
                kMaxScans);
  errors->Code = jeCorrupt;
  std::longjmp(errors->Jump, 1);
}

// libjpeg's own working memory (coefficient buffers of progressive files)
// is kept within what the job may use.
void LimitMemory(j_common_ptr cinfo) {
  const uint64_t limit =
      JobMemory(reinterpret_cast<const TErrorManager*>(cinfo->err)->MemoryLimit) / 2;
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
  progress.progress_monitor = Monitor;
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
            uint32_t height, uint32_t channels, uint64_t stride, int quality,
            TChromaSampling sampling, const std::atomic<bool>* stop) {
  jpeg_compress_struct cinfo;
  jpeg_progress_mgr progress;
  cinfo.err = InitErrors(errors, jeWriteFailed);
  errors.Stop = stop;
  if (setjmp(errors.Jump)) {
    jpeg_destroy_compress(&cinfo);
    return errors.Code;
  }
  jpeg_create_compress(&cinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&cinfo));
  progress.progress_monitor = Monitor;
  cinfo.progress = &progress;
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = static_cast<int>(channels);
  cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  // Chroma at full resolution unless asked otherwise: a map's thin
  // coloured lines survive.
  for (int i = 0; i < cinfo.num_components; ++i) {
    cinfo.comp_info[i].h_samp_factor = 1;
    cinfo.comp_info[i].v_samp_factor = 1;
  }
  if (cinfo.num_components == 3) {
    cinfo.comp_info[0].h_samp_factor = sampling == TChromaSampling::Full ? 1 : 2;
    cinfo.comp_info[0].v_samp_factor = sampling == TChromaSampling::Quarter ? 2 : 1;
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
// `message` set); what a failure left is not kept.
template <typename TWrite>
int WriteOutputFile(const std::string& fileName, TFileMaker& files, TWrite write,
                    std::string& message) {
  const int fd = files.Create(fileName, O_WRONLY);
  if (fd < 0) return Report(jeOpenFailed, SystemErrorText(errno), message);
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    files.Discard(fileName);
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
  if (code != jeNone) {
    files.Discard(fileName);
    if (!cause.empty()) Report(code, cause, message);
    return code;
  }
  message.clear();
  return jeNone;
}

// The block grid a placement works on, from a file's header.
struct TBlockGrid {
  uint32_t Width = 0;
  uint32_t Height = 0;
  int McuWidth = DCTSIZE;
  int McuHeight = DCTSIZE;
  // Every component's blocks as the decoder holds them, two bytes a
  // coefficient.
  uint64_t CoefficientBytes = 0;
};

TBlockGrid GridOf(const jpeg_decompress_struct& cinfo) {
  TBlockGrid grid;
  grid.Width = cinfo.image_width;
  grid.Height = cinfo.image_height;
  // A single component is coded in blocks, whatever its sampling factors.
  if (cinfo.num_components > 1) {
    grid.McuWidth = cinfo.max_h_samp_factor * DCTSIZE;
    grid.McuHeight = cinfo.max_v_samp_factor * DCTSIZE;
  }
  for (int ci = 0; ci < cinfo.num_components; ++ci) {
    const jpeg_component_info& c = cinfo.comp_info[ci];
    const uint64_t columns =
        (uint64_t(c.width_in_blocks) + c.h_samp_factor - 1) / c.h_samp_factor * c.h_samp_factor;
    const uint64_t rows =
        (uint64_t(c.height_in_blocks) + c.v_samp_factor - 1) / c.v_samp_factor * c.v_samp_factor;
    grid.CoefficientBytes += columns * rows * DCTSIZE2 * sizeof(JCOEF);
  }
  return grid;
}

// Where partial blocks would have to go, or nothing when the placement
// leaves every partial block at the right or bottom edge.
std::string MisplacedEdges(TPlacement placement, bool partialRight, bool partialBottom) {
  const bool right = partialRight && ReversesColumns(placement);
  const bool bottom = partialBottom && ReversesRows(placement);
  std::string text;
  if (right) text = "the right edge to the " + std::string(Turns(placement) ? "top" : "left");
  if (bottom)
    text += (right ? " and the bottom edge to the " : "the bottom edge to the ") +
            std::string(Turns(placement) ? "left" : "top");
  return text;
}

// What the coefficients cannot be placed exactly or would not fit the
// job's memory: the number with its cause in `errors`, else 0.
int RefusePlacement(const TBlockGrid& grid, TPlacement placement, TErrorManager& errors) {
  const std::string edges =
      MisplacedEdges(placement, grid.Width % grid.McuWidth != 0, grid.Height % grid.McuHeight != 0);
  std::string cause;
  int code = jeNone;
  if (!edges.empty()) {
    code = jeImperfect;
    cause = std::to_string(grid.Width) + " x " + std::to_string(grid.Height) + " pixels in " +
            std::to_string(grid.McuWidth) + " x " + std::to_string(grid.McuHeight) +
            " blocks; the placement would move the partial ones from " + edges;
  } else if (!HeldInMemory(grid.CoefficientBytes, JobMemory(errors.MemoryLimit))) {
    code = jeOutOfMemory;
    cause = "its coefficients need " + std::to_string(grid.CoefficientBytes) + " bytes";
  }
  if (code != jeNone) SetMessage(errors, code, cause.c_str());
  return code;
}

// One read of the header for the size and channels (`info`) and for the
// block grid (`grid`), whichever are asked for.
int HeaderC(FILE* file, TErrorManager& errors, TJpegInfo* info, TBlockGrid* grid) {
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
  if (info) {
    info->Width = cinfo.image_width;
    info->Height = cinfo.image_height;
    info->Channels = DecodedChannels(cinfo);
  }
  if (grid) *grid = GridOf(cinfo);
  jpeg_destroy_decompress(&cinfo);
  return jeNone;
}

// A file of one sequential scan whose rows keep their order (kinds 0 and
// 1) is decoded as the encoder asks for its rows, into a ring of a few
// rows of blocks: its whole image of coefficients is never held. The
// decoder is held back once it has done the row the encoder reads, by
// hiding the bytes it has not read yet, and resumes where libjpeg's
// suspension left it when the encoder wants the next row.
constexpr size_t kStreamBufferBytes = 16384;

struct TRowStream {
  jpeg_source_mgr Pub;  // first, so that libjpeg's source pointer is ours too
  FILE* File = nullptr;
  size_t Hidden = 0;  // bytes kept from the decoder while it is held back
  bool Holding = false;
  bool Done = false;                        // the decoder reached the end of the image
  JDIMENSION Wanted = 0;                    // the row of MCUs the encoder reads
  JDIMENSION RingRows = 0;                  // rows of MCUs the ring holds
  JDIMENSION Started[MAX_COMPONENTS] = {};  // rows of MCUs handed out to be decoded
  JDIMENSION RowWidth[MAX_COMPONENTS] = {};
  JBLOCKARRAY Ring[MAX_COMPONENTS] = {};
  jvirt_barray_ptr Blocks[MAX_COMPONENTS] = {};
  int Requested = 0;  // arrays the decoder asked for, one a component
  jvirt_barray_ptr (*DecoderRequest)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION,
                                     JDIMENSION) = nullptr;
  JBLOCKARRAY(*DecoderAccess)
  (j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean) = nullptr;
  JOCTET Buffer[kStreamBufferBytes];
};

TRowStream& StreamOf(j_decompress_ptr cinfo) { return *reinterpret_cast<TRowStream*>(cinfo->src); }

void ReadMore(j_decompress_ptr cinfo) {
  TRowStream& s = StreamOf(cinfo);
  size_t count = std::fread(s.Buffer, 1, sizeof s.Buffer, s.File);
  if (count == 0) {
    if (std::ferror(s.File)) ERREXIT(cinfo, JERR_FILE_READ);
    // As libjpeg's own source does: a warning, then an end of image.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    s.Buffer[0] = 0xFF;
    s.Buffer[1] = JPEG_EOI;
    count = 2;
  }
  s.Pub.next_input_byte = s.Buffer;
  s.Pub.bytes_in_buffer = count;
}

// Suspends the decoder while it is held back (libjpeg then resumes from
// the last whole MCU it decoded).
boolean FillStream(j_decompress_ptr cinfo) {
  if (StreamOf(cinfo).Holding) return FALSE;
  ReadMore(cinfo);
  return TRUE;
}

// Gives the decoder back the bytes hidden from it.
void Reveal(TRowStream& s) {
  if (!s.Holding) return;
  s.Pub.bytes_in_buffer = s.Hidden;
  s.Holding = false;
}

// Markers are skipped only between whole MCUs, so the bytes skipped are
// never needed again.
void SkipStream(j_decompress_ptr cinfo, long count) {
  Reveal(StreamOf(cinfo));
  jpeg_source_mgr& src = StreamOf(cinfo).Pub;
  if (count <= 0) return;
  while (static_cast<size_t>(count) > src.bytes_in_buffer) {
    count -= static_cast<long>(src.bytes_in_buffer);
    ReadMore(cinfo);
  }
  src.next_input_byte += count;
  src.bytes_in_buffer -= static_cast<size_t>(count);
}

void NoSourceWork(j_decompress_ptr) {}

// Between rows of MCUs, where the decoder has kept everything it decoded:
// once it has done the row the encoder wants, what it has not read is
// hidden, so that it suspends at the next byte it needs.
void StreamMonitor(j_common_ptr common) {
  Monitor(common);
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  TRowStream& s = StreamOf(cinfo);
  if (s.Holding || cinfo->input_iMCU_row <= s.Wanted) return;
  s.Holding = true;
  s.Hidden = s.Pub.bytes_in_buffer;
  s.Pub.bytes_in_buffer = 0;
}

// The decoder's coefficient arrays, one a component, are recorded so that
// their rows can be given from the ring.
jvirt_barray_ptr RequestStreamed(j_common_ptr common, int pool, boolean zero, JDIMENSION width,
                                 JDIMENSION height, JDIMENSION access) {
  TRowStream& s = StreamOf(reinterpret_cast<j_decompress_ptr>(common));
  jvirt_barray_ptr blocks = s.DecoderRequest(common, pool, zero, width, height, access);
  if (s.Requested == MAX_COMPONENTS) ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);
  s.RowWidth[s.Requested] = width;
  s.Blocks[s.Requested++] = blocks;
  return blocks;
}

// Rows of a component's blocks from the ring; a row of MCUs handed out to
// be decoded is zeroed first (libjpeg writes only the coefficients that are
// not zero), once, as a suspended row is handed out again when it resumes.
JBLOCKARRAY StreamedRows(j_common_ptr common, jvirt_barray_ptr blocks, JDIMENSION first,
                         JDIMENSION count, boolean writable) {
  auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  TRowStream& s = StreamOf(cinfo);
  int ci = 0;
  while (ci < s.Requested && s.Blocks[ci] != blocks) ++ci;
  if (ci == s.Requested) return s.DecoderAccess(common, blocks, first, count, writable);
  const JDIMENSION v = static_cast<JDIMENSION>(cinfo->comp_info[ci].v_samp_factor);
  if (!s.Ring[ci])
    s.Ring[ci] = cinfo->mem->alloc_barray(common, JPOOL_IMAGE, s.RowWidth[ci], s.RingRows * v);
  const JDIMENSION row = first / v;
  // A row outside the ring is a fault of ours, reported, never mixed in.
  if (count == 0 || (first + count - 1) / v != row || row >= s.Wanted + s.RingRows ||
      row + s.RingRows < s.Started[ci] || (!writable && row + 1 > s.Started[ci]))
    ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
  JBLOCKARRAY rows = s.Ring[ci] + (row % s.RingRows) * v;
  if (writable && row >= s.Started[ci]) {
    for (JDIMENSION k = 0; k < v; ++k) std::memset(rows[k], 0, s.RowWidth[ci] * sizeof(JBLOCK));
    s.Started[ci] = row + 1;
  }
  return rows + (first - row * v);
}

// Decodes on until the row of MCUs `row` is done (past the last, to the
// end of the file).
void ReadRows(j_decompress_ptr cinfo, JDIMENSION row) {
  TRowStream& s = StreamOf(cinfo);
  s.Wanted = row;
  while (!s.Done && cinfo->input_iMCU_row <= row) {
    Reveal(s);
    if (jpeg_read_coefficients(cinfo)) s.Done = true;
  }
}

// Arithmetic decoding cannot be suspended.
bool Streams(j_decompress_ptr cinfo, TPlacement kind) {
  return !Turns(kind) && !ReversesRows(kind) && !jpeg_has_multiple_scans(cinfo) &&
         !cinfo->arith_code;
}

// Takes over the decoder's input after its header, with the bytes its
// reader had buffered past it, and its coefficient rows. Returns the
// arrays the encoder is given, after the first row of MCUs is decoded.
jvirt_barray_ptr* StartStream(j_decompress_ptr cinfo, TRowStream& s, FILE* file) {
  s.File = file;
  s.Pub.init_source = NoSourceWork;
  s.Pub.fill_input_buffer = FillStream;
  s.Pub.skip_input_data = SkipStream;
  s.Pub.resync_to_restart = jpeg_resync_to_restart;
  s.Pub.term_source = NoSourceWork;
  if (cinfo->src->bytes_in_buffer > sizeof s.Buffer) ERREXIT(cinfo, JERR_BUFFER_SIZE);
  std::memcpy(s.Buffer, cinfo->src->next_input_byte, cinfo->src->bytes_in_buffer);
  s.Pub.next_input_byte = s.Buffer;
  s.Pub.bytes_in_buffer = cinfo->src->bytes_in_buffer;
  cinfo->src = &s.Pub;
  // Blocks a row of MCUs codes at least (two bits each), and so the rows
  // the decoder can still finish on the bits it holds when held back.
  uint64_t blocks = 0;
  for (int ci = 0; ci < cinfo->num_components; ++ci)
    blocks += uint64_t(cinfo->comp_info[ci].width_in_blocks) * cinfo->comp_info[ci].v_samp_factor;
  s.RingRows = static_cast<JDIMENSION>(
      std::min<uint64_t>(cinfo->total_iMCU_rows, 3 + 32 / std::max<uint64_t>(blocks, 1)));
  s.DecoderRequest = cinfo->mem->request_virt_barray;
  cinfo->mem->request_virt_barray = RequestStreamed;
  s.DecoderAccess = cinfo->mem->access_virt_barray;
  cinfo->mem->access_virt_barray = StreamedRows;
  cinfo->progress->progress_monitor = StreamMonitor;
  ReadRows(cinfo, 0);
  if (s.Requested != cinfo->num_components) ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
  return s.Blocks;
}

// The encoder asks for the placed file's blocks a row of blocks at a time;
// they are made then from the source's coefficients, so that no second
// copy of the image is held, whatever the placement.
struct TPlacing {
  TPlacement Kind = TPlacement::None;
  j_decompress_ptr Source = nullptr;
  bool Streamed = false;  // the source is read as its rows are wanted
  jvirt_barray_ptr* SourceBlocks = nullptr;
  JBLOCKARRAY Rows[MAX_COMPONENTS] = {};
  JDIMENSION RowWidth[MAX_COMPONENTS] = {};
  JBLOCKARRAY(*EncoderAccess)
  (j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean) = nullptr;
};

// A block's coefficients placed: mirroring negates the odd frequencies
// across the mirror, a quarter turn transposes the block first.
void PlaceBlock(const JCOEF* in, JCOEF* out, TPlacement kind) {
  // A transposed block's rows are the source's columns.
  const bool transpose = Turns(kind);
  const int oddRows = transpose ? ReversesColumns(kind) : ReversesRows(kind);
  const int oddColumns = transpose ? ReversesRows(kind) : ReversesColumns(kind);
  for (int i = 0; i < DCTSIZE; ++i)
    for (int j = 0; j < DCTSIZE; ++j) {
      const JCOEF v = transpose ? in[j * DCTSIZE + i] : in[i * DCTSIZE + j];
      out[i * DCTSIZE + j] = ((i & oddRows) ^ (j & oddColumns)) ? static_cast<JCOEF>(-v) : v;
    }
}

// Where the placed block (row, column) of a component `width` x `height`
// blocks large comes from.
void SourceBlock(TPlacement kind, JDIMENSION row, JDIMENSION column, JDIMENSION width,
                 JDIMENSION height, JDIMENSION& sourceRow, JDIMENSION& sourceColumn) {
  using P = TPlacement;
  sourceRow = row;
  sourceColumn = column;
  switch (kind) {
    case P::MirrorHorizontal:
      sourceColumn = width - 1 - column;
      break;
    case P::MirrorVertical:
      sourceRow = height - 1 - row;
      break;
    case P::Rotate180:
      sourceRow = height - 1 - row;
      sourceColumn = width - 1 - column;
      break;
    case P::Rotate90CW:
      sourceRow = width - 1 - column;
      sourceColumn = row;
      break;
    case P::Rotate90CCW:
      sourceRow = column;
      sourceColumn = height - 1 - row;
      break;
    case P::None:
      break;
  }
}

JBLOCKARRAY PlacedRows(j_common_ptr common, jvirt_barray_ptr blocks, JDIMENSION first,
                       JDIMENSION count, boolean writable) {
  auto* cinfo = reinterpret_cast<j_compress_ptr>(common);
  auto* placement = static_cast<TPlacing*>(common->client_data);
  int ci = 0;
  while (ci < cinfo->num_components && placement->SourceBlocks[ci] != blocks) ++ci;
  if (ci == cinfo->num_components || writable)
    return placement->EncoderAccess(common, blocks, first, count, writable);
  auto* source = reinterpret_cast<j_common_ptr>(placement->Source);
  if (placement->Streamed)
    ReadRows(placement->Source,
             first / static_cast<JDIMENSION>(cinfo->comp_info[ci].v_samp_factor));
  auto sourceRow = [&](JDIMENSION row) {
    return placement->Source->mem->access_virt_barray(source, blocks, row, 1, FALSE)[0];
  };
  if (placement->Kind == TPlacement::None)
    return placement->Source->mem->access_virt_barray(source, blocks, first, count, FALSE);
  const jpeg_component_info& c = cinfo->comp_info[ci];
  if (!placement->Rows[ci]) {
    placement->RowWidth[ci] =
        (c.width_in_blocks + c.h_samp_factor - 1) / c.h_samp_factor * c.h_samp_factor;
    placement->Rows[ci] = cinfo->mem->alloc_barray(common, JPOOL_IMAGE, placement->RowWidth[ci],
                                                   static_cast<JDIMENSION>(c.v_samp_factor));
  }
  if (count > static_cast<JDIMENSION>(c.v_samp_factor)) ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
  JBLOCKARRAY rows = placement->Rows[ci];
  for (JDIMENSION k = 0; k < count; ++k) {
    std::memset(rows[k], 0, placement->RowWidth[ci] * sizeof(JBLOCK));
    // Rows past the image's last complete its last row of MCUs; the
    // encoder does not read them.
    if (first + k >= c.height_in_blocks) continue;
    for (JDIMENSION column = 0; column < c.width_in_blocks; ++column) {
      JDIMENSION r = 0, s = 0;
      SourceBlock(placement->Kind, first + k, column, c.width_in_blocks, c.height_in_blocks, r, s);
      PlaceBlock(sourceRow(r)[s], rows[k][column], placement->Kind);
    }
  }
  return rows;
}

// A quarter turn swaps the image's sides, each component's sampling
// factors and the quantization tables' frequencies.
void TransposeParameters(jpeg_compress_struct& cinfo) {
  std::swap(cinfo.image_width, cinfo.image_height);
  for (int ci = 0; ci < cinfo.num_components; ++ci)
    std::swap(cinfo.comp_info[ci].h_samp_factor, cinfo.comp_info[ci].v_samp_factor);
  for (JQUANT_TBL* table : cinfo.quant_tbl_ptrs) {
    if (!table) continue;
    for (int i = 0; i < DCTSIZE; ++i)
      for (int j = 0; j < i; ++j)
        std::swap(table->quantval[i * DCTSIZE + j], table->quantval[j * DCTSIZE + i]);
  }
}

bool StartsWith(const jpeg_saved_marker_ptr marker, const char* id, unsigned length) {
  return marker->data_length >= length && std::memcmp(marker->data, id, length) == 0;
}

bool IsExif(const jpeg_saved_marker_ptr marker) {
  return marker->marker == JPEG_APP0 + 1 && StartsWith(marker, "Exif\0", 6);
}

// The pixel width and height an EXIF segment states (tags A002 and A003 of
// its EXIF directory), set to the placed image's; entries that are not
// where the segment's offsets say are left as they are.
void SetExifSize(jpeg_saved_marker_ptr exif, uint32_t width, uint32_t height) {
  JOCTET* tiff = exif->data + 6;
  const uint64_t size = exif->data_length - 6;
  if (size < 8 || (tiff[0] != 'I' && tiff[0] != 'M') || tiff[1] != tiff[0]) return;
  const bool little = tiff[0] == 'I';
  auto get = [&](uint64_t at, int bytes) -> uint32_t {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
      v |= uint32_t(tiff[at + (little ? i : bytes - 1 - i)]) << (8 * i);
    return v;
  };
  auto put = [&](uint64_t at, int bytes, uint32_t v) {
    for (int i = 0; i < bytes; ++i) tiff[at + (little ? i : bytes - 1 - i)] = JOCTET(v >> (8 * i));
  };
  // The entry of `tag` in the directory at `directory`, or 0.
  auto entry = [&](uint64_t directory, uint32_t tag) -> uint64_t {
    if (directory + 2 > size) return 0;
    const uint64_t count = get(directory, 2);
    for (uint64_t e = directory + 2; e + 12 <= size && e < directory + 2 + count * 12; e += 12)
      if (get(e, 2) == tag) return e;
    return 0;
  };
  const uint64_t exifPointer = entry(get(4, 4), 0x8769);
  if (exifPointer == 0) return;
  const uint64_t exifDirectory = get(exifPointer + 8, 4);
  for (const auto& [tag, value] : {std::pair{0xA002u, width}, std::pair{0xA003u, height}}) {
    const uint64_t e = entry(exifDirectory, tag);
    if (e == 0 || get(e + 4, 4) != 1) continue;
    // SHORT or LONG, written as LONG (as jpegtran writes them).
    const uint32_t type = get(e + 2, 2);
    if (type != 3 && type != 4) continue;
    put(e + 2, 2, 4);
    put(e + 8, 4, value);
  }
}

// Every APPn and comment segment of the source, in its order, but the JFIF
// and Adobe segments the encoder writes itself.
void CopyMarkers(j_decompress_ptr source, j_compress_ptr target) {
  for (jpeg_saved_marker_ptr m = source->marker_list; m; m = m->next) {
    if (target->write_JFIF_header && m->marker == JPEG_APP0 && StartsWith(m, "JFIF", 5)) continue;
    if (target->write_Adobe_marker && m->marker == JPEG_APP0 + 14 && StartsWith(m, "Adobe", 5))
      continue;
    jpeg_write_marker(target, m->marker, m->data, m->data_length);
  }
}

// Reads the source's coefficients and writes them placed into `out`, as
// a baseline file with the standard Huffman tables, as jpegtran does.
int PlaceC(FILE* in, FILE* out, TErrorManager& errors, TPlacement kind) {
  jpeg_decompress_struct dinfo{};
  jpeg_compress_struct cinfo{};
  jpeg_progress_mgr progress{}, writing{};
  TPlacing placement;
  TRowStream stream;
  dinfo.err = InitErrors(errors, jeCorrupt);
  cinfo.err = &errors.Pub;
  if (setjmp(errors.Jump)) {
    jpeg_destroy_compress(&cinfo);
    jpeg_destroy_decompress(&dinfo);
    return errors.Code;
  }
  jpeg_create_decompress(&dinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&dinfo));
  progress.progress_monitor = Monitor;
  dinfo.progress = &progress;
  jpeg_stdio_src(&dinfo, in);
  jpeg_save_markers(&dinfo, JPEG_COM, 0xFFFF);
  for (int n = 0; n < 16; ++n) jpeg_save_markers(&dinfo, JPEG_APP0 + n, 0xFFFF);
  jpeg_read_header(&dinfo, TRUE);
  if (const int code = RefusePlacement(GridOf(dinfo), kind, errors)) {
    jpeg_destroy_decompress(&dinfo);
    return code;
  }
  placement.Kind = kind;
  placement.Source = &dinfo;
  placement.Streamed = Streams(&dinfo, kind);
  placement.SourceBlocks =
      placement.Streamed ? StartStream(&dinfo, stream, in) : jpeg_read_coefficients(&dinfo);

  jpeg_create_compress(&cinfo);
  LimitMemory(reinterpret_cast<j_common_ptr>(&cinfo));
  writing.progress_monitor = Monitor;
  cinfo.progress = &writing;
  jpeg_stdio_dest(&cinfo, out);
  jpeg_copy_critical_parameters(&dinfo, &cinfo);
  if (Turns(kind)) TransposeParameters(cinfo);
  // An EXIF file stays one: its EXIF segment first, no JFIF segment.
  if (dinfo.marker_list && IsExif(dinfo.marker_list)) {
    cinfo.write_JFIF_header = FALSE;
    if (Turns(kind)) SetExifSize(dinfo.marker_list, cinfo.image_width, cinfo.image_height);
  }
  cinfo.client_data = &placement;
  placement.EncoderAccess = cinfo.mem->access_virt_barray;
  cinfo.mem->access_virt_barray = PlacedRows;
  jpeg_write_coefficients(&cinfo, placement.SourceBlocks);
  CopyMarkers(&dinfo, &cinfo);
  jpeg_finish_compress(&cinfo);
  // What follows the last row is read too: a truncated or corrupt end is
  // refused, as when the file is read whole.
  if (placement.Streamed) ReadRows(&dinfo, dinfo.total_iMCU_rows);
  jpeg_finish_decompress(&dinfo);
  jpeg_destroy_compress(&cinfo);
  jpeg_destroy_decompress(&dinfo);
  return jeNone;
}

struct TCloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};
using TFile = std::unique_ptr<FILE, TCloseFile>;

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
    case jeStopped:
      return "Encoding stopped";
    default:
      return "Unknown JPEG codec error " + std::to_string(code);
  }
}

int ReadParams(const std::string& fileName, TJpegInfo& info, std::string& message,
               uint64_t memoryLimit) {
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  errors.MemoryLimit = memoryLimit;
  const int code = HeaderC(file, errors, &info, nullptr);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int ReadWholeImage(const std::string& fileName, uint8_t* buffer, uint32_t width, uint32_t height,
                   uint32_t channels, uint32_t padBytes, std::string& message,
                   uint64_t memoryLimit) {
  if (!buffer || width == 0 || height == 0 || (channels != 1 && channels != 3))
    return Report(jeBadParameters, "", message);
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  errors.MemoryLimit = memoryLimit;
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  const int code = DecodeC(file, errors, buffer, width, height, channels, stride);
  std::fclose(file);
  if (code != jeNone) return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int WriteWholeImage(const std::string& fileName, TFileMaker& files, const uint8_t* buffer,
                    uint32_t width, uint32_t height, uint32_t channels, uint32_t padBytes,
                    int quality, TChromaSampling sampling, std::string& message,
                    const std::atomic<bool>* stop, uint64_t memoryLimit) {
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension)
    return Report(jeUnsupported,
                  "JPEG images hold 1 to " + std::to_string(kMaxDimension) +
                      " pixels a side, not " + std::to_string(width) + " x " +
                      std::to_string(height),
                  message);
  if (!buffer || (channels != 1 && channels != 3)) return Report(jeBadParameters, "", message);
  quality = std::clamp(quality, 1, 100);
  const uint64_t stride = static_cast<uint64_t>(width) * channels + padBytes;
  return WriteOutputFile(
      fileName, files,
      [&](FILE* file) -> int {
        TErrorManager errors;
        errors.MemoryLimit = memoryLimit;
        const int code =
            EncodeC(file, errors, buffer, width, height, channels, stride, quality, sampling, stop);
        return code == jeNone ? jeNone : ReportLibrary(errors, message);
      },
      message);
}

int CheckPlacement(const std::string& fileName, TPlacement placement, std::string& message,
                   uint64_t memoryLimit) {
  const TFile file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return Report(jeOpenFailed, SystemErrorText(errno), message);
  TErrorManager errors;
  errors.MemoryLimit = memoryLimit;
  TBlockGrid grid;
  if (HeaderC(file.get(), errors, nullptr, &grid) != jeNone ||
      RefusePlacement(grid, placement, errors))
    return ReportLibrary(errors, message);
  message.clear();
  return jeNone;
}

int PlaceFile(const std::string& source, const std::string& target, TFileMaker& files,
              TPlacement placement, std::string& message, const std::atomic<bool>* stop,
              uint64_t memoryLimit) {
  const TFile in(std::fopen(source.c_str(), "rb"));
  if (!in) return Report(jeOpenFailed, SystemErrorText(errno), message);
  return WriteOutputFile(
      target, files,
      [&](FILE* out) -> int {
        TErrorManager errors;
        errors.Stop = stop;
        errors.MemoryLimit = memoryLimit;
        const int code = PlaceC(in.get(), out, errors, placement);
        return code == jeNone ? jeNone : ReportLibrary(errors, message);
      },
      message);
}

}  // namespace mirava::jpeg
