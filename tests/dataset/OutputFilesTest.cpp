#include "dataset/OutputFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

std::vector<std::string> Entries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.str()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteThrough(TFileMaker& files, const std::string& name, const std::string& text) {
  const int fd = files.Create(name, O_WRONLY);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

}  // namespace

TEST(OutputFiles, NamesHoldTheirOldFilesUntilPublished) {
  TempDir dir;
  WriteText(dir / "o.ers", "old header");
  WriteText(dir / "o", "old data");
  WriteText(dir / "o.gcp", "old points");
  {
    TOutputFiles files;
    ASSERT_TRUE(files.Claim(dir / "o.ers", {dir / "o", dir / "o.ers", dir / "o.gcp"}))
        << files.Error().Text;
    EXPECT_TRUE(files.HadFiles());
    WriteThrough(files, dir / "o", "new data");
    WriteThrough(files, dir / "o.ers", "new header");
    EXPECT_EQ(ReadText(dir / "o"), "old data");
    EXPECT_EQ(ReadText(dir / "o.ers"), "old header");
    // Unpublished: removed, the old files stand.
  }
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"o", "o.ers", "o.gcp"}));
  EXPECT_EQ(ReadText(dir / "o"), "old data");
  {
    TOutputFiles files;
    ASSERT_TRUE(files.Claim(dir / "o.ers", {dir / "o", dir / "o.ers", dir / "o.gcp"}));
    WriteThrough(files, dir / "o", "first try");
    WriteThrough(files, dir / "o", "new data");  // a second file for a name replaces the first
    WriteThrough(files, dir / "o.ers", "new header");
    ASSERT_TRUE(files.Publish()) << files.Error().Text;
  }
  // The old points described the old raster: they go with it.
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"o", "o.ers"}));
  EXPECT_EQ(ReadText(dir / "o"), "new data");
  EXPECT_EQ(ReadText(dir / "o.ers"), "new header");
}

TEST(OutputFiles, WithoutASetFilesAreWrittenInPlace) {
  TempDir dir;
  WriteThrough(FilesInPlace(), dir / "plain", "text");
  EXPECT_EQ(ReadText(dir / "plain"), "text");
  FilesInPlace().Discard(dir / "plain");
  EXPECT_FALSE(Exists(dir / "plain"));
}

TEST(OutputFiles, ASecondClaimOnTheSameNamesIsRefused) {
  TempDir dir;
  TOutputFiles first;
  ASSERT_TRUE(first.Claim(dir / "o.ers", {dir / "o", dir / "o.ers", dir / "o.gcp"}));
  TOutputFiles second;
  EXPECT_FALSE(second.Claim(dir / "o.ers", {dir / "o", dir / "o.ers", dir / "o.gcp"}));
  EXPECT_EQ(second.Error().Text, "Another job is writing " + dir / "o.ers");
  // Another format of the same base name shares its data and points.
  EXPECT_FALSE(second.Claim(dir / "o.osd", {dir / "o", dir / "o.osd", dir / "o.gcp"}));
  EXPECT_EQ(second.Error().Text, "Another job is writing " + dir / "o.ers" + ", which shares " +
                                     dir / "o" + " with " + dir / "o.osd");
  // So does an output whose data file is the first one's header.
  EXPECT_FALSE(second.Claim(dir / "o.ers.ers", {dir / "o.ers", dir / "o.ers.ers"}));
  TOutputFiles other;
  EXPECT_TRUE(other.Claim(dir / "p.ers", {dir / "p", dir / "p.ers", dir / "p.gcp"}));
}

TEST(OutputFiles, LockFilesAreNeverWrittenThrough) {
  TempDir dir;
  std::vector<std::string> locks;
  {
    TOutputFiles files;
    ASSERT_TRUE(files.Claim(dir / "o.tif", {dir / "o.tif"}));
    locks = Entries(dir);
  }
  ASSERT_EQ(locks.size(), 1u);
  WriteText(dir / "victim", "precious");
  std::filesystem::create_hard_link(dir / "victim", dir / locks[0]);
  TOutputFiles files;
  EXPECT_FALSE(files.Claim(dir / "o.tif", {dir / "o.tif"}));
  EXPECT_EQ(files.Error().Text, "Output file " + dir / "o.tif" +
                                    " cannot be locked: its lock file " + locks[0] +
                                    " is not a file of ours alone; remove it");
  EXPECT_EQ(ReadText(dir / "victim"), "precious");
  std::filesystem::remove(dir / locks[0]);
  std::filesystem::create_symlink(dir / "victim", dir / locks[0]);
  EXPECT_FALSE(files.Claim(dir / "o.tif", {dir / "o.tif"}));
  EXPECT_EQ(ReadText(dir / "victim"), "precious");
}

TEST(OutputFiles, ClaimsLeaveNothingBehind) {
  TempDir dir;
  {
    TOutputFiles files;
    ASSERT_TRUE(files.Claim(dir / "o.tif", {dir / "o.tif", dir / "o.gcp"}));
    WriteThrough(files, dir / "o.tif", "image");
    EXPECT_EQ(Entries(dir).size(), 3u);  // a lock for each name, and the temporary
  }
  EXPECT_TRUE(Entries(dir).empty());
  // The lock can be taken again at once.
  TOutputFiles again;
  EXPECT_TRUE(again.Claim(dir / "o.tif", {dir / "o.tif", dir / "o.gcp"}));
}

TEST(OutputFiles, AKilledJobsTemporariesAreRemovedNeverFollowed) {
  TempDir dir;
  WriteText(dir / "victim", "precious");
  std::string temporary;
  {
    TOutputFiles files;
    ASSERT_TRUE(files.Claim(dir / "o.tif", {dir / "o.tif"}));
    WriteThrough(files, dir / "o.tif", "image");
    for (const std::string& name : Entries(dir))
      if (name.ends_with(".tmp")) temporary = name;
  }
  ASSERT_EQ(temporary.size(), std::string(".mirava-0123456789abcdef-abcdef.tmp").size());
  // What a killed job would have left, and a link planted at its place.
  WriteText(dir / temporary, "stale");
  std::string planted = temporary;
  planted[planted.size() - 5] = planted[planted.size() - 5] == 'a' ? 'b' : 'a';
  std::filesystem::create_symlink(dir / "victim", dir / planted);
  WriteText(dir / ".mirava-ffffffffffffffff-abcdef.tmp", "another output's");
  TOutputFiles files;
  ASSERT_TRUE(files.Claim(dir / "o.tif", {dir / "o.tif"}));
  EXPECT_FALSE(Exists(dir / temporary));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / planted));
  EXPECT_TRUE(Exists(dir / ".mirava-ffffffffffffffff-abcdef.tmp"));
  EXPECT_EQ(ReadText(dir / "victim"), "precious");
}

TEST(OutputFiles, NamesThatCannotBeAnOutputAreRefusedAtTheClaim) {
  TempDir dir;
  std::filesystem::create_directory(dir / "folder.ers");
  const std::string long255(251, 'n');
  struct Case {
    std::string Output;
    std::vector<std::string> Names;
    std::string Error;
  } cases[] = {
      {dir / "o.bmpw",
       {dir / "o.bmpw", dir / "o.bmpw", dir / "o.gcp"},
       "Output " + dir / "o.bmpw" + " would write two of its files as " + dir / "o.bmpw"},
      {dir / "folder.ers",
       {dir / "folder", dir / "folder.ers"},
       "Output " + dir / "folder.ers" + " is a folder"},
      {dir / "none/o.ers",
       {dir / "none/o", dir / "none/o.ers"},
       "Output folder " + dir / "none" + " does not exist"},
      {dir / (long255 + ".jpeg"),
       {dir / (long255 + ".jpeg")},
       "Output file name " + long255 + ".jpeg is longer than the 255 bytes its folder allows"},
  };
  for (const Case& c : cases) {
    TOutputFiles files;
    EXPECT_FALSE(files.Claim(c.Output, c.Names)) << c.Output;
    EXPECT_EQ(files.Error().Text, c.Error);
  }
  // A name of 255 bytes is a name like any other; a companion one byte
  // longer cannot be made.
  TOutputFiles files;
  ASSERT_TRUE(
      files.Claim(dir / (long255 + ".jpg"), {dir / (long255 + ".jpg"), dir / (long255 + ".jpgw")}))
      << files.Error().Text;
  EXPECT_EQ(files.Create(dir / (long255 + ".jpgw"), O_WRONLY), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  WriteThrough(files, dir / (long255 + ".jpg"), "image");
  EXPECT_TRUE(files.Publish());
  EXPECT_EQ(ReadText(dir / (long255 + ".jpg")), "image");
}

TEST(OutputFiles, AFolderThatCannotBeWrittenIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes every folder";
  TempDir dir;
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::permissions(
      dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  TOutputFiles files;
  EXPECT_FALSE(files.Claim(dir / "ro/o.ers", {dir / "ro/o", dir / "ro/o.ers"}));
  EXPECT_EQ(files.Error().Text,
            "Output folder " + dir / "ro" + " cannot be written: Permission denied");
}
