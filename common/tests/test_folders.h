// Temporary runtime and state folders so that tests never touch a running agent's.
#pragma once
#include <string>

namespace hvm::testing {

// A fresh folder under $TMPDIR, removed with its contents at destruction.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The whole text of a file, empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace hvm::testing
