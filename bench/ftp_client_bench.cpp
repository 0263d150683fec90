// The FTP client's own leg of a transfer against vsftpd on loopback, beside
// raw libcurl doing the same transfer in the same run:
//   - a file read through Get in pieces of the mount's size (the reading job
//     and its cache file) vs one curl RETR whose write callback drops the bytes
//   - an upload of a local copy through CloseAfterWrite vs one curl STOR
// Usage: ftp_client_bench [MiB [rounds [piece KiB]]]   (default 256 MiB, 3 rounds, 1024 KiB pieces)
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/integration/ftp_test_support.h"

#include "bench/bench_timing.h"

using namespace hvm;
using namespace hvm::test;
using namespace hvm::bench;

namespace {

double RawGet(const std::string& url) {
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Discard);
  auto start = Clock::now();
  CURLcode code = curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  return code == CURLE_OK ? s : -1;
}

double RawPut(const std::string& url, const std::string& file, uint64_t size) {
  FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) return -1;
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READDATA, in);
  curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  auto start = Clock::now();
  CURLcode code = curl_easy_perform(c);
  double s = Seconds(start);
  curl_easy_cleanup(c);
  std::fclose(in);
  return code == CURLE_OK ? s : -1;
}

// Reads the file as the request service does, each piece into one reused buffer.
double ClientGet(const std::string& url, uint64_t piece) {
  FtpTestSite site(url);
  if (site.open) return -1;
  site.List();
  FileEntry* entry = site.Entry(u"\\big.bin");
  if (!entry) return -1;
  std::vector<uint8_t> buffer(piece);
  ReplyArea reply = site.Reply(u"\\big.bin");
  auto start = Clock::now();
  for (uint64_t offset = 0; offset < entry->size; offset += piece) {
    entry->readCount++;
    uint64_t end = std::min<uint64_t>(offset + piece, entry->size);
    if (site.client->Get(entry, reply, offset, end, buffer.data(), 0) != STATUS_SUCCESS) return -1;
  }
  return Seconds(start);
}

double ClientPut(const std::string& url, const std::string& file) {
  FtpTestSite site(url);
  if (site.open) return -1;
  site.List();
  FileEntry* entry = site.Entry(u"\\up-client.bin");
  if (!entry) entry = site.connection.entries.NewEntry(site.CachePath(u"\\up-client.bin"));
  if (!entry) return -1;
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

}  // namespace

int main(int argc, char** argv) {
  setenv("HVM_SOURCE_DIR", HVM_SOURCE_DIR_PATH, 0);
  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  uint64_t piece = (argc > 3 ? std::max<uint64_t>(4, std::strtoull(argv[3], nullptr, 10)) : 1024) << 10;
  uint64_t size = mib << 20;
  ServerScript vsftpd("vsftpd_ftp.sh", "plain");
  if (!vsftpd.ok()) {
    std::fprintf(stderr, "vsftpd did not start\n");
    return 1;
  }
  std::string base = "ftp://127.0.0.1:" + std::to_string(vsftpd.port()) + "/data/";
  std::string file = vsftpd.DataDir() + "/big.bin";
  WriteFile(file, Pattern(size));
  RecordingUi ui;
  SetCurrentUi(&ui);
  RawGet(base + "big.bin");  // the server's page cache warm for both
  std::vector<double> raw, client, rawPut, clientPut;
  for (int round = 0; round < rounds; ++round) {
    raw.push_back(RawGet(base + "big.bin"));
    client.push_back(ClientGet(base, piece));
    // Each upload makes a new file: the server's truncate of the last round's
    // copy (tens of milliseconds for 256 MiB) is no part of either side.
    unlink((vsftpd.DataDir() + "/up-raw.bin").c_str());
    rawPut.push_back(RawPut(base + "up-raw.bin", file, size));
    unlink((vsftpd.DataDir() + "/up-client.bin").c_str());
    clientPut.push_back(ClientPut(base, file));
  }
  SetCurrentUi(nullptr);
  for (const auto* v : {&raw, &client, &rawPut, &clientPut})
    if (*std::min_element(v->begin(), v->end()) < 0) {
      std::fprintf(stderr, "a transfer failed\n");
      return 1;
    }
  double rawS = Median(raw), clientS = Median(client), rawPutS = Median(rawPut), clientPutS = Median(clientPut);
  std::printf("RETR %llu MiB, median of %d: raw curl %.3f s (%.0f MiB/s), Get in %llu KiB pieces %.3f s "
              "(%.0f MiB/s), ratio %.2f\n",
              static_cast<unsigned long long>(mib), rounds, rawS, mib / rawS,
              static_cast<unsigned long long>(piece >> 10), clientS, mib / clientS, rawS / clientS);
  std::printf("STOR %llu MiB, median of %d: raw curl %.3f s (%.0f MiB/s), CloseAfterWrite %.3f s (%.0f MiB/s), "
              "ratio %.2f\n",
              static_cast<unsigned long long>(mib), rounds, rawPutS, mib / rawPutS, clientPutS, mib / clientPutS,
              rawPutS / clientPutS);
  // The quickest rounds, less disturbed by whatever else the machine runs.
  auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  std::printf("best rounds: RETR raw %.3f s, Get %.3f s, ratio %.2f; STOR raw %.3f s, CloseAfterWrite %.3f s, "
              "ratio %.2f\n",
              best(raw), best(client), best(raw) / best(client), best(rawPut), best(clientPut),
              best(rawPut) / best(clientPut));
  return 0;
}
