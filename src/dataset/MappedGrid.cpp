#include "dataset/MappedGrid.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/BackgroundWriter.h"
#include "dataset/ByteOrder.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// The views mapped now, for the SIGBUS handler: it may neither allocate
// nor lock, so a fixed table of atomics. A view that finds no free slot
// goes unwatched (a cut file then ends the process, as with no handler).
struct TWatchedView {
  std::atomic<uintptr_t> Begin{0};
  std::atomic<uintptr_t> End{0};
  std::atomic<std::atomic<bool>*> Cut{nullptr};
};
TWatchedView WatchedViews[64];
struct sigaction FormerBusHandler;
uintptr_t PageSize = 4096;
__attribute__((tls_model("initial-exec"))) thread_local bool ThreadSawCut = false;

void OnBusError(int signal, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (TWatchedView& view : WatchedViews) {
    const uintptr_t begin = view.Begin.load(std::memory_order_acquire);
    const uintptr_t end = view.End.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= end) continue;
    // The file ends before this page now, so it ends before the rest of
    // the view too.
    const uintptr_t page = address & ~(PageSize - 1);
    if (mmap(reinterpret_cast<void*>(page), end - page, PROT_READ | PROT_WRITE,
             MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED)
      break;
    if (std::atomic<bool>* cut = view.Cut.load(std::memory_order_acquire)) cut->store(true);
    ThreadSawCut = true;
    return;
  }
  // Not a view of ours: what would have happened without this handler.
  if (FormerBusHandler.sa_flags & SA_SIGINFO) {
    FormerBusHandler.sa_sigaction(signal, info, context);
    return;
  }
  sigaction(SIGBUS, &FormerBusHandler, nullptr);
}

void WatchBusErrors() {
  static const bool installed = [] {
    PageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &FormerBusHandler) == 0;
  }();
  (void)installed;
}

void Watch(uint8_t* base, uint64_t size, std::atomic<bool>* cut) {
  WatchBusErrors();
  for (TWatchedView& view : WatchedViews) {
    std::atomic<bool>* none = nullptr;
    if (!view.Cut.compare_exchange_strong(none, cut)) continue;
    view.End.store(reinterpret_cast<uintptr_t>(base) + size, std::memory_order_release);
    view.Begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    return;
  }
}

void Unwatch(const uint8_t* base) {
  for (TWatchedView& view : WatchedViews)
    if (view.Begin.load(std::memory_order_acquire) == reinterpret_cast<uintptr_t>(base)) {
      view.Begin.store(0, std::memory_order_release);
      view.End.store(0, std::memory_order_release);
      view.Cut.store(nullptr, std::memory_order_release);
      return;
    }
}

}  // namespace

bool TakeMappedFileCut() {
  const bool cut = ThreadSawCut;
  ThreadSawCut = false;
  return cut;
}

TMappedFile::~TMappedFile() { CloseMapping(); }

bool TMappedFile::Unmap() {
  bool ok = true;
  if (ViewBase) Unwatch(ViewBase);
  if (ViewBase && munmap(ViewBase, WindowSize) != 0) {
    Record->FailSystem(errno);
    ok = false;
  }
  ViewBase = nullptr;
  DataPointer = nullptr;
  FirstMappedRow = 0;
  EndMappedRow = -1;
  return ok;
}

bool TMappedFile::WritesDone() {
  const int code = Writer ? Writer->Wait() : 0;
  if (code) Record->FailSystem(code);
  return code == 0;
}

bool TMappedFile::FlushStage(bool background) {
  const uint64_t length = StageLength;
  StageLength = 0;
  int code;
  if (background) {
    if (!Writer) Writer = std::make_unique<TBackgroundWriter>();
    code = Writer->Start(Fd, Stage.data(), length, StagePosition);
    // The stage just handed over is written from Spare from now on.
    std::swap(Stage, Spare);
  } else {
    code = WritesDone() ? WriteAllAt(Fd, Stage.data(), length, StagePosition)
                        : (Error().SystemError ? Error().SystemError : EIO);
  }
  if (code) Record->FailSystem(code);
  return code == 0;
}

bool TMappedFile::FlushWrites() { return (!StageLength || FlushStage(false)) && WritesDone(); }

uint8_t* TMappedFile::BlockRange(uint64_t position, uint64_t length) {
  if (OpenMode != omCreate || length > kMaxStagedBytes) return MapRange(position, length);
  if (StageLength && StagePosition == position && StageLength == length) return Stage.data();
  if (!RangeInFile(position, length)) return nullptr;
  if (StageLength && !FlushStage(true)) return nullptr;
  if (Stage.size() < length) Stage.resize(length);
  StagePosition = position;
  StageLength = length;
  return Stage.data();
}

bool TMappedFile::WriteRows(uint64_t position, const uint8_t* const* rows, uint32_t count,
                            uint64_t rowLength) {
  if (OpenMode == omRead || count == 0 || !RangeInFile(position, uint64_t{count} * rowLength))
    return false;
  if (!FlushWrites()) return false;
  constexpr uint32_t kParts = 64;
  iovec parts[kParts];
  uint32_t next = 0;  // first row not yet handed to pwritev
  uint64_t skip = 0;  // bytes of that row already written
  while (next < count) {
    // At most kMaxWriteBytes a call; the last part may end inside a row.
    uint32_t n = 0;
    for (uint64_t bytes = 0; n < kParts && next + n < count && bytes < kMaxWriteBytes; ++n) {
      const uint64_t from = n == 0 ? skip : 0;
      parts[n].iov_base = const_cast<uint8_t*>(rows[next + n] + from);
      parts[n].iov_len = static_cast<size_t>(std::min(rowLength - from, kMaxWriteBytes - bytes));
      bytes += parts[n].iov_len;
    }
    const ssize_t written = pwritev(Fd, parts, static_cast<int>(n),
                                    static_cast<off_t>(position + next * rowLength + skip));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int code = written < 0 ? errno : EIO;
      Record->FailSystem(code);
      return false;
    }
    // A short write resumes inside the row it stopped in.
    const uint64_t done = skip + static_cast<uint64_t>(written);
    next += static_cast<uint32_t>(done / rowLength);
    skip = done % rowLength;
  }
  return true;
}

bool TMappedFile::WriteRowParts(uint64_t position, uint64_t rowStride, uint32_t count,
                                uint64_t offset, uint64_t length, const uint8_t* data,
                                uint64_t dataStride, bool toDisk) {
  if (OpenMode == omRead || count == 0 || offset + length > rowStride ||
      !RangeInFile(position, uint64_t{count - 1} * rowStride + offset + length))
    return false;
  if (!FlushWrites()) return false;
  for (uint32_t k = 0; k < count; ++k) {
    const int code =
        WriteAllAt(Fd, data + k * dataStride, length, position + k * rowStride + offset);
    if (code) {
      Record->FailSystem(code);
      return false;
    }
  }
  // The parts go to the disk now, in file order: left to the kernel, they
  // would wait until a memory cgroup's limit forced them out one by one.
  // In memory they wait instead: a page the next stripe writes again would
  // wait for the disk first.
  if (toDisk)
    sync_file_range(Fd, static_cast<off_t>(position + offset),
                    static_cast<off_t>(uint64_t{count - 1} * rowStride + length),
                    SYNC_FILE_RANGE_WRITE);
  return true;
}

void TMappedFile::ReadingOnceAt(uint64_t position, uint64_t ahead) {
  if (OpenMode != omRead || Fd < 0 || position > FileSize) return;
  if (position > ReadOnceDone) {
    // Pages still mapped would stay in the cache.
    if (ViewBase && position > WindowOffset) {
      const uint64_t from = std::max(ReadOnceDone, WindowOffset);
      const uint64_t to = std::min(position, WindowOffset + WindowSize);
      const uint64_t first = (from - WindowOffset + 4095) & ~uint64_t{4095};
      const uint64_t last = (to - WindowOffset) & ~uint64_t{4095};
      if (last > first) madvise(ViewBase + first, static_cast<size_t>(last - first), MADV_DONTNEED);
      PopulatedBegin = std::max(PopulatedBegin, std::min(position, PopulatedEnd));
    }
    posix_fadvise(Fd, static_cast<off_t>(ReadOnceDone), static_cast<off_t>(position - ReadOnceDone),
                  POSIX_FADV_DONTNEED);
    ReadOnceDone = position;
  }
  // Read ahead in steps of half the distance kept ahead, so that the disk
  // always has the next part to read.
  if (ReadOnceAhead < position + ahead / 2 && ReadOnceAhead < FileSize) {
    const uint64_t from = std::max(ReadOnceAhead, position);
    const uint64_t to = std::min(FileSize, position + ahead);
    posix_fadvise(Fd, static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_WILLNEED);
    ReadOnceAhead = to;
  }
}

bool TMappedFile::FileShrunk() const {
  struct stat st;
  return Fd >= 0 && fstat(Fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < FileSize;
}

bool TMappedFile::CloseMapping() {
  bool ok = Fd < 0 || FlushWrites();
  ok = Unmap() && ok;
  MappingOpen = false;
  if (Fd >= 0) {
    if (::close(Fd) != 0 && ok) {
      Record->FailSystem(errno);
      ok = false;
    }
    Fd = -1;
  }
  return ok;
}

bool TMappedFile::OpenMapping(const std::string& fileName, uint8_t openMode, uint64_t size,
                              TFileMaker& files) {
  CloseMapping();
  FileSize = size;
  ReadOnceDone = ReadOnceAhead = 0;
  OpenMode = openMode;
  WindowSize = MaxWindowSize = openMode == omRead ? kMaxReadWindowSize : kMaxWindowSize;
  // Reading does not block, so that a FIFO in a data file's place is
  // refused below rather than waited on.
  Fd = openMode == omCreate
           ? files.Create(fileName, O_RDWR)
           : ::open(fileName.c_str(),
                    (openMode == omRead ? O_RDONLY | O_NONBLOCK : O_RDWR) | O_CLOEXEC);
  if (Fd < 0) {
    Record->FailSystem(errno);
    return false;
  }
  struct stat st;
  if (fstat(Fd, &st) != 0) {
    Record->FailSystem(errno);
    CloseMapping();
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode))
      Record->FailSystem(EISDIR);
    else
      Record->Fail(TErrorCode::IO, fileName + " is not a regular file");
    CloseMapping();
    return false;
  }
  if (openMode != omCreate) FileSize = static_cast<uint64_t>(st.st_size);
  if (FileSize < WindowSize) WindowSize = MaxWindowSize = static_cast<uint32_t>(FileSize);
  // A file this call created and could not make whole is not left behind.
  auto failRegular = [&](int code) {
    CloseMapping();
    if (openMode == omCreate) files.Discard(fileName);
    Record->FailSystem(code);
    return false;
  };
  if (openMode == omCreate) {
    // Size the file and reserve its blocks now, so that a full disk is an
    // error here rather than a fault when a mapped page is first written.
    if (ftruncate(Fd, static_cast<off_t>(FileSize)) != 0) return failRegular(errno);
    int rc = FileSize ? posix_fallocate(Fd, 0, static_cast<off_t>(FileSize)) : 0;
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) return failRegular(rc);
  }
  // Nothing can be mapped over an empty file.
  if (FileSize == 0) return failRegular(EINVAL);
  MappingOpen = true;
  ForceRemap = true;
  Position = 0;
  if (MinBytes > FileSize) MinBytes = static_cast<uint32_t>(FileSize);
  return MapWindow();
}

bool TMappedFile::MapWindow() {
  if (!FlushWrites()) return false;
  const uint64_t p = Position;
  if (p >= FileSize) {
    Record->Fail(TErrorCode::Internal, "Position outside of file");
    return false;
  }
  // Never hand out a pointer whose MinBytes run past the file.
  if (MinBytes > FileSize - p) {
    Record->Fail(TErrorCode::Internal, "The rest of file is smaller than needed num of bytes");
    return false;
  }
  if (ViewBase && !ForceRemap && WindowOffset <= p && p - WindowOffset + MinBytes <= WindowSize) {
    DataPointer = ViewBase + (p - WindowOffset);
    return true;
  }
  ForceRemap = false;
  const uint64_t offset = p - p % kWindowAlignment;
  const uint64_t rest = FileSize - offset;
  const uint32_t size = rest >= MaxWindowSize ? MaxWindowSize : static_cast<uint32_t>(rest);
  if (p - offset + MinBytes > size) {
    Record->Fail(TErrorCode::Internal, "Buffer size is less than one line");
    return false;
  }
  if (!MappingOpen || Fd < 0) return false;
  if (!Unmap()) return false;
  const int protection = OpenMode == omRead ? PROT_READ : PROT_READ | PROT_WRITE;
  void* view = mmap(nullptr, size, protection, MAP_SHARED, Fd, static_cast<off_t>(offset));
  if (view == MAP_FAILED) {
    Record->FailSystem(errno);
    return false;
  }
  ViewBase = static_cast<uint8_t*>(view);
  Watch(ViewBase, size, &Cut);
  PopulatedBegin = PopulatedEnd = offset;
  WindowSize = size;
  WindowOffset = offset;
  Record->ClearError();
  DataPointer = ViewBase + (p - offset);
  FirstMappedRow = 0;
  EndMappedRow = -1;
  return true;
}

bool TMappedFile::RangeInFile(uint64_t position, uint64_t length) {
  if (length == 0 || position >= FileSize || length > FileSize - position) {
    Record->Fail(TErrorCode::Internal, "Position outside of file");
    return false;
  }
  return true;
}

uint8_t* TMappedFile::MapRange(uint64_t position, uint64_t length) {
  if (!RangeInFile(position, length)) return nullptr;
  if (length > UsableWindow()) {
    Record->Fail(TErrorCode::Internal, "Buffer size is less than one line");
    return nullptr;
  }
  if (!(ViewBase && WindowOffset <= position && position - WindowOffset + length <= WindowSize) &&
      !MapRangeWindow(position, length))
    return nullptr;
  // Faulting a range in at once costs far less than a fault per page; the
  // part already faulted in is not walked again, whichever way the ranges
  // are walked.
  const uint64_t end = position + length;
  auto populate = [&](uint64_t from, uint64_t to) {
    uint8_t* first = ViewBase + ((from - WindowOffset) & ~uint64_t{4095});
    madvise(first, static_cast<size_t>(ViewBase + (to - WindowOffset) - first),
            OpenMode == omRead ? MADV_POPULATE_READ : MADV_POPULATE_WRITE);
  };
  if (end < PopulatedBegin || position > PopulatedEnd) {
    populate(position, end);
    PopulatedBegin = position;
    PopulatedEnd = end;
  } else {
    if (position < PopulatedBegin) populate(position, PopulatedBegin);
    if (end > PopulatedEnd) populate(PopulatedEnd, end);
    PopulatedBegin = std::min(PopulatedBegin, position);
    PopulatedEnd = std::max(PopulatedEnd, end);
  }
  return ViewBase + (position - WindowOffset);
}

bool TMappedFile::FetchBytes(uint64_t position, uint64_t count, uint8_t* target) {
  if (position > FileSize || count > FileSize - position) return false;
  while (count > 0) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, kWindowAlignment));
    Position = position;
    MinBytes = chunk;
    if (!MapWindow()) return false;
    std::memcpy(target, DataPointer, chunk);
    position += chunk;
    target += chunk;
    count -= chunk;
  }
  return true;
}

bool TMappedFile::MapRangeWindow(uint64_t position, uint64_t length) {
  uint64_t start = position;
  if (ViewBase && position < WindowOffset) {
    const uint64_t end = position + length;
    start = std::min(position, end > UsableWindow() ? end - UsableWindow() : 0);
  }
  ForceRemap = true;
  Position = start;
  MinBytes = 1;
  return MapWindow();
}

bool TMappedGrid::OpenRaster(const std::string& fileName, uint32_t columns, uint32_t rows,
                             uint8_t cellType, uint32_t bands, uint8_t openMode, bool msbFirst,
                             TFileMaker& files) {
  GridColumns = columns;
  GridRows = rows;
  GridBands = bands;
  GridCellType = cellType;
  NativeOrder = !msbFirst;
  OpenMode = openMode;
  if (!CellTypeConvertible(cellType)) {
    Record->Fail(TErrorCode::Format,
                 "Cells of type " + CellTypeWords(cellType) + " are not supported");
    return false;
  }
  GridWidth = CellTypeWidth(cellType);
  uint64_t size = 0;
  if (columns == 0 || rows == 0 || bands == 0 ||
      __builtin_mul_overflow(static_cast<uint64_t>(columns), rows, &CellCount) ||
      __builtin_mul_overflow(CellCount, bands, &CellCount) ||
      __builtin_mul_overflow(CellCount, GridWidth, &size) ||
      size > static_cast<uint64_t>(INT64_MAX)) {
    Record->Fail(TErrorCode::Format, "Raster size " + std::to_string(columns) + " x " +
                                         std::to_string(rows) + " x " + std::to_string(bands) +
                                         " is not valid");
    return false;
  }
  LineLength = static_cast<uint64_t>(GridWidth) * columns * bands;
  if (!OpenMapping(fileName, openMode, size, files)) return false;
  if (FileSize < size) {
    Record->Fail(TErrorCode::Format, "Data file " + fileName + " holds " +
                                         std::to_string(FileSize) + " bytes, fewer than the " +
                                         std::to_string(size) + " its header describes");
    CloseMapping();
    return false;
  }
  if (LineLength + (FileSize > MaxWindowSize ? kWindowAlignment : 0) > MaxWindowSize) {
    Record->Fail(TErrorCode::Internal, "Buffer size is less than one line");
    CloseMapping();
    return false;
  }
  FirstMappedRow = 0;
  EndMappedRow = static_cast<int64_t>(WindowSize / LineLength);
  RowBase = ViewBase;
  return true;
}

bool TMappedGrid::SelectRow(uint32_t row) {
  if (row >= GridRows) return false;
  if (FirstMappedRow <= row && static_cast<int64_t>(row) < EndMappedRow) {
    DataPointer = RowBase + (row - FirstMappedRow) * LineLength;
    return true;
  }
  ForceRemap = true;
  MinBytes = static_cast<uint32_t>(LineLength);
  Position = static_cast<uint64_t>(row) * LineLength;
  if (!MapWindow()) {
    FirstMappedRow = 0;
    EndMappedRow = -1;
    return false;
  }
  RowBase = DataPointer;
  FirstMappedRow = row;
  EndMappedRow = row + static_cast<int64_t>((WindowSize - (DataPointer - ViewBase)) / LineLength);
  return true;
}

uint32_t TMappedGrid::BlockRows() const {
  if (LineLength == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(UsableWindow() / LineLength, GridRows));
}

bool TMappedGrid::Block(uint32_t first, uint32_t count, TCellBlock& block) {
  if (count == 0 || first >= GridRows || count > GridRows - first) return false;
  uint8_t* data = BlockRange(first * LineLength, count * LineLength);
  if (!data) return false;
  Layout(block);
  block.Data = data;
  return true;
}

void TMappedGrid::Layout(TCellBlock& block) const {
  block.Data = nullptr;
  block.RowStride = static_cast<int64_t>(LineLength);
  block.BandStride = static_cast<int64_t>(GridWidth) * GridColumns;
  block.ColumnStride = GridWidth;
  block.CellType = GridCellType;
  block.MSBFirst = !NativeOrder;
}

bool TMappedGrid::PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) {
  if (count == 0 || first >= GridRows || count > GridRows - first) return false;
  return WriteRows(first * LineLength, rows, count, LineLength);
}

bool TMappedGrid::PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                              const uint8_t* data, uint64_t dataStride, bool toDisk) {
  if (count == 0 || first >= GridRows || count > GridRows - first) return false;
  return WriteRowParts(first * LineLength, LineLength, count, offset, length, data, dataStride,
                       toDisk);
}

double DecodeCellExact(const uint8_t* p, uint8_t cellType, bool swap) {
  switch (cellType) {
    case ctUnsigned8:
      return p[0];
    case ctSigned8:
      return static_cast<int8_t>(p[0]);
    case ctSigned16:
      return Load<int16_t>(p, swap);
    case ctUnsigned16:
      return Load<uint16_t>(p, swap);
    case ctSigned32:
      return Load<int32_t>(p, swap);
    case ctFloat32:
      return Load<float>(p, swap);
    case ctFloat64:
      return Load<double>(p, swap);
    case ctUnsigned32:
      return Load<uint32_t>(p, swap);
    default:
      return 0;
  }
}

float DecodeCell(const uint8_t* p, uint8_t cellType, bool swap) {
  return static_cast<float>(DecodeCellExact(p, cellType, swap));
}

// Rounds to nearest (ties to even) and keeps the low 32 bits, so that values
// outside a cell type's range wrap rather than saturate.
static uint32_t RoundWrapped(double value) {
  double d = std::nearbyint(value);
  if (!std::isfinite(d)) return 0;
  if (std::fabs(d) >= 9.0e18) d = std::fmod(d, 4294967296.0);
  return static_cast<uint32_t>(static_cast<int64_t>(d));
}

void EncodeCellExact(uint8_t* p, uint8_t cellType, bool swap, double value) {
  switch (cellType) {
    case ctUnsigned8:
    case ctSigned8:
      p[0] = static_cast<uint8_t>(RoundWrapped(value));
      break;
    case ctSigned16:
    case ctUnsigned16:
      Store<uint16_t>(p, static_cast<uint16_t>(RoundWrapped(value)), swap);
      break;
    case ctSigned32:
    case ctUnsigned32:
      Store<uint32_t>(p, RoundWrapped(value), swap);
      break;
    case ctFloat32:
      Store<float>(p, static_cast<float>(value), swap);
      break;
    case ctFloat64:
      Store<double>(p, value, swap);
      break;
    default:
      break;
  }
}

void EncodeCell(uint8_t* p, uint8_t cellType, bool swap, float value) {
  EncodeCellExact(p, cellType, swap, value);
}

bool TMappedGrid::ReadCell(uint32_t column, uint32_t row, uint32_t band, double& value) {
  if (band >= GridBands) band = GridBands ? GridBands - 1 : 0;
  if (column >= GridColumns || row >= GridRows) return false;
  if (!SelectRow(row)) return false;
  value = DecodeCellExact(CellAddress(column, band), GridCellType, !NativeOrder);
  return true;
}

bool TMappedGrid::WriteCell(uint32_t column, uint32_t row, uint32_t band, double value) {
  if (OpenMode == omRead) return false;
  if (band >= GridBands) band = GridBands ? GridBands - 1 : 0;
  if (column >= GridColumns || row >= GridRows) return false;
  if (!SelectRow(row)) return false;
  EncodeCellExact(CellAddress(column, band), GridCellType, !NativeOrder, value);
  return true;
}

}  // namespace mirava
