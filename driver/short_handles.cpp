#include "driver/short_handles.h"

#include <cerrno>

#include "driver/info_records.h"
#include "driver/requests.h"
#include "driver/status_errno.h"

namespace hvm::driver {

int ErrnoOf(const ForwardResult& result) {
  if (result.interrupted) return EINTR;
  if (result.channelFailure) return EIO;
  return ErrnoFromStatus(result.status);
}

int ErrnoOfOpenFile(const ForwardResult& result) {
  if (!result.interrupted && !result.channelFailure && result.status == STATUS_FILE_DELETED)
    return ESTALE;
  return ErrnoOf(result);
}

void OpenShort(Connection* conn, const std::u16string& fullName, uint32_t disposition,
               uint32_t options, uint32_t access, uint64_t operation, uint8_t flags,
               std::function<void(const ShortHandle&, ForwardResult&)> then) {
  ShortHandle handle{conn, NewFileObjectId(), 0, true};
  auto create = CreateRequest(fullName, disposition, options, access, 0, handle.fileObject, flags);
  create->operation = operation;
  create->done = [handle, then](ForwardResult& result) mutable {
    if (result.status == STATUS_SUCCESS) handle.size = DecodeCreateReply(result).size;
    then(handle, result);
  };
  Send(conn, create);
}

void OnShort(const ShortHandle& handle, ForwardPtr forward, ForwardDone then) {
  forward->done = std::move(then);
  Send(handle.connection, std::move(forward), true);
}

void CloseShort(const ShortHandle& handle, std::function<void(int error)> then) {
  auto finishWithClose = [handle, then](int cleanupError) {
    auto close = PlainRequest(MJ_CLOSE, handle.fileObject, CarriedSize(handle));
    close->done = [then, cleanupError](ForwardResult&) { then(cleanupError); };
    Send(handle.connection, close, true);
  };
  auto cleanup = PlainRequest(MJ_CLEANUP, handle.fileObject, CarriedSize(handle));
  cleanup->onPendingDone = [finishWithClose](NTSTATUS status, uint32_t, bool timedOut) {
    finishWithClose(timedOut ? EIO : ErrnoFromStatus(status));
  };
  cleanup->done = [finishWithClose](ForwardResult& result) {
    if (result.status == STATUS_PENDING) return;  // onPendingDone finishes it
    finishWithClose(ErrnoOf(result));
  };
  Send(handle.connection, cleanup, true);
}

void ProbeAttributes(Connection* conn, const std::u16string& fullName, uint64_t operation,
                     std::function<void(int error, const RemoteAttr& attr)> then) {
  OpenShort(conn, fullName, FILE_OPEN, 0, FILE_READ_ATTRIBUTES, operation, 0,
            [then](const ShortHandle& handle, ForwardResult& opened) {
              if (opened.status != STATUS_SUCCESS) {
                then(ErrnoOf(opened), RemoteAttr{});
                return;
              }
              auto query = QueryInfoRequest(handle.fileObject, CarriedSize(handle),
                                            FileNetworkOpenInformation, kNetworkOpenSize);
              OnShort(handle, query, [handle, then](ForwardResult& answer) {
                auto attr = DecodeNetworkOpen(answer.data, answer.information);
                int error = answer.status != STATUS_SUCCESS ? ErrnoOf(answer) : (attr ? 0 : EIO);
                RemoteAttr value = attr.value_or(RemoteAttr{});
                CloseShort(handle, [then, error, value](int) { then(error, value); });
              });
            });
}

}  // namespace hvm::driver
