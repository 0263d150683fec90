// Opens that live for a few requests only: the look-up probe, delete, make
// directory, rename and changes by path. They carry no FCB (token 0) and end
// with cleanup and close like any open.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "driver/forward.h"
#include "driver/namespace.h"

namespace hvm::driver {

struct ShortHandle {
  Connection* connection = nullptr;
  uint32_t fileObject = 0;
  uint64_t size = 0;
  // Opened by name (OpenShort), so no FCB stands behind size: it is what the
  // agent said at the open, and other opens may have moved the file since.
  bool byName = false;
};

// The size a request on the handle carries: an open by name leaves the
// agent's own size as it is.
inline uint64_t CarriedSize(const ShortHandle& handle) {
  return handle.byName ? kSizeOfNoFcb : handle.size;
}

// errno of a finished request: EINTR when interrupted, EIO when the channel
// failed (silent agent, suspended Connection), else the status's errno.
int ErrnoOf(const ForwardResult& result);
// The same for a request on an open file: a file removed while open answers
// ESTALE (its name may already belong to a new file), not ENOENT.
int ErrnoOfOpenFile(const ForwardResult& result);

void OpenShort(Connection* conn, const std::u16string& fullName, uint32_t disposition,
               uint32_t options, uint32_t access, uint64_t operation, uint8_t flags,
               std::function<void(const ShortHandle&, ForwardResult&)> then);
// One request on the handle, kept next in line so a sequence stays together.
void OnShort(const ShortHandle& handle, ForwardPtr forward, ForwardDone then);
// Cleanup (waiting for a pending upload) then close; then receives the
// cleanup's errno.
void CloseShort(const ShortHandle& handle, std::function<void(int error)> then);

// The attributes of a full name: open, query, cleanup, close.
void ProbeAttributes(Connection* conn, const std::u16string& fullName, uint64_t operation,
                     std::function<void(int error, const RemoteAttr& attr)> then);

}  // namespace hvm::driver
