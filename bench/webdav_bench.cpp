// Throughput of the WebDAV client against Apache on loopback, each figure
// beside raw libcurl doing the same transfer in the same run:
//   - a 256 MiB file read through Get in 64 KiB pieces vs one curl GET whose
//     write callback receives the bytes (also shown: the bytes copied to a
//     64 KiB buffer, kept in memory, and fetched in 3 MiB ranged GETs)
//   - an upload through CloseAfterWrite vs one curl PUT
//   - parsing a 10,000-entry listing
// Usage: webdav_bench [MiB [rounds [get [piece KiB]]]]   (default 256 MiB, 5 rounds; "get": the read
// only; pieces of 64 KiB unless given, 1024 for the wide pieces of the mount)
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/clients/webdav_multistatus.h"
#include "platform/wide_text.h"
#include "tests/integration/webdav_test_support.h"

#include "bench/bench_timing.h"

using namespace hvm;
using namespace hvm::test;
using namespace hvm::bench;

namespace {

// Keeps the bytes, as any reader that uses them must.
size_t Keep(char* data, size_t size, size_t count, void* sink) {
  auto* buffer = static_cast<std::vector<char>*>(sink);
  buffer->insert(buffer->end(), data, data + size * count);
  return size * count;
}

// Hands the bytes to a reader's 64 KiB buffer, piece after piece: the least
// any reader of the bytes does, and what Get does for its caller.
size_t Deliver(char* data, size_t size, size_t count, void* sink) {
  auto* piece = static_cast<std::vector<char>*>(sink);
  for (size_t done = 0; done < size * count;) {
    size_t n = std::min(piece->size(), size * count - done);
    std::memcpy(piece->data(), data + done, n);
    done += n;
  }
  return size * count;
}

// One GET of the whole file; the write callback receives the bytes.
double RawGet(const std::string& url, curl_write_callback receive = &Discard, void* sink = nullptr) {
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
  auto start = Clock::now();
  curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  return s;
}

double RawGetKept(const std::string& url, uint64_t size) {
  std::vector<char> buffer;
  buffer.reserve(size);
  return RawGet(url, &Keep, &buffer);
}

double RawGetDelivered(const std::string& url) {
  std::vector<char> piece(65536);
  return RawGet(url, &Deliver, &piece);
}

// Ranged GETs of step bytes one after the other on one connection.
double RawGetRanges(const std::string& url, uint64_t size, uint64_t step) {
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Discard);
  auto start = Clock::now();
  for (uint64_t at = 0; at < size; at += step) {
    std::string range = std::to_string(at) + "-" + std::to_string(std::min(size, at + step) - 1);
    curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
    curl_easy_perform(c);
  }
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

// Reads the file as the request service does: each read counts, the pieces
// land in one reused buffer (no zero-fill, which is the caller's business).
uint64_t g_piece = 65536;

double ClientGet(TestSite& site, FileEntry* entry) {
  std::vector<uint8_t> piece(g_piece);
  ReplyArea reply = site.Reply(u"\\big.bin");
  auto start = Clock::now();
  for (uint64_t offset = 0; offset < entry->size; offset += g_piece) {
    entry->readCount++;
    uint64_t end = std::min<uint64_t>(offset + g_piece, entry->size);
    if (site.client->Get(entry, reply, offset, end, piece.data(), 0) != STATUS_SUCCESS) {
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

// Small new files one after another, as a program that writes many of them
// makes them: the client's upload at close of each, then raw curl sending
// the same requests on one connection.
constexpr int kSmallFiles = 1000;

double ClientSmallPuts(TestSite& site, const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY);
  auto start = Clock::now();
  for (int i = 0; i < kSmallFiles; ++i) {
    std::u16string name = u"\\client-" + Utf8ToUtf16(std::to_string(i)) + u".bin";
    FileEntry* entry = site.connection.entries.NewEntry(site.CachePath(name));
    entry->localCopy = dup(fd);
    entry->flags |= kEntryWrittenLocally;
    OpenHandle handle;
    handle.entry = entry;
    ReplyArea reply = site.Reply(name);
    if (site.client->CloseAfterWrite(&handle, reply, 1, 0) != STATUS_SUCCESS) return -1;
  }
  double s = Seconds(start);
  close(fd);
  return s;
}

double RawSmallPuts(const std::string& base, const std::string& file, uint64_t size) {
  CURL* c = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "If-None-Match: *");
  auto start = Clock::now();
  for (int i = 0; i < kSmallFiles; ++i) {
    FILE* in = std::fopen(file.c_str(), "rb");
    std::string url = base + "raw-" + std::to_string(i) + ".bin";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_READDATA, in);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Discard);
    CURLcode done = curl_easy_perform(c);
    std::fclose(in);
    if (done != CURLE_OK) return -1;
  }
  double s = Seconds(start);
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return s;
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
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  bool getOnly = argc > 3 && std::strcmp(argv[3], "get") == 0;
  if (argc > 4) g_piece = std::max<uint64_t>(4, std::strtoull(argv[4], nullptr, 10)) << 10;
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

  // Rounds of the three transfers, interleaved so that both see the same
  // machine; the medians are compared.
  std::string url = apache.Url("/dav/big.bin");
  RawGet(url);  // warm the page cache
  std::vector<double> raw, delivered, kept, client;
  for (int round = 0; round < rounds; ++round) {
    raw.push_back(RawGet(url));
    TestSite fresh(apache.Url("/dav/"));
    fresh.List();
    client.push_back(ClientGet(fresh, fresh.Entry(u"\\big.bin")));
    delivered.push_back(RawGetDelivered(url));
    kept.push_back(RawGetKept(url, size));
  }
  if (*std::min_element(client.begin(), client.end()) < 0) return 1;
  double rawS = Median(raw), deliveredS = Median(delivered), keptS = Median(kept), clientS = Median(client);
  std::printf("GET  %llu MiB, median of %d: raw curl %.3f s (%.0f MiB/s), Get in %llu KiB pieces %.3f s (%.0f MiB/s), "
              "ratio %.2f\n",
              static_cast<unsigned long long>(mib), rounds, rawS, mib / rawS,
              static_cast<unsigned long long>(g_piece >> 10), clientS, mib / clientS, rawS / clientS);
  std::printf("     raw curl handing the bytes to a 64 KiB buffer %.3f s (%.0f MiB/s), ratio of Get to it %.2f\n",
              deliveredS, mib / deliveredS, deliveredS / clientS);
  std::printf("     raw curl keeping the bytes in memory %.3f s (%.0f MiB/s), ratio of Get to it %.2f\n", keptS,
              mib / keptS, keptS / clientS);
  // The read-ahead asks for 3 MiB per request: the same requests from raw
  // curl, one after the other on one connection, bound what Get can reach.
  std::vector<double> ranges;
  for (int round = 0; round < rounds; ++round) ranges.push_back(RawGetRanges(url, size, kReadAheadBytes));
  double rangesS = Median(ranges);
  std::printf("     raw curl in 3 MiB ranged GETs on one connection %.3f s (%.0f MiB/s), ratio of Get to it %.2f\n",
              rangesS, mib / rangesS, rangesS / clientS);
  if (getOnly) {
    SetCurrentUi(nullptr);
    return 0;
  }

  TestSite site(apache.Url("/dav/"));
  site.List();
  double rawPut = RawPut(apache.Url("/dav/up-raw.bin"), file, size);
  double clientPut = ClientPut(site, file);
  double rawPut2 = RawPut(apache.Url("/dav/up-raw.bin"), file, size);
  double rawPutBest = std::min(rawPut, rawPut2);
  std::printf("PUT  %llu MiB: raw curl %.3f s (%.0f MiB/s), CloseAfterWrite %.3f s (%.0f MiB/s), ratio %.2f\n",
              static_cast<unsigned long long>(mib), rawPutBest, mib / rawPutBest, clientPut, mib / clientPut,
              rawPutBest / clientPut);

  std::string small = apache.DataDir() + "/../small-source.bin";
  WriteFile(small, Pattern(4096));
  double rawSmall = RawSmallPuts(apache.Url("/dav/"), small, 4096);
  double clientSmall = ClientSmallPuts(site, small);
  std::printf("PUT  %d new files of 4 KiB: raw curl %.3f s (%.0f us each), CloseAfterWrite %.3f s (%.0f us each), "
              "ratio %.2f\n",
              kSmallFiles, rawSmall, rawSmall / kSmallFiles * 1e6, clientSmall, clientSmall / kSmallFiles * 1e6,
              rawSmall / clientSmall);

  std::string xml = Listing(10000);
  MultistatusScope scope{u"site1", u"/dav", u"", false, u"http://127.0.0.1/dav/"};
  auto start = Clock::now();
  MultistatusResult result = ParseMultistatusText(xml, scope);
  double parse = Seconds(start);
  std::printf("LIST 10,000 entries (%zu KiB): parsed in %.3f s, %zu items, error %d\n", xml.size() / 1024, parse,
              result.items.size(), result.error);
  SetCurrentUi(nullptr);
  return 0;
}
