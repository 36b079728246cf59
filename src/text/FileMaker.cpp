#include "text/FileMaker.h"

#include <fcntl.h>
#include <unistd.h>

namespace mirava {

namespace {

class TFilesInPlace : public TFileMaker {
 public:
  int Create(const std::string& name, int access) override {
    return open(name.c_str(), access | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  bool Discard(const std::string& name) override { return unlink(name.c_str()) == 0; }
};

}  // namespace

TFileMaker& FilesInPlace() {
  static TFilesInPlace files;
  return files;
}

}  // namespace mirava
