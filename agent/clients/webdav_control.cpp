// The shell commands the WebDAV client answers: quota, search, versions,
// labels, allowed methods, server-side folder copy/move/delete.
// Output: the message field is the record's text area from offset 248; the
// quota's two 64-bit numbers (available, used) are stored there instead.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>

#include "agent/clients/webdav_client.h"
#include "agent/clients/webdav_listing_bodies.h"
#include "agent/clients/webdav_multistatus.h"
#include "agent/clients/webdav_xml.h"
#include "agent/service/path_forms.h"
#include "common/moorlib.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

constexpr size_t kAnswerTextOffset = offsetof(InternalRequest, target);
constexpr size_t kAnswerTextChars = (offsetof(InternalRequest, result) - kAnswerTextOffset) / 2;  // 520

std::string Text(const xmlNode* node) {
  std::string out;
  for (const xmlNode* c = node ? node->children : nullptr; c && out.size() < 4096; c = c->next) {
    if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
      out += reinterpret_cast<const char*>(c->content);
    else if (c->type == XML_ELEMENT_NODE)
      out += Text(c) + " ";
  }
  return Trimmed(out);
}

void SetAnswerText(InternalRequest* answer, std::u16string_view text) {
  if (!answer) return;
  auto* area = reinterpret_cast<char16_t*>(reinterpret_cast<uint8_t*>(answer) + kAnswerTextOffset);
  size_t n = std::min(text.size(), kAnswerTextChars - 1);
  std::memcpy(area, text.data(), n * 2);
  area[n] = 0;
}

// "X:\a\b" -> the server path under the connection's base.
std::u16string ServerPathOfDrivePath(const Connection& c, std::u16string_view drivePath) {
  if (drivePath.size() >= 2 && drivePath[1] == u':') drivePath.remove_prefix(2);
  return ServerPathOf(c, c.RootPath() + std::u16string(drivePath));
}

struct Version {
  std::u16string name, creator, labels, href;
};

// Open version reports by file path; shown as "<name> - Versions" folders.
std::mutex reportsLock;
std::map<std::u16string, std::vector<Version>> openReports;

}  // namespace

NTSTATUS WebDavClient::Control(uint32_t code, FileEntry* entry, ReplyArea& reply, InternalRequest* answer,
                               uint32_t* information, const InternalRequest* request) {
  auto finish = [&](int32_t status) -> NTSTATUS {
    CloseRequest();
    if (answer) answer->result = static_cast<uint32_t>(status);
    if (IsSuccessStatus(status)) return STATUS_SUCCESS;
    SetAnswerText(answer, ErrorText(static_cast<uint32_t>(status)));
    SetReplyMessage(reply, static_cast<uint32_t>(status));
    return STATUS_UNSUCCESSFUL;
  };
  std::u16string path = reply.serverPath.empty() ? siteUrl_ : reply.serverPath;
  switch (code) {
    case kControlQuota: {
      std::string body = QuotaBody();
      int32_t status = PerformRequest('D', nullptr, siteUrl_, nullptr, {}, &body, 0, 0, nullptr);
      if (status < 200 || status >= 400) return finish(status);
      std::string xml;
      DWORD error = ReadReplyText(xml);
      CloseRequest();
      XmlDocument doc(error ? nullptr : ParseXmlReply(xml, "reply.xml"));
      const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
      if (!root || !root->ns) {
        WideDbgPrint(u"*** xmlParseQuota Invalid root element \n");
        return STATUS_UNSUCCESSFUL;
      }
      const char* dav = reinterpret_cast<const char*>(root->ns->href);
      const xmlNode* response = ChildElement(root, dav, "response");
      const xmlNode* propstat = ChildElement(response, dav, "propstat");
      const xmlNode* prop = ChildElement(propstat, dav, "prop");
      if (!ChildElement(response, dav, "href")) return WideDbgPrint(u"*** xmlParseQuota Missing href \n"), STATUS_UNSUCCESSFUL;
      if (!propstat) return WideDbgPrint(u"*** xmlParseQuota Missing propstat\n"), STATUS_UNSUCCESSFUL;
      if (!prop) return WideDbgPrint(u"*** xmlParseQuota Missing prop\n"), STATUS_UNSUCCESSFUL;
      uint64_t figures[2] = {std::strtoull(Text(ChildElement(prop, dav, "quota-available-bytes")).c_str(), nullptr, 10),
                             std::strtoull(Text(ChildElement(prop, dav, "quota-used-bytes")).c_str(), nullptr, 10)};
      if (answer) std::memcpy(reinterpret_cast<uint8_t*>(answer) + kAnswerTextOffset, figures, sizeof figures);
      if (information) *information = sizeof figures;
      return STATUS_SUCCESS;
    }
    case kControlSearch: {
      std::u16string text = request ? std::u16string(WideField(request->destination, kPathChars)) : u"";
      std::string body = SearchBody(UrlOf(path), text);
      int32_t status = PerformRequest('F', entry, siteUrl_, nullptr, {}, &body, 0, 0, nullptr);
      if (status < 200 || status >= 400) return finish(status);
      std::string xml;
      ReadReplyText(xml);
      CloseRequest();
      XmlDocument doc = ParseXmlReply(xml, "reply.xml");
      const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
      if (!root || !root->ns) return SetAnswerText(answer, u"Invalid xml"), STATUS_UNSUCCESSFUL;
      const char* dav = reinterpret_cast<const char*>(root->ns->href);
      std::u16string found;
      for (const xmlNode* r = root->children; r; r = r->next) {
        std::u16string name;
        if (IsElement(r, dav, "response") && HrefToSitePath(Utf8ToUtf16(Text(ChildElement(r, dav, "href"))), siteUrl_, name))
          found += name + u"\n";
      }
      SetAnswerText(answer, found);
      if (information) *information = static_cast<uint32_t>(found.size());
      return STATUS_SUCCESS;
    }
    case kControlCheckin: return finish(PerformRequest('I', entry, path, nullptr, {}, nullptr, 0, 0, nullptr));
    case kControlUncheckout: return finish(PerformRequest('K', entry, path, nullptr, {}, nullptr, 0, 0, nullptr));
    case kControlCheckout: {
      int32_t status = PerformRequest('V', entry, path, nullptr, {}, nullptr, 0, 0, nullptr);
      if (status < 200 || status >= 400) return finish(status);
      return finish(PerformRequest('S', entry, path, nullptr, {}, nullptr, 0, 0, nullptr));
    }
    case kControlLabel: {
      std::string body;
      std::u16string label = request ? std::u16string(WideField(request->destination, kPathChars)) : u"";
      if (!LabelBody(label, body)) return finish(400);
      return finish(PerformRequest('B', entry, path, nullptr, {}, &body, 0, 0, nullptr));
    }
    case kControlOptions: {
      int32_t status = PerformRequest('O', entry, path, nullptr, {}, nullptr, 0, 0, nullptr);
      std::string allow = transport_.Header("Allow");
      NTSTATUS result = finish(status);
      if (result == STATUS_SUCCESS) SetAnswerText(answer, Utf8ToUtf16(allow).substr(0, 519));
      return result;
    }
    case kControlFolderCopy:
    case kControlFolderMove:
    case kControlFolderDelete: {
      if (!request) return STATUS_INVALID_PARAMETER;
      std::u16string source = ServerPathOfDrivePath(*connection_, WideField(request->target, kPathChars));
      if (source.back() != u'/') source += u'/';
      std::u16string target = ServerPathOfDrivePath(*connection_, WideField(request->destination, kPathChars));
      char kind = code == kControlFolderCopy ? 'C' : code == kControlFolderMove ? 'R' : 'E';
      return finish(PerformRequest(kind, nullptr, source, nullptr, target, nullptr, 0, 0, nullptr));
    }
    case kControlVersionReport: return VersionReport(entry, reply, answer);
    case kControlCloseReport: {
      std::lock_guard<std::mutex> guard(reportsLock);
      std::u16string key = entry ? std::u16string(entry->Path()) : u"";
      if (!openReports.erase(key)) {
        SetAnswerText(answer, u"There is no opened report for the file");
        return STATUS_SUCCESS;
      }
      if (FileEntry* folder = connection_->entries.LookUp(key + u" - Versions")) {
        std::vector<FileEntry*> doomed;
        for (auto it = connection_->entries.Find(folder); it != connection_->entries.end(); ++it) {
          if (!PathIsAtOrBelow((*it)->Path(), folder->Path())) break;
          doomed.push_back(*it);
        }
        for (auto e = doomed.rbegin(); e != doomed.rend(); ++e) connection_->entries.DiscardEntry(*e, true);
      }
      return STATUS_SUCCESS;
    }
    default: return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS WebDavClient::VersionReport(FileEntry* entry, ReplyArea& reply, InternalRequest* answer) {
  if (!entry) return STATUS_INVALID_PARAMETER;
  std::string body = VersionTreeBody();
  int32_t status = PerformRequest('P', entry, reply.serverPath, nullptr, {}, &body, 0, 0, nullptr);
  if (status < 200 || status >= 400) {
    CloseRequest();
    SetAnswerText(answer, ErrorText(static_cast<uint32_t>(status)));
    return STATUS_UNSUCCESSFUL;
  }
  std::string xml;
  ReadReplyText(xml);
  CloseRequest();
  XmlDocument doc = ParseXmlReply(xml, "reply.xml");
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || !root->ns) return SetAnswerText(answer, u"Invalid xml"), STATUS_UNSUCCESSFUL;
  const char* dav = reinterpret_cast<const char*>(root->ns->href);
  std::vector<Version> versions;
  for (const xmlNode* r = root->children; r; r = r->next) {
    if (!IsElement(r, dav, "response")) continue;
    const xmlNode* href = ChildElement(r, dav, "href");
    if (!href) {
      Ask(u"xmlParseReport Missing href", connection_->Name(), MB_OK | MB_ICONERROR);
      return STATUS_UNSUCCESSFUL;
    }
    const xmlNode* prop = ChildElement(ChildElement(r, dav, "propstat"), dav, "prop");
    Version v{Utf8ToUtf16(Text(ChildElement(prop, dav, "version-name"))),
              Utf8ToUtf16(Text(ChildElement(prop, dav, "creator-displayname"))),
              Utf8ToUtf16(Text(ChildElement(prop, dav, "label-name-set"))), Utf8ToUtf16(Text(href))};
    versions.push_back(std::move(v));
  }
  if (versions.empty()) return SetAnswerText(answer, u"There is no report"), STATUS_UNSUCCESSFUL;
  std::u16string folderPath = std::u16string(entry->Path()) + u" - Versions";
  FileEntry* folder = connection_->entries.LookUp(folderPath);
  if (!folder) folder = connection_->entries.NewEntry(folderPath);
  if (!folder) return STATUS_INSUFFICIENT_RESOURCES;
  folder->flags |= kEntryDirectory;
  folder->parent = entry->parent;
  folder->creationTime = folder->lastWriteTime = folder->changeTime = NowFileTime();
  for (const Version& v : versions) {
    std::u16string name = v.name.empty() ? u"version" : v.name;
    if (!v.creator.empty()) name += u" (" + v.creator + u")";
    // Both texts are the server's: neither may add a level to the path.
    for (char16_t& c : name)
      if (c == u'\\' || c == u'/' || c < 0x20 || c == 0x7F) c = u'_';
    FileEntry* child = connection_->entries.LookUp(folderPath + u"\\" + name);
    if (!child) child = connection_->entries.NewEntry(folderPath + u"\\" + name);
    if (!child) break;
    child->parent = folder;
    child->flags |= kEntryReadOnly;
    child->size = entry->size;
    child->creationTime = child->lastWriteTime = child->changeTime = entry->lastWriteTime;
  }
  std::lock_guard<std::mutex> guard(reportsLock);
  openReports[std::u16string(entry->Path())] = std::move(versions);
  return STATUS_SUCCESS;
}

}  // namespace hvm
