// Choosing and attaching a site's protocol client.
#include "agent/clients/client_factory.h"

#include <array>
#include <mutex>

#include "agent/service/ntstatus.h"
#include "common/moorlib.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kKindCount = 6;

struct Registry {
  std::mutex lock;
  std::array<ClientConstructor, kKindCount> constructors{};
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

ClientConstructor ConstructorOf(ClientKind kind) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.constructors[static_cast<size_t>(kind)];
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsWebDavKind(ClientKind kind) {
  return kind == ClientKind::WebDav || kind == ClientKind::HttpListing;
}

}  // namespace

void RegisterClientConstructor(ClientKind kind, ClientConstructor constructor) {
  size_t index = static_cast<size_t>(kind);
  if (index == 0 || index >= kKindCount) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.constructors[index] = constructor;
}

bool IsClientAvailable(ClientKind kind) {
  size_t index = static_cast<size_t>(kind);
  return index > 0 && index < kKindCount && ConstructorOf(kind) != nullptr;
}

const char16_t* ClientKindName(ClientKind kind) {
  switch (kind) {
    case ClientKind::WebDav: return u"WebDavClient";
    case ClientKind::HttpListing: return u"HttpListingClient";
    case ClientKind::Ftp: return u"FtpClient";
    case ClientKind::Sftp: return u"SftpClient";
    case ClientKind::File: return u"FileClient";
    case ClientKind::None: break;
  }
  return u"no client";
}

ClientKind ChooseClientKind(std::u16string_view url, uint32_t siteFlags, bool fileSitesEnabled) {
  // ftps:// (TLS from the start) and ftpes:// (AUTH TLS) are FTP sites too, not WebDAV ones.
  if (StartsWithNoCase(url, u"ftp:") || StartsWithNoCase(url, u"ftps:") || StartsWithNoCase(url, u"ftpes:"))
    return ClientKind::Ftp;
  if (StartsWithNoCase(url, u"sftp:")) return ClientKind::Sftp;
  if (StartsWithNoCase(url, u"file:")) return fileSitesEnabled ? ClientKind::File : ClientKind::None;
  if (siteFlags & kSitePropfindGet) return ClientKind::HttpListing;
  return ClientKind::WebDav;
}

void DetachClient(Connection& connection) {
  if (connection.client) connection.client->Shutdown();
  connection.client.reset();
  connection.clientKind = ClientKind::None;
}

NTSTATUS AttachClient(Connection& connection, bool fileSitesEnabled, std::u16string& reason) {
  reason.clear();
  if (connection.site == nullptr) {
    reason = u"The connection has no site.";
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string_view url = WideField(connection.site->url, kSiteUrlChars);
  ClientKind kind = ChooseClientKind(url, connection.site->flags, fileSitesEnabled);
  if (connection.client && connection.clientKind != kind) DetachClient(connection);
  if (kind == ClientKind::None) {
    reason = u"Local folder sites are not enabled; the site cannot be served.";
    return STATUS_NOT_SUPPORTED;
  }
  if (!connection.client) {
    ClientConstructor make = ConstructorOf(kind);
    if (make == nullptr) {
      reason = FormatWide(u"The %ws for this site's address is not available in this build.",
                          ClientKindName(kind));
      WideDbgPrint(u"%ws\n", reason.c_str());
      return STATUS_NOT_SUPPORTED;
    }
    connection.client = make(connection);
    if (!connection.client) {
      reason = FormatWide(u"The %ws could not be created.", ClientKindName(kind));
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    connection.clientKind = kind;
    if (IsWebDavKind(kind) && connection.site->ignoreCertificateWarning)
      connection.client->SetSecurityFlags(kIgnoreCertificateFlags);
  }
  NTSTATUS status = connection.client->Open();
  if (status != STATUS_SUCCESS) {
    const char16_t* text = connection.client->ErrorText(status);
    reason = FormatWide(u"The %ws could not open the site (status %lx): %ws",
                        ClientKindName(kind), static_cast<unsigned long>(status),
                        text != nullptr ? text : u"");
    DetachClient(connection);
  }
  return status;
}

}  // namespace hvm
