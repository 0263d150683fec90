#include "agent/service/connection.h"

#include "agent/clients/remote_client.h"
#include "platform/wide_text.h"

namespace hvm {

Connection::Connection() = default;

Connection::~Connection() {
  auto self = std::this_thread::get_id();
  if (loopThread.joinable() && loopThread.get_id() != self) loopThread.join();
  wake.notify_all();
  if (refreshThread.joinable() && refreshThread.get_id() != self) refreshThread.join();
  if (loopThread.joinable()) loopThread.detach();
  if (refreshThread.joinable()) refreshThread.detach();
  // The client goes before the entries it may still point at.
  if (client) client->Shutdown();
  client.reset();
  openHandles.Clear();
}

std::u16string_view Connection::Name() const {
  if (site == nullptr) return {};
  return WideField(site->name, kSiteNameChars);
}

char Connection::DriveLetter() const {
  if (site == nullptr) return 0;
  return site->mappedDrive != 0 ? site->mappedDrive : site->drive[0];
}

std::u16string Connection::RootPath() const {
  std::u16string root = u"\\QUENLODE\\";
  root += Name();
  return root;
}

}  // namespace hvm
