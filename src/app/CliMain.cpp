// mirava-cli: runs one conversion job without a window.
#include <iostream>

#include "app/Batch.h"
#include "app/CommandLine.h"
#include "app/ConsoleHost.h"
#include "app/Version.h"
#include "dataset/DataSet.h"

using namespace mirava;

namespace {

const char* const kUsage =
    "Usage: mirava-cli INPUT OUTPUT [/KIND | -KIND] [/F] [--memory=MIB]\n"
    "                  [--drop-rotation] [--keep-ground] [--jpeg-quality=N]\n"
    "                  [--jpeg-subsampling=444|422|420]\n"
    "                  [-co KEY=VALUE]... [-q] [-of FORMAT] [-b N]...\n"
    "                  [-a_srs SRS] [-a_nodata VALUE] [--]\n"
    "       mirava-cli -o FOLDER -e EXT [/KIND] [BATCH OPTIONS] INPUT...\n"
    "       mirava-cli -l LIST [BATCH OPTIONS]\n"
    "\n"
    "Flips or rotates a georeferenced raster and converts it in the same pass.\n"
    "The input's format is recognised from its first bytes, the output's from\n"
    "its extension (mirava-cli --formats lists every format).\n"
    "\n"
    "KIND is one digit:\n"
    "  0  no flip, no rotation (format change only)   [default]\n"
    "  1  horizontal flip (mirror left-right)\n"
    "  4  vertical flip (mirror top-bottom)\n"
    "  5  rotate 180 degrees\n"
    "  3  rotate 90 degrees clockwise\n"
    "  2  rotate 90 degrees counter-clockwise\n"
    "The last kind switch decides; /F (unattended) is accepted and has no\n"
    "effect here. A switch starting with \"/\" is\n"
    "exactly two characters long, so absolute paths are file names. Any other\n"
    "switch, a digit that is no kind or a third name is a usage error.\n"
    "\n"
    "Control points move with their pixels into OUTPUT's \".gcp\" file.\n"
    "Progress goes to standard error; Ctrl-C, SIGTERM and SIGHUP stop the job\n"
    "(\"User Abort\").\n"
    "Exit status: 0 \"Successful Finish\", 1 failure, 2 usage, 130 aborted.\n"
    "\n"
    "Batch mode converts many files, a few at a time, each as its own job:\n"
    "  -o FOLDER        output folder for the INPUTs (created if missing)\n"
    "  -e EXT           output extension; an output is FOLDER/BASENAME.EXT\n"
    "  -l LIST          a list file (\"-\": standard input), one job a line:\n"
    "                   input, output and kind separated by tabs\n"
    "  -j N             N jobs at once (default: the processors available)\n"
    "  --skip-existing  skip outputs a batch completed before\n"
    "  --stop-on-error  start no new job after a failure\n"
    "  --report FILE    one record per file, JSON lines (CSV for FILE.csv;\n"
    "                   \"-\": standard output)\n"
    "  --slice K/N      run lines K, K+N, K+2N, ... (from 0) of the batch\n"
    "  -co KEY=VALUE    as for one job, for every output (all must be TIFF)\n"
    "  -q, -of, -b, -a_srs, -a_nodata, --  as for one job, for every job\n"
    "A bad line or a clash between outputs and inputs refuses the whole batch\n"
    "before anything runs (exit status 2). Exit status: 0 every file done or\n"
    "skipped, 1 any failed, 130 stopped by Ctrl-C.\n"
    "\n"
    "  --memory=MIB     the memory a job may count on (default: what the\n"
    "                   machine and its memory cgroup offer, shared equally\n"
    "                   by a batch's jobs at once); quarter turns of larger\n"
    "                   inputs read them once, in stripes\n"
    "  --drop-rotation  write an input whose georeference is rotated (rotation\n"
    "                   terms) into a format that cannot hold them (all but\n"
    "                   TIFF, BMP and JPEG) north-up, without them; without\n"
    "                   this switch such a job is refused\n"
    "  --keep-ground    keep every cell over its ground: the output's\n"
    "                   georeference moves with the cells (negative steps or\n"
    "                   rotation terms where the placement needs them), so\n"
    "                   the output overlays the input; without it the output\n"
    "                   keeps the input's corner and cell sizes\n"
    "  -co KEY=VALUE    a creation option of a TIFF output, as GDAL takes them\n"
    "                   (repeat -co for each); without any, a TIFF is one\n"
    "                   uncompressed strip:\n"
    "                     COMPRESS=NONE|DEFLATE|LZW|ZSTD|LZMA|PACKBITS|JPEG|WEBP\n"
    "                     PREDICTOR=1|2|3  none, horizontal, floating point\n"
    "                       (default with DEFLATE, LZW, ZSTD, LZMA: 3 for float\n"
    "                       cells, 2 for integers)\n"
    "                     TILED=YES|NO     tiles instead of strips\n"
    "                     BLOCKXSIZE=N, BLOCKYSIZE=N  tile width and height\n"
    "                       (multiples of 16, default 256), or with strips\n"
    "                       BLOCKYSIZE rows per strip (default: about 256 KiB)\n"
    "                     ZLEVEL=1..12 (DEFLATE), ZSTD_LEVEL=1..22 (ZSTD),\n"
    "                     LZMA_PRESET=0..9 (LZMA), JPEG_QUALITY=1..100 (JPEG),\n"
    "                     WEBP_LEVEL=1..100, WEBP_LOSSLESS=YES|NO (WEBP)\n"
    "                     BIGTIFF=YES|NO|IF_NEEDED|IF_SAFER  (default: when\n"
    "                       4 GiB may not suffice)\n"
    "                     NUM_THREADS=N|ALL_CPUS  encoders (default: one a\n"
    "                       core, at most 8)\n"
    "                     PHOTOMETRIC=MINISBLACK|MINISWHITE|RGB|CMYK|YCBCR\n"
    "                       (YCBCR with JPEG; default: the input's colours)\n"
    "                     COG=YES (-of COG)  cloud-optimised, with overviews:\n"
    "                       BLOCKSIZE=N (default 512), OVERVIEWS=AUTO|NONE,\n"
    "                       OVERVIEW_COUNT=N, RESAMPLING=NEAREST|AVERAGE|\n"
    "                       BILINEAR|MODE (default AVERAGE, palettes NEAREST);\n"
    "                       COMPRESS defaults to LZW\n"
    "                   e.g. -co COMPRESS=DEFLATE -co TILED=YES. An unknown or\n"
    "                   invalid option, or one for another format, is a usage\n"
    "                   error; one the cells cannot take fails the job\n"
    "  --jpeg-quality=N JPEG outputs encoded from pixels: quality 1 to 100\n"
    "                   (default 100)\n"
    "  --jpeg-subsampling=444|422|420\n"
    "                   their chroma resolution: full (default), half the\n"
    "                   columns, half the columns and rows\n"
    "A JPEG placed into a JPEG without loss keeps its own quality and\n"
    "subsampling; mirava-cli says which way a JPEG went.\n"
    "\n"
    "gdal_translate's switches where they mean the same:\n"
    "  -q, --quiet      nothing on standard error but failures\n"
    "  -of FORMAT       the output's format whatever its name's extension: a\n"
    "                   key of --formats, or GDAL's GTiff, COG, ERS, BMP, JPEG,\n"
    "                   SRTMHGT or JP2OpenJPEG\n"
    "  -b N             the input's band N (from 1) is the output's next band;\n"
    "                   repeated, it chooses and orders them (-b 3 -b 2 -b 1)\n"
    "  -a_srs SRS       the output's coordinate system instead of the input's:\n"
    "                   EPSG:n, WKT or a PROJ string of a system of the EPSG\n"
    "                   database\n"
    "  -a_nodata VALUE  the output's no-data value (no cell changes); none\n"
    "                   states none\n"
    "  --               every word after it is a file name\n"
    "\n"
    "  --formats        every format: extensions, what is read and written\n"
    "  --help           this text\n"
    "  --version        the version\n";

// One paragraph per format, from the format table, so that the list
// cannot disagree with the code.
void PrintFormats() {
  for (const TFormatEntry& entry : FormatEntries())
    std::cout << entry.Name << " (" << entry.Extensions << "), -of " << entry.Key << "\n"
              << "  read:  " << entry.Reads << "\n"
              << "  write: " << entry.Writes << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> parameters(argv + 1, argv + argc);
  for (const std::string& p : parameters) {
    if (p == "--") break;
    if (p == "--help" || p == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (p == "--formats") {
      PrintFormats();
      return 0;
    }
    if (p == "--version") {
      std::cout << "mirava-cli " << kVersion << "\n";
      return 0;
    }
  }
  if (IsBatchCommandLine(parameters)) return RunBatchCommandLine(parameters);
  TJobSettings settings;
  if (const std::string usage = ParseCliCommandLine(parameters, settings); !usage.empty()) {
    // The synopsis only, so that the reason stays in sight.
    const std::string usageText = kUsage;
    std::cerr << "mirava-cli: " << usage << "\n\n"
              << usageText.substr(0, usageText.find("\n\n") + 1) << "See mirava-cli --help.\n";
    return 2;
  }

  return RunConsoleJob(settings);
}
