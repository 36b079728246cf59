// The job settings a front end collects, and the command line that sets them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataset/Encoding.h"
#include "job/ConvertThread.h"

namespace mirava {

// gdal_translate's switches that mean the same here, for one job or all
// of a batch's.
struct TGdalSwitches {
  // -q, --quiet: nothing on standard error but failures.
  bool Quiet = false;
  // -of FORMAT: the output's format whatever its name's extension; 0: the
  // extension's.
  int OutputFormat = 0;
  // -of COG: a TIFF laid out as GDAL's COG driver lays it out (COG=YES).
  bool Cog = false;
  // -b N (from 1), -a_srs, -a_nodata: as TJobOptions takes them.
  std::vector<uint32_t> Bands;
  std::optional<TCoordinateSystem> AssignedCrs;
  std::optional<std::optional<double>> AssignedNoData;
};

struct TJobSettings {
  std::string InputFileName;
  std::string OutputFileName;
  int32_t JobKind = 0;
  bool KindGiven = false;  // a switch chose the kind
  bool CommandLineMode = false;
  uint64_t MemoryMiB = 0;  // --memory=MIB; 0: what the machine offers
  // --drop-rotation (mirava-cli): an output that cannot hold the rotation
  // terms of the input's georeference is written without them.
  bool DropRotation = false;
  // --keep-ground, and the window's "Keep cells over their ground": the
  // output's georeference moves with the cells (TJobOptions::KeepGround).
  bool KeepGround = false;
  TEncoding Encoding;  // --jpeg-quality, --jpeg-subsampling
  // -co KEY=VALUE (mirava-cli) and the window's TIFF settings: how a TIFF
  // output stores its cells ("COMPRESS=DEFLATE").
  std::vector<std::string> CreationOptions;
  // The window's JPEG 2000 settings ("QUALITY=25"; none: lossless).
  std::vector<std::string> Jp2Options;
  TGdalSwitches Gdal;  // mirava-cli
};

// What a job of `settings` is asked beyond its names and kind.
TJobOptions JobOptionsFor(const TJobSettings& settings);
// The creation options `options` with what -of asks among them.
std::vector<std::string> CreationOptionsFor(const std::vector<std::string>& options,
                                            const TGdalSwitches& gdal);
// What gdal_translate's switches ask of a job.
void ApplyGdalSwitches(const TGdalSwitches& gdal, TJobOptions& options);

// The window's command line: up to two file names (input, output) and
// switches. A switch begins with "-", or with "/" when it is exactly two
// characters long (longer ones are absolute paths). F runs the job
// unattended and leaves the kind as it is; any other switch's second
// character read as a digit sets the kind, 0 when it is no digit, so the
// last kind switch decides. Unattended mode needs both names.
// "--memory=MIB" sets the memory the job may count on, "--keep-ground" the
// georeference mode, the JPEG switches below the output's encoding.
void ParseCommandLine(const std::vector<std::string>& parameters, TJobSettings& settings);

// mirava-cli's switches, shared by its single job and its batches: "/0" to
// "/5" (or "-0" to "-5") a kind, "/F" or "-F" unattended.
bool IsKindSwitch(const std::string& parameter);
bool IsUnattendedSwitch(const std::string& parameter);
// True for what the command line takes as a switch rather than a name.
bool LooksLikeSwitch(const std::string& parameter);
// What is wrong with a switch mirava-cli does not know.
std::string UnknownSwitchText(const std::string& parameter);
// "--memory=MIB": empty when `parameter` gives a number of MiB of at least 1,
// otherwise why not.
std::string ParseMemorySwitch(const std::string& parameter, uint64_t& mib);

// "--jpeg-quality=N" (1 to 100) and "--jpeg-subsampling=444|422|420": how a
// JPEG output encoded from cells is compressed. False when `parameter` is
// neither; true when it is one, with `why` empty or saying what is wrong
// with its value.
bool ParseEncodingSwitch(const std::string& parameter, TEncoding& encoding, std::string& why);
// gdal_translate's switches that mean the same here, at parameters[i]:
// "-q" or "--quiet", "-of FORMAT", "-b N", "-a_srs SRS", "-a_nodata VALUE".
// False when parameters[i] is none of them; true when it is one, stepping
// over its value, with `why` empty or saying what is wrong.
bool ParseGdalSwitch(const std::vector<std::string>& parameters, size_t& i,
                     TGdalSwitches& gdal, std::string& why);
// The format -of names: a key of --formats or the GDAL driver's name of
// one of ours (GTiff, ERS, BMP, JPEG), in any case; 0 with the reason.
int FormatOfName(const std::string& name, std::string& why);
// The format an output of `fileName` is written in: `forced` (-of) when
// given, else its extension's.
int OutputFormatFor(const std::string& fileName, int forced);
// Why an output of `fileName` cannot be written in the format `forced`
// (-of): one of a header and a data file names them by its extension.
// Empty when it can, or when no format is forced.
std::string OutputNameRefusal(const std::string& fileName, int forced);

// "-co KEY=VALUE" at parameters[i]: adds the option and steps over it.
// Empty on success, otherwise what is wrong (a missing option; options the
// output's format does not take are checked with the names).
bool IsCreationOptionSwitch(const std::string& parameter);
std::string TakeCreationOption(const std::vector<std::string>& parameters, size_t& i,
                               std::vector<std::string>& options);

// mirava-cli's single job: exactly two names and the switches above, the
// last kind switch deciding the kind as in the window. Empty on
// success, otherwise what is wrong with the command line; nothing it does not
// understand is passed over, so a typo cannot run an unintended job.
std::string ParseCliCommandLine(const std::vector<std::string>& parameters, TJobSettings& settings);

}  // namespace mirava
