// The files of one output are built aside and published whole: each is
// created under a temporary name of its own in the output's folder and
// renamed over its final name only when the job has succeeded, the output's
// own name (the header of the header formats) last. Every file is locked on
// its own, so two jobs never write the same file at once, whatever names
// their outputs have. The former files are kept aside until the last rename
// is done and put back when one fails; a journal names them meanwhile, so
// that the next job on any of these files puts them back after a kill.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "raster/Error.h"
#include "text/FileMaker.h"

namespace mirava {

class TOutputFiles : public TFileMaker {
 public:
  TOutputFiles() = default;
  // Removes what was not published and releases the claim.
  ~TOutputFiles();
  TOutputFiles(const TOutputFiles&) = delete;
  TOutputFiles& operator=(const TOutputFiles&) = delete;

  // Claims `outputName` and `names`, every file the output may write (its
  // own name among them, all in one folder): they must differ from each
  // other, be no folder, the output's own name must fit the file system, lie
  // in a folder that exists and can be written, and no other job may hold
  // any of them. What a killed job left for them is undone: its temporaries
  // removed, a publish it began rolled back. False with Error().
  bool Claim(const std::string& outputName, const std::vector<std::string>& names);
  // Whether any of the names held a file when they were claimed.
  bool HadFiles() const { return HadAny; }

  // Creates the file that is to become `name`, open for `access` (O_RDWR or
  // O_WRONLY): a temporary of its own, created exclusively, so never through
  // a link. -1 with errno set on failure. A second file for the same name
  // replaces the first.
  int Create(const std::string& name, int access) override;
  // Removes the file made for `name`; false when none was.
  bool Discard(const std::string& name) override;
  // Renames every file made over its name, the output's own name last, and
  // removes the claimed names this output did not write (they belong to a
  // former output). Whether each step can succeed is checked first; when
  // one fails all the names hold their former files again. False with
  // Error(), whose text names the file.
  bool Publish();
  // Removes every file made; the names keep what they held.
  void DiscardAll();

  // Why the last Claim or Publish failed; no failure when it did not.
  const TError& Error() const { return Failure; }

 private:
  // A name of the output, as its folder lists it, with what names its lock,
  // temporaries and former file's copy.
  struct TName {
    std::string Path;
    std::string Entry;
    std::string Key;
    int LockFd = -1;
  };
  bool Refuse(TError error);
  // "Output folder <folder> cannot be written: <the system's text>".
  TError FolderUnwritable(int error) const;
  void Release();
  // Holds the lock of `entry` in the folder: its descriptor, or -1 with
  // `error` failed when the lock file cannot be made, used or written, or
  // with `error` no failure when another job holds it (the output it
  // writes in `holder`).
  int Lock(const std::string& entry, TError& error, std::string& holder);
  void Unlock(const std::string& entry, int fd);
  // Removes the locks of other names that no job holds, and their
  // temporaries: a killed job left them.
  void SweepFreeLocks(const std::vector<std::string>& entries);
  // Rolls back the publishes a killed job began on any of our names.
  bool Recover();
  // Why `entry` (which exists) cannot be replaced or removed; empty if it can.
  std::string ReplaceRefusal(const std::string& entry);
  // Puts back the former files of `entries` (entry, had a former file);
  // false when one could not be.
  bool RollBack(const std::vector<std::pair<std::string, bool>>& entries);

  std::string OutputName;
  std::string Folder;
  std::vector<TName> Names;
  int FolderFd = -1;
  size_t Longest = 255;  // bytes of a name in the folder
  bool HadAny = false;
  std::vector<std::pair<std::string, std::string>> Made;  // final name, temporary
  TError Failure;
};

}  // namespace mirava
