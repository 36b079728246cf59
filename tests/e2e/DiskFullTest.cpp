// A full disk is a clear error at the start of the job, never a crash, and
// the input stays untouched.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "TestRasters.h"

using namespace mirava::test;

namespace {

// A 1 MiB tmpfs mounted for the test (needs root; skipped otherwise).
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& path) : Path(path) {
    std::filesystem::create_directories(path);
    Mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  ~SmallDisk() {
    if (Mounted) umount2(Path.c_str(), MNT_DETACH);
  }
  bool Mounted = false;

 private:
  std::string Path;
};

}  // namespace

TEST(DiskFull, OutputLargerThanTheDiskFailsAtTheStart) {
  TempDir dir;
  SmallDisk disk(dir / "disk");
  if (!disk.Mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  TestRaster raster;
  raster.Columns = 1024;
  raster.Rows = 1024;
  raster.Bands = 2;
  WriteErs(dir / "in.ers", raster);
  const auto before = ReadBytes(dir / "in");
  CommandResult r = RunCli({dir / "in.ers", dir / "disk/out.ers", "/3"});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("Open map write error=28 No space left on device"), std::string::npos)
      << r.Output;
  EXPECT_EQ(ReadBytes(dir / "in"), before);
}

TEST(DiskFull, HeaderOrControlPointsThatDoNotFitAreNoSuccess) {
  TempDir dir;
  SmallDisk disk(dir / "disk");
  if (!disk.Mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  // Fill the disk but for a few bytes, so the cells fit and the rest not.
  TestRaster raster;
  raster.Columns = 1000;
  raster.Rows = 1000;
  raster.Bands = 1;
  raster.Extra =
      "\t\tWarpControl Begin\n\t\t\tControlPoints = {\n\t\t\t\tA Yes No 1 1 5 50 0\n"
      "\t\t\t}\n\t\tWarpControl End\n";
  WriteErs(dir / "in.ers", raster);
  WriteBytes(dir / "disk/filler", std::vector<uint8_t>(1048576 - 1000000 - 2048, 1));
  CommandResult r = RunCli({dir / "in.ers", dir / "disk/out.ers"});
  EXPECT_NE(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(r.Output.find("Successful Finish"), std::string::npos) << r.Output;
  EXPECT_NE(r.Output.find("No space left on device"), std::string::npos) << r.Output;
}
