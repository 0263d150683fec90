// Throughput of the WebDAV client against Apache on loopback, each figure
// beside raw libcurl doing the same transfer in the same run:
//   - a 256 MiB file read through Get in 64 KiB pieces vs one curl GET
//   - an upload through CloseAfterWrite vs one curl PUT
//   - parsing a 10,000-entry listing
// Usage: webdav_bench [MiB]   (default 256)
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/clients/webdav_multistatus.h"
#include "tests/integration/webdav_test_support.h"

using namespace hvm;
using namespace hvm::test;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// Keeps the bytes, as any reader that uses them must.
size_t Keep(char* data, size_t size, size_t count, void* sink) {
  auto* buffer = static_cast<std::vector<char>*>(sink);
  buffer->insert(buffer->end(), data, data + size * count);
  return size * count;
}

double RawGetKept(const std::string& url, uint64_t size) {
  std::vector<char> buffer;
  buffer.reserve(size);
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Keep);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &buffer);
  auto start = Clock::now();
  curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  return s;
}

double RawGet(const std::string& url) {
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Discard);
  auto start = Clock::now();
  curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  return s;
}

double RawPut(const std::string& url, const std::string& file, uint64_t size) {
  FILE* in = std::fopen(file.c_str(), "rb");
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READDATA, in);
  curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Discard);
  auto start = Clock::now();
  curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  std::fclose(in);
  return s;
}

double ClientGet(TestSite& site, FileEntry* entry) {
  std::vector<uint8_t> piece;
  auto start = Clock::now();
  for (uint64_t offset = 0; offset < entry->size; offset += 65536) {
    if (site.Read(entry, offset, std::min<uint64_t>(offset + 65536, entry->size), piece) != STATUS_SUCCESS) {
      std::fprintf(stderr, "read failed at %llu\n", static_cast<unsigned long long>(offset));
      return -1;
    }
  }
  return Seconds(start);
}

double ClientPut(TestSite& site, const std::string& file) {
  FileEntry* entry = site.connection.entries.NewEntry(site.CachePath(u"\\up-client.bin"));
  entry->localCopy = open(file.c_str(), O_RDONLY);
  entry->flags |= kEntryWrittenLocally;
  OpenHandle handle;
  handle.entry = entry;
  ReplyArea reply = site.Reply(u"\\up-client.bin");
  auto start = Clock::now();
  NTSTATUS status = site.client->CloseAfterWrite(&handle, reply, 1, 0);
  double s = Seconds(start);
  return status == STATUS_SUCCESS ? s : -1;
}

std::string Listing(int count) {
  std::string xml = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\">";
  for (int i = 0; i <= count; ++i) {
    xml += "<D:response><D:href>/dav/" + (i ? "file" + std::to_string(i) + ".txt" : std::string()) +
           "</D:href><D:propstat><D:prop><D:creationdate>2021-03-04T05:06:07Z</D:creationdate>"
           "<D:getlastmodified>Thu, 04 Mar 2021 05:06:07 GMT</D:getlastmodified><D:getcontentlength>1234"
           "</D:getcontentlength><D:resourcetype/></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat>"
           "</D:response>";
  }
  return xml + "</D:multistatus>";
}

}  // namespace

int main(int argc, char** argv) {
  setenv("HVM_SOURCE_DIR", HVM_SOURCE_DIR_PATH, 0);
  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  uint64_t size = mib << 20;
  ServerScript apache("apache_webdav.sh");
  if (!apache.ok()) {
    std::fprintf(stderr, "Apache did not start\n");
    return 1;
  }
  std::string file = apache.DataDir() + "/big.bin";
  WriteFile(file, Pattern(size));
  RecordingUi ui;
  SetCurrentUi(&ui);

  TestSite site(apache.Url("/dav/"));
  site.List();
  FileEntry* entry = site.Entry(u"\\big.bin");
  RawGet(apache.Url("/dav/big.bin"));  // warm the page cache
  double raw = RawGet(apache.Url("/dav/big.bin"));
  double client = ClientGet(site, entry);
  double raw2 = RawGet(apache.Url("/dav/big.bin"));
  double rawBest = std::min(raw, raw2);
  double kept = RawGetKept(apache.Url("/dav/big.bin"), size);
  std::printf("GET  %llu MiB: raw curl %.3f s (%.0f MiB/s), Get in 64 KiB pieces %.3f s (%.0f MiB/s), ratio %.2f\n",
              static_cast<unsigned long long>(mib), rawBest, mib / rawBest, client, mib / client, rawBest / client);
  std::printf("     raw curl keeping the bytes in memory %.3f s (%.0f MiB/s), ratio of Get to it %.2f\n", kept,
              mib / kept, kept / client);

  double rawPut = RawPut(apache.Url("/dav/up-raw.bin"), file, size);
  double clientPut = ClientPut(site, file);
  double rawPut2 = RawPut(apache.Url("/dav/up-raw.bin"), file, size);
  double rawPutBest = std::min(rawPut, rawPut2);
  std::printf("PUT  %llu MiB: raw curl %.3f s (%.0f MiB/s), CloseAfterWrite %.3f s (%.0f MiB/s), ratio %.2f\n",
              static_cast<unsigned long long>(mib), rawPutBest, mib / rawPutBest, clientPut, mib / clientPut,
              rawPutBest / clientPut);

  std::string xml = Listing(10000);
  MultistatusScope scope{u"site1", u"/dav", u"", false};
  auto start = Clock::now();
  MultistatusResult result = ParseMultistatusText(xml, scope);
  double parse = Seconds(start);
  std::printf("LIST 10,000 entries (%zu KiB): parsed in %.3f s, %zu items, error %d\n", xml.size() / 1024, parse,
              result.items.size(), result.error);
  SetCurrentUi(nullptr);
  return 0;
}
