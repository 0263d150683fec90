// The choice of a site's protocol client by its URL's scheme, and attaching it
// to the Connection. Clients register their constructors here, so the factory
// links without them; a kind nobody registered is reported unavailable.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "agent/clients/remote_client.h"
#include "agent/service/connection.h"

namespace hvm {

enum class ClientKind : uint8_t {
  None = 0,
  WebDav,
  HttpListing,  // a WebDAV client listing folders from HTML index pages ("PropfindGet")
  Ftp,
  Sftp,
  File,         // a site connected offline, served from its local tree
};

using ClientConstructor = std::unique_ptr<RemoteClient> (*)(Connection& connection);

// Registers (or, with nullptr, withdraws) the constructor of a kind. Called at
// start-up by the program, e.g. RegisterClientConstructor(ClientKind::WebDav, MakeWebDavClient).
void RegisterClientConstructor(ClientKind kind, ClientConstructor constructor);
bool IsClientAvailable(ClientKind kind);
const char16_t* ClientKindName(ClientKind kind);  // u"WebDavClient", ...

// ftp:, ftps: and ftpes: → Ftp; sftp: → Sftp; file: → File (None when local file
// sites are not enabled); anything else → HttpListing with "PropfindGet", else WebDav.
ClientKind ChooseClientKind(std::u16string_view url, uint32_t siteFlags, bool fileSitesEnabled);

// Chooses the client for the connection's site, keeps an attached client of
// the same kind or replaces it (Shutdown, then delete), sets the certificate
// flags of a WebDAV kind whose site ignores certificate warnings, and calls
// Open. On any failure the connection is left without a client, the result is
// not 0 and reason tells the user why.
NTSTATUS AttachClient(Connection& connection, bool fileSitesEnabled, std::u16string& reason);
// Shutdown last, then delete.
void DetachClient(Connection& connection);

}  // namespace hvm
