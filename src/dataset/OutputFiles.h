// The files of one output are built aside and published whole: each is
// created under a temporary name of its own in the output's folder and
// renamed over its final name only when the job has succeeded, the output's
// own name (the header of the header formats) last. A job that fails or is
// killed leaves what the names held before; two jobs never write the same
// names at once.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace mirava {

class TOutputFiles {
 public:
  TOutputFiles() = default;
  // Removes what was not published and releases the claim.
  ~TOutputFiles();
  TOutputFiles(const TOutputFiles&) = delete;
  TOutputFiles& operator=(const TOutputFiles&) = delete;

  // Claims `outputName` and `names`, every file the output may write (its
  // own name among them): they must differ from each other, be no folder,
  // the output's own name must fit the file system, lie in a folder that exists and can be written,
  // and no other job may hold them. The temporaries a killed job left for
  // them are removed. False with ErrorText.
  bool Claim(const std::string& outputName, const std::vector<std::string>& names);
  // Whether any of the names held a file when they were claimed.
  bool HadFiles() const { return HadAny; }

  // Creates the file that is to become `name`, open for `access` (O_RDWR or
  // O_WRONLY): a temporary of its own, created exclusively, so never through
  // a link. -1 with errno set on failure. A second file for the same name
  // replaces the first.
  int Create(const std::string& name, int access);
  // Removes the file made for `name`; false when none was.
  bool Discard(const std::string& name);
  // Removes the claimed names this output did not write (they belong to a
  // former output), then renames every file made over its name, the
  // output's own name last. False with ErrorText when a step failed.
  bool Publish();
  // Removes every file made; the names keep what they held.
  void DiscardAll();

  const std::string& ErrorText() const { return Error; }

  // While a scope lives, the files its thread creates through
  // CreateOutputFile belong to the set.
  class TScope {
   public:
    explicit TScope(TOutputFiles& files);
    ~TScope();
    TScope(const TScope&) = delete;
    TScope& operator=(const TScope&) = delete;

   private:
    TOutputFiles* Previous;
  };

 private:
  bool Refuse(std::string text);
  void Release();

  std::string OutputName;
  std::string Folder;
  std::vector<std::string> Names;
  std::string Key;  // names the lock and the temporaries of these names
  int FolderFd = -1;
  int LockFd = -1;
  size_t Longest = 255;  // bytes of a name in the folder
  bool HadAny = false;
  std::vector<std::pair<std::string, std::string>> Made;  // final name, temporary
  std::string Error;
};

// Opens `name` for writing, new and empty: through the set active on this
// thread, when there is one, otherwise at `name` itself. -1 with errno set.
int CreateOutputFile(const std::string& name, int access);
// Removes what CreateOutputFile made for `name`, which is not to be kept.
void DiscardOutputFile(const std::string& name);

}  // namespace mirava
