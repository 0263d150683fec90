// The shared data area of a Connection: an anonymous memory file (memfd) the
// driver makes and seals, so that its size can never change under either
// side, and the agent maps after checking what it was handed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace hvm {

// The seals the driver puts on an area: no shrinking (a mapping past the end
// would fault), no growing, and no changing the seals again.
int DataAreaSeals();

// A new sealed area of size bytes (zeros); the descriptor is close-on-exec.
// -1 with errno when it cannot be made.
int MakeDataArea(size_t size);

// True when fd is a memory file of exactly size bytes that carries the seals:
// anything else (a plain file, an unsealed or resized area) is not mapped.
bool IsSealedDataArea(int fd, size_t size);

// A shared read-write mapping of a whole area; unmapped when destroyed.
class DataAreaMapping {
 public:
  // nullptr (errno set) when fd cannot be mapped.
  static std::unique_ptr<DataAreaMapping> Map(int fd, size_t size);
  ~DataAreaMapping();
  DataAreaMapping(const DataAreaMapping&) = delete;
  DataAreaMapping& operator=(const DataAreaMapping&) = delete;

  uint8_t* base() const { return base_; }
  size_t size() const { return size_; }

 private:
  DataAreaMapping(uint8_t* base, size_t size) : base_(base), size_(size) {}
  uint8_t* base_;
  size_t size_;
};

}  // namespace hvm
