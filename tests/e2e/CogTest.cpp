// Cloud-optimised GeoTIFF outputs, judged by GDAL: its validator's full
// check, the image as placed, every overview against GDAL's own overviews
// of the same image, no-data and palettes through the overviews, and a
// reader over HTTP fetching a small part of the file for an overview.
#include <gtest/gtest.h>

#include <sstream>

#include "../TestUtil.h"

using namespace mirava::test;

namespace {

// Makes an input: argv[2] is its kind of cells, argv[3] x argv[4] its size.
// The cells are smooth with noise, so that compression and averages have
// work; no-data holes where the cells have a no-data value.
constexpr const char* kMake = R"(import sys, numpy as np
from osgeo import gdal
gdal.UseExceptions()
name, kind, w, h = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(7)
y, x = np.mgrid[0:h, 0:w]
smooth = x * 160 // w + y * 80 // h
types = {'rgb8': (gdal.GDT_Byte, 3), 'u16': (gdal.GDT_UInt16, 1), 'f32': (gdal.GDT_Float32, 1),
         'palette': (gdal.GDT_Byte, 1)}
t, bands = types[kind]
d = gdal.GetDriverByName('GTiff').Create(name, w, h, bands, t)
d.SetGeoTransform([500000, 2, 0, 6000000, 0, -2])
d.SetProjection('EPSG:32632')
for b in range(bands):
    a = smooth + rng.integers(0, 5, (h, w)) + 40 * b
    if kind == 'u16': a = a * 200 + 1
    if kind == 'f32': a = a * 0.37 - 20
    if kind == 'palette': a = (x // 37 + y // 23) % 6
    if kind in ('u16', 'f32'):
        a = a.astype(float)
        a[(x // 40 + y // 30) % 7 == 0] = -9999 if kind == 'f32' else 0
    d.GetRasterBand(b + 1).WriteArray(a)
    if kind == 'u16': d.GetRasterBand(b + 1).SetNoDataValue(0)
    if kind == 'f32': d.GetRasterBand(b + 1).SetNoDataValue(-9999)
if kind == 'palette':
    ct = gdal.ColorTable()
    for i in range(6): ct.SetColorEntry(i, (40 * i, 255 - 30 * i, (90 * i) % 256, 255))
    d.GetRasterBand(1).SetColorTable(ct)
d = None
)";

// Prints "valid" or the validator's errors; the overview levels; the
// largest difference of the image from the input as placed by kind
// argv[3]; of each overview from GDAL's overviews (argv[4]'s resampling)
// of a copy of the image; whether no-data and palette went through every
// level; and whether the levels are as many and as large as GDAL's COG
// driver makes.
constexpr const char* kCheck = R"(import sys, numpy as np
from osgeo import gdal
from osgeo_utils.samples import validate_cloud_optimized_geotiff as v
gdal.UseExceptions()
cog, inp, kind, method, block = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
warnings, errors, details = v.validate(cog, full_check=True)
print('valid' if not errors else 'invalid: ' + '; '.join(errors))
c, i = gdal.Open(cog), gdal.Open(inp)
placed = i.ReadAsArray().reshape(i.RasterCount, i.RasterYSize, i.RasterXSize).astype(float)
placed = {0: placed, 1: placed[:, :, ::-1], 2: np.rot90(placed, 1, (1, 2)),
          3: np.rot90(placed, -1, (1, 2)), 4: placed[:, ::-1, :], 5: placed[:, ::-1, ::-1]}[kind]
full = c.ReadAsArray().reshape(placed.shape).astype(float)
print('full', np.abs(full - placed).max())
copy = '/vsimem/copy.tif'
gdal.Translate(copy, c, creationOptions=['TILED=YES'])
n = c.GetRasterBand(1).GetOverviewCount()
g = gdal.Open(copy, gdal.GA_Update)
g.BuildOverviews(method, [2 ** (k + 1) for k in range(n)])
g = None
g = gdal.Open(copy)
diffs, kept = [], True
for k in range(n):
    o = [c.GetRasterBand(b + 1).GetOverview(k) for b in range(c.RasterCount)]
    r = [g.GetRasterBand(b + 1).GetOverview(k) for b in range(c.RasterCount)]
    ours = np.stack([x.ReadAsArray() for x in o]).astype(float)
    gdals = np.stack([x.ReadAsArray() for x in r]).astype(float)
    diffs.append('%g' % (np.abs(ours - gdals).max() if ours.shape == gdals.shape else -1))
    nd = c.GetRasterBand(1).GetNoDataValue()
    kept = kept and o[0].GetNoDataValue() == nd
    if nd is not None: kept = kept and bool(((ours == nd) == (gdals == nd)).all())
    ct = c.GetRasterBand(1).GetColorTable()
    if ct: kept = kept and o[0].GetColorTable() is not None and \
        all(o[0].GetColorTable().GetColorEntry(e) == ct.GetColorEntry(e) for e in range(6))
print('levels', n, 'overviews', ' '.join(diffs), 'kept' if kept else 'lost')
opts = ['BLOCKSIZE=' + block, 'RESAMPLING=' + method, 'COMPRESS=NONE']
gdal.Translate('/vsimem/gdal.tif', copy, format='COG', creationOptions=opts)
d = gdal.Open('/vsimem/gdal.tif')
sizes = lambda ds: [(ds.GetRasterBand(1).GetOverview(k).XSize, ds.GetRasterBand(1).GetOverview(k).YSize)
                    for k in range(ds.GetRasterBand(1).GetOverviewCount())]
print('as GDAL' if sizes(d) == sizes(c) else 'not as GDAL: %s %s' % (sizes(d), sizes(c)))
)";

// Serves argv[1] over HTTP on 127.0.0.1 with ranges, logging "first last"
// of each response to argv[2], and reads its last overview through GDAL's
// /vsicurl/.
constexpr const char* kServe = R"(import sys, os, threading, http.server
from osgeo import gdal
gdal.UseExceptions()
path, log = sys.argv[1], open(sys.argv[2], 'w')
class Ranges(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def send(self, body_wanted):
        size = os.path.getsize(path)
        first, last = 0, size - 1
        r = self.headers.get('Range')
        if r and r.startswith('bytes='):
            a, b = r[6:].split(',')[0].split('-')
            first = int(a) if a else size - int(b)
            last = min(int(b), size - 1) if a and b else size - 1
        self.send_response(206 if r else 200)
        self.send_header('Accept-Ranges', 'bytes')
        self.send_header('Content-Length', str(last - first + 1))
        if r: self.send_header('Content-Range', 'bytes %d-%d/%d' % (first, last, size))
        self.end_headers()
        if body_wanted:
            with open(path, 'rb') as f:
                f.seek(first)
                self.wfile.write(f.read(last - first + 1))
            log.write('%d %d\n' % (first, last))
            log.flush()
    def do_GET(self): self.send(True)
    def do_HEAD(self): self.send(False)
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Ranges)
threading.Thread(target=server.serve_forever, daemon=True).start()
gdal.SetConfigOption('GDAL_DISABLE_READDIR_ON_OPEN', 'EMPTY_DIR')
gdal.SetConfigOption('CPL_VSIL_CURL_ALLOWED_EXTENSIONS', '.tif')
d = gdal.Open('/vsicurl/http://127.0.0.1:%d/%s' % (server.server_address[1], os.path.basename(path)))
band = d.GetRasterBand(1)
o = band.GetOverview(band.GetOverviewCount() - 1)
print('read', o.XSize, o.YSize, int(o.ReadAsArray().sum() > 0))
server.shutdown()
)";

void Python(const char* script, const std::string& arguments, std::string* output = nullptr) {
  const CommandResult r =
      Run("/usr/bin/python3 -c " + Quote(script) + " " + arguments + " 2>&1");
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  if (output) *output = r.Output;
}

struct TCogCase {
  std::string Name;
  const char* Cells;  // kMake's kind of cells
  int Width, Height, Kind;
  std::vector<std::string> Options;  // after -of COG
  const char* Method;                 // GDAL's resampling the overviews match
  double Image, Overviews;            // largest differences allowed
};

// What a failure names the case by.
void PrintTo(const TCogCase& c, std::ostream* os) { *os << c.Name; }

class Cog : public ::testing::TestWithParam<TCogCase> {};

}  // namespace

// The validator passes; the image is the input placed; each overview is
// GDAL's of the same image (within rounding for averages, within the codec
// for JPEG, whose overviews GDAL makes from the decoded image); no-data
// cells and the palette are where GDAL has them.
TEST_P(Cog, AsGdalMakesIt) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  const TCogCase& c = GetParam();
  TempDir dir;
  const std::string input = dir / "in.tif", output = dir / "out.tif";
  Python(kMake, Quote(input) + " " + c.Cells + " " + std::to_string(c.Width) + " " +
                    std::to_string(c.Height));
  std::vector<std::string> args = {"-q", "-" + std::to_string(c.Kind), "-of", "COG"};
  std::string block = "512";
  for (const std::string& o : c.Options) {
    args.insert(args.end(), {"-co", o});
    if (o.rfind("BLOCKSIZE=", 0) == 0) block = o.substr(10);
  }
  args.insert(args.end(), {input, output});
  const CommandResult job = RunCli(args);
  ASSERT_EQ(job.ExitCode, 0) << job.Output;
  std::string checked;
  Python(kCheck, Quote(output) + " " + Quote(input) + " " + std::to_string(c.Kind) + " " +
                     c.Method + " " + block,
         &checked);
  std::istringstream lines(checked);
  std::string valid, full, levels, asGdal;
  std::getline(lines, valid);
  std::getline(lines, full);
  std::getline(lines, levels);
  std::getline(lines, asGdal);
  EXPECT_EQ(valid, "valid") << checked;
  EXPECT_LE(std::stod(full.substr(5)), c.Image) << checked;
  std::istringstream words(levels);
  std::string word;
  int count = 0;
  words >> word >> count >> word;
  EXPECT_GE(count, 1) << checked;
  for (int k = 0; k < count && words >> word; ++k) {
    EXPECT_GE(std::stod(word), 0) << "overview " << k << " is not GDAL's size\n" << checked;
    EXPECT_LE(std::stod(word), c.Overviews) << "overview " << k << "\n" << checked;
  }
  words >> word;
  EXPECT_EQ(word, "kept") << checked;
  EXPECT_EQ(asGdal, "as GDAL") << checked;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Cog,
    ::testing::Values(
        TCogCase{"Rgb8_Kind0_Deflate_Average", "rgb8", 1035, 777, 0,
                 {"COMPRESS=DEFLATE", "BLOCKSIZE=128"}, "AVERAGE", 0, 1},
        TCogCase{"Rgb8_Kind3_Jpeg", "rgb8", 1035, 777, 3, {"COMPRESS=JPEG", "JPEG_QUALITY=90"}, "AVERAGE", 8, 16},
        TCogCase{"Rgb8_Kind2_Lzw_Nearest_BigTiff", "rgb8", 700, 1100, 2,
                 {"COMPRESS=LZW", "RESAMPLING=NEAREST", "BIGTIFF=YES"}, "NEAREST", 0, 0},
        TCogCase{"UInt16_NoData_Kind3_Lzw", "u16", 999, 613, 3,
                 {"COMPRESS=LZW", "BLOCKSIZE=128"}, "AVERAGE", 0, 1},
        TCogCase{"Float32_NoData_Kind0_None", "f32", 1030, 600, 0,
                 {"COMPRESS=NONE", "BLOCKSIZE=256"}, "AVERAGE", 0, 1e-3},
        TCogCase{"Palette_Kind5_Deflate", "palette", 900, 700, 5,
                 {"COMPRESS=DEFLATE", "BLOCKSIZE=128"}, "NEAREST", 0, 0},
        TCogCase{"UInt16_NoData_Kind2_Bilinear", "u16", 999, 613, 2,
                 {"BLOCKSIZE=128", "RESAMPLING=BILINEAR"}, "BILINEAR", 0, 1},
        TCogCase{"Rgb8_Kind4_Mode", "rgb8", 1035, 777, 4,
                 {"COMPRESS=DEFLATE", "BLOCKSIZE=128", "RESAMPLING=MODE"}, "MODE", 0, 0},
        TCogCase{"UInt16_NoData_Kind1_Mode", "u16", 999, 613, 1,
                 {"BLOCKSIZE=128", "RESAMPLING=MODE"}, "MODE", 0, 0},
        TCogCase{"Kind0_Nearest", "u16", 521, 301, 0, {"BLOCKSIZE=128", "OVERVIEW_RESAMPLING=NEAREST"}, "NEAREST", 0, 0},
        TCogCase{"Kind1_Nearest", "u16", 521, 301, 1, {"BLOCKSIZE=128", "RESAMPLING=NEAREST"}, "NEAREST", 0, 0},
        TCogCase{"Kind2_Nearest", "u16", 521, 301, 2, {"BLOCKSIZE=128", "RESAMPLING=NEAREST"}, "NEAREST", 0, 0},
        TCogCase{"Kind3_Nearest", "u16", 521, 301, 3, {"BLOCKSIZE=128", "RESAMPLING=NEAREST"}, "NEAREST", 0, 0},
        TCogCase{"Kind4_Nearest", "u16", 521, 301, 4, {"BLOCKSIZE=128", "RESAMPLING=NEAREST"}, "NEAREST", 0, 0},
        TCogCase{"Kind5_Nearest", "u16", 521, 301, 5, {"BLOCKSIZE=128", "RESAMPLING=NEAREST"}, "NEAREST", 0, 0}),
    [](const auto& info) { return info.param.Name; });

// Served over HTTP, the file gives an overview to a reader that fetches a
// small part of it: the IFDs at its start and that level's tiles.
TEST(CogOverHttp, AnOverviewFetchesLittle) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string input = dir / "in.tif", output = dir / "out.tif", log = dir / "ranges.log";
  Python(kMake, Quote(input) + " rgb8 2400 1800");
  const CommandResult job =
      RunCli({"-q", "-of", "COG", "-co", "COMPRESS=DEFLATE", "-co", "PREDICTOR=1", input, output});
  ASSERT_EQ(job.ExitCode, 0) << job.Output;
  std::string read;
  Python(kServe, Quote(output) + " " + Quote(log), &read);
  EXPECT_EQ(read, "read 300 225 1\n");
  std::istringstream ranges(ReadText(log));
  uint64_t first = 0, last = 0, fetched = 0, requests = 0;
  while (ranges >> first >> last) {
    fetched += last - first + 1;
    ++requests;
  }
  const uint64_t size = ReadBytes(output).size();
  EXPECT_GT(requests, 0u);
  EXPECT_LT(fetched * 10, size) << fetched << " of " << size << " bytes fetched";
}

// What a COG cannot be asked is said before anything is written.
TEST(Cog, RefusesWhatItCannotHold) {
  TempDir dir;
  const std::string input = Sample("logo.tif");
  const struct {
    std::vector<std::string> Options;
    const char* Words;
  } cases[] = {
      {{"-co", "TILED=NO"}, "TILED: a COG is tiled"},
      {{"-co", "BLOCKSIZE=100"}, "BLOCKSIZE=100: tiles are a multiple of 16"},
      {{"-co", "RESAMPLING=CUBIC"}, "NEAREST, AVERAGE, BILINEAR or MODE"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-of", "COG"};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    args.insert(args.end(), {input, dir / "out.tif"});
    const CommandResult job = RunCli(args);
    EXPECT_NE(job.ExitCode, 0);
    EXPECT_NE(job.Output.find(c.Words), std::string::npos) << job.Output;
    EXPECT_FALSE(Exists(dir / "out.tif"));
  }
  const CommandResult plain = RunCli({"-co", "OVERVIEWS=NONE", input, dir / "out.tif"});
  EXPECT_NE(plain.Output.find("OVERVIEWS needs COG=YES (-of COG)"), std::string::npos)
      << plain.Output;
  if (!HaveGdal()) return;
  const std::string palette = dir / "palette.tif";
  Python(kMake, Quote(palette) + " palette 40 30");
  const CommandResult averaged =
      RunCli({"-of", "COG", "-co", "RESAMPLING=AVERAGE", palette, dir / "out.tif"});
  EXPECT_NE(averaged.Output.find("RESAMPLING=AVERAGE would mix a palette's indices"),
            std::string::npos)
      << averaged.Output;
  EXPECT_FALSE(Exists(dir / "out.tif"));
}
