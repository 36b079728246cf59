#include "formats/image/jp2/OpenJpeg.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace mirava {

namespace {

// OpenJPEG's own stream buffer, as its file streams use.
constexpr OPJ_SIZE_T kStreamBuffer = 1u << 20;

void AddMessage(const char* text, void* data) {
  std::string& messages = *static_cast<std::string*>(data);
  std::string line = text ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.empty()) return;
  if (!messages.empty()) messages += "; ";
  messages += line;
}

void Ignore(const char*, void*) {}

}  // namespace

void CollectErrors(opj_codec_t* codec, std::string& messages) {
  opj_set_error_handler(codec, AddMessage, &messages);
  opj_set_warning_handler(codec, Ignore, nullptr);
  opj_set_info_handler(codec, Ignore, nullptr);
}

TOpjStream ReadStream(TMappedSource& source) {
  TOpjStream stream(opj_stream_create(kStreamBuffer, OPJ_TRUE));
  if (!stream) return stream;
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), source.Length);
  opj_stream_set_read_function(
      stream.get(), [](void* buffer, OPJ_SIZE_T bytes, void* data) -> OPJ_SIZE_T {
        TMappedSource& s = *static_cast<TMappedSource*>(data);
        const uint64_t count = std::min<uint64_t>(bytes, s.Length - s.Position);
        if (count == 0) return static_cast<OPJ_SIZE_T>(-1);
        if (!s.File->FetchBytes(s.Offset + s.Position, count, static_cast<uint8_t*>(buffer)))
          return static_cast<OPJ_SIZE_T>(-1);
        s.Position += count;
        return static_cast<OPJ_SIZE_T>(count);
      });
  opj_stream_set_skip_function(stream.get(), [](OPJ_OFF_T bytes, void* data) -> OPJ_OFF_T {
    TMappedSource& s = *static_cast<TMappedSource*>(data);
    if (bytes < 0 && static_cast<uint64_t>(-bytes) > s.Position) return -1;
    const uint64_t to = std::min<uint64_t>(s.Position + bytes, s.Length);
    const OPJ_OFF_T moved = static_cast<OPJ_OFF_T>(to) - static_cast<OPJ_OFF_T>(s.Position);
    s.Position = to;
    return moved;
  });
  opj_stream_set_seek_function(stream.get(), [](OPJ_OFF_T to, void* data) -> OPJ_BOOL {
    TMappedSource& s = *static_cast<TMappedSource*>(data);
    if (to < 0 || static_cast<uint64_t>(to) > s.Length) return OPJ_FALSE;
    s.Position = static_cast<uint64_t>(to);
    return OPJ_TRUE;
  });
  return stream;
}

TOpjStream WriteStream(TFileSink& sink) {
  TOpjStream stream(opj_stream_create(kStreamBuffer, OPJ_FALSE));
  if (!stream) return stream;
  opj_stream_set_user_data(stream.get(), &sink, nullptr);
  opj_stream_set_write_function(
      stream.get(), [](void* buffer, OPJ_SIZE_T bytes, void* data) -> OPJ_SIZE_T {
        TFileSink& s = *static_cast<TFileSink*>(data);
        if (s.Failed || !s.File->WriteAt(s.Position, buffer, bytes)) {
          s.Failed = true;
          return static_cast<OPJ_SIZE_T>(-1);
        }
        s.Position += bytes;
        return bytes;
      });
  opj_stream_set_skip_function(stream.get(), [](OPJ_OFF_T bytes, void* data) -> OPJ_OFF_T {
    TFileSink& s = *static_cast<TFileSink*>(data);
    if (bytes < 0 && static_cast<uint64_t>(-bytes) > s.Position) return -1;
    s.Position += bytes;
    return bytes;
  });
  opj_stream_set_seek_function(stream.get(), [](OPJ_OFF_T to, void* data) -> OPJ_BOOL {
    if (to < 0) return OPJ_FALSE;
    TFileSink& s = *static_cast<TFileSink*>(data);
    s.Position = s.Base + static_cast<uint64_t>(to);
    return OPJ_TRUE;
  });
  return stream;
}

int CodecThreads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace mirava
