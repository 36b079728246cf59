// Jobs given less memory than their images: stores that hold a whole image
// wait on the disk and give the same files; what cannot wait there is
// refused with its figures before anything is written. And a compressed
// input cut short while it is decoded fails like any other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TestUtil.h"

using namespace mirava::test;

extern char** environ;

namespace {

// The job's files beside its output whose names end in `ending` (a lock is
// taken before the input is opened, a temporary made once it is).
bool HasJobFiles(const TempDir& dir, const std::string& ending = "") {
  for (const auto& entry : std::filesystem::directory_iterator(dir.str())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".mirava-") && name.ends_with(ending)) return true;
  }
  return false;
}

void MakeTiff(const std::string& options, int side, const std::string& path) {
  ASSERT_EQ(Run("gdal_translate -q -r bilinear -outsize " + std::to_string(side) + " " +
                std::to_string(side) + " " + options + " " + Quote(Sample("logo.tif")) + " " +
                Quote(path))
                .ExitCode,
            0);
}

TEST(TightMemory, WholeImagesWaitOnTheDiskAndTheFilesAreTheSame) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  MakeTiff("-co COMPRESS=DEFLATE", 1200, dir / "in.tif");
  // 17 MiB leave the stores half a MiB: every image here is larger.
  for (const std::string out : {"o.jpg", "o.ecw"}) {
    for (const std::string memory : {"--memory=4096", "--memory=17"}) {
      const CommandResult job =
          RunCli({dir / "in.tif", dir / memory.substr(9) + out, "/3", memory});
      ASSERT_EQ(job.ExitCode, 0) << job.Output;
    }
    EXPECT_TRUE(ReadBytes(dir / ("4096" + out)) == ReadBytes(dir / ("17" + out))) << out;
  }
  for (const std::string memory : {"--memory=4096", "--memory=17"}) {
    const CommandResult job =
        RunCli({dir / "4096o.jpg", dir / memory.substr(9) + "back.tif", memory});
    ASSERT_EQ(job.ExitCode, 0) << job.Output;
  }
  EXPECT_TRUE(ReadBytes(dir / "4096back.tif") == ReadBytes(dir / "17back.tif"));
}

TEST(TightMemory, WhatCannotWaitOnTheDiskIsRefusedWithItsFigures) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  MakeTiff("-co COMPRESS=DEFLATE -co TILED=YES -co BLOCKXSIZE=512 -co BLOCKYSIZE=512", 600,
           dir / "tiles.tif");
  const CommandResult job = RunCli({dir / "tiles.tif", dir / "o.ers", "--memory=17"});
  EXPECT_EQ(job.ExitCode, 1);
  EXPECT_NE(
      job.Output.find("Decoding tiles of 512 x 512 pixels needs 2 MiB; the job may use 17 MiB"),
      std::string::npos)
      << job.Output;
  EXPECT_NE(job.Output.find("No output was written"), std::string::npos) << job.Output;
  EXPECT_FALSE(Exists(dir / "o.ers"));
  EXPECT_EQ(RunCli({dir / "tiles.tif", dir / "o.ers", "--memory=20"}).ExitCode, 0);
  MakeTiff("-of JPEG -co PROGRESSIVE=ON", 1200, dir / "progressive.jpg");
  const CommandResult progressive = RunCli({dir / "progressive.jpg", dir / "o.ers", "--memory=4"});
  EXPECT_EQ(progressive.ExitCode, 1);
  EXPECT_NE(progressive.Output.find("JPEG input of 1200 x 1200 x 3 (its coefficients are held "
                                    "whole while it decodes) needs 9 MiB; the job may use 4 MiB"),
            std::string::npos)
      << progressive.Output;
  EXPECT_EQ(RunCli({dir / "progressive.jpg", dir / "o.ers"}).ExitCode, 0);
}

// The decoders keep little ahead of the job under --memory=17, so most of
// the input is still to be decoded when it is cut.
TEST(TightMemory, ACompressedInputCutShortWhileDecodedFails) {
  if (!HaveGdal()) GTEST_SKIP() << "GDAL not installed";
  TempDir dir;
  const std::string in = dir / "in.tif";
  MakeTiff("-co COMPRESS=DEFLATE -co BLOCKYSIZE=16", 6000, in);
  std::vector<std::string> args{MIRAVA_CLI, in, dir / "o.ers", "--memory=17"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log = dir / "job.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!HasJobFiles(dir, ".tmp") && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(pid, SIGSTOP);
  std::filesystem::resize_file(in, std::filesystem::file_size(in) / 4);
  kill(pid, SIGCONT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  const std::string output = ReadText(log);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << output;
  EXPECT_EQ(WEXITSTATUS(status), 1) << output;
  EXPECT_NE(output.find("Reading " + in + " failed: "), std::string::npos) << output;
  EXPECT_NE(output.find("Read error"), std::string::npos) << output;
  EXPECT_NE(output.find("No output was written"), std::string::npos) << output;
  EXPECT_FALSE(Exists(dir / "o.ers"));
  EXPECT_FALSE(HasJobFiles(dir));
}

}  // namespace
