// OpenJPEG's handles held by their owners, its error messages collected as
// text, and its streams over a mapped input or into an output file.
#pragma once

#include <openjpeg.h>

#include <cstdint>
#include <memory>
#include <string>

#include "dataset/BinaryFile.h"
#include "dataset/MappedGrid.h"

namespace mirava {

struct TOpjCodecFree {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct TOpjStreamFree {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct TOpjImageFree {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
using TOpjCodec = std::unique_ptr<opj_codec_t, TOpjCodecFree>;
using TOpjStream = std::unique_ptr<opj_stream_t, TOpjStreamFree>;
using TOpjImage = std::unique_ptr<opj_image_t, TOpjImageFree>;

// OpenJPEG's error messages for one codec, joined by "; " without their
// line ends: the reason a call failed. Warnings are left out.
void CollectErrors(opj_codec_t* codec, std::string& messages);

// Bytes Offset .. Offset + Length - 1 of a mapped file, read through a
// stream from Position on.
struct TMappedSource {
  TMappedFile* File = nullptr;
  uint64_t Offset = 0;
  uint64_t Length = 0;
  uint64_t Position = 0;
};
// A stream reading `source`, which must outlive it.
TOpjStream ReadStream(TMappedSource& source);

// A file written from Position on, the stream's start at Base; Failed once
// a write failed (the file's ErrorText says why).
struct TFileSink {
  TBinaryFile* File = nullptr;
  uint64_t Base = 0;
  uint64_t Position = 0;
  bool Failed = false;
};
TOpjStream WriteStream(TFileSink& sink);

// The threads OpenJPEG may use for one codec: the processors this process
// may run on.
int CodecThreads();

}  // namespace mirava
