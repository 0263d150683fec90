#include "agent/service/tests/loop_fixture.h"

#include "platform/wide_text.h"

namespace hvm::test {

void LoopTest::SetUp() {
  CopyWide(site.name, kSiteNameChars, u"site1");
  CopyWide(site.url, kSiteUrlChars, u"http://127.0.0.1:8080/dav/");
  site.drive[0] = 'X';
  site.mappedDrive = 'X';
  connection = std::make_unique<Connection>();
  connection->site = &site;
  connection->connectionHandle = kConnectionHandle;
  connection->pieceSize = pieceSize;
  connection->serverBasePath = u"/dav";
  connection->mapped = 1;
  connection->connected = 1;
  connection->hooks.loopEnded = [this](Connection&) { loopEnded = true; };
  auto fake = std::make_unique<FakeClient>(*connection);
  client = fake.get();
  connection->client = std::move(fake);
  connection->sharedAreaAgreed = sharedAreaAgreed;
  driver = std::make_unique<ScriptedDriver>();
  driver->OfferArea(offeredArea, offeredRecord);
  StartRequestLoop(*connection);
  initialReply = driver->AcceptLoop();
}

void LoopTest::TearDown() {
  driver->Suspend();
  JoinRequestLoop(*connection);
  EXPECT_TRUE(loopEnded);
  EXPECT_EQ(connection->connected, 0);
  driver.reset();
  connection.reset();
}

Reply LoopTest::Send(const RequestRecord& request) { return Reply{driver->Exchange(request)}; }

std::unique_ptr<RequestRecord> LoopTest::Blank(uint8_t major, uint32_t fileObject) {
  auto r = std::make_unique<RequestRecord>();
  std::memset(r.get(), 0, sizeof *r);
  r->MajorFunction = major;
  r->FileObject = fileObject;
  r->requestId = nextRequestId++;
  return r;
}

Reply LoopTest::Create(uint32_t fileObject, const std::u16string& below, uint32_t disposition,
                       uint32_t options, uint32_t access, uint32_t token, uint8_t flags) {
  auto r = Blank(MJ_CREATE, fileObject);
  r->Flags = flags;
  r->Parameters[1] = (disposition << 24) | options;
  if (token == 0) token = 0xF000 + fileObject;
  r->fileValue = token;
  std::memcpy(r->data, &token, 4);
  std::u16string name = Full(below);
  std::memcpy(r->data + 4, name.data(), std::min<size_t>(name.size(), 260) * 2);
  std::memcpy(r->data + 524, &access, 4);
  r->dataLength = 528;
  return Send(*r);
}

Reply LoopTest::Simple(uint8_t major, uint32_t fileObject, uint64_t fileValue) {
  auto r = Blank(major, fileObject);
  SetFileSize(*r, fileValue);
  return Send(*r);
}

Reply LoopTest::Read(uint32_t fileObject, uint64_t offset, uint32_t length, uint64_t fileValue) {
  auto r = Blank(MJ_READ, fileObject);
  SetByteOffset(*r, offset);
  SetFileSize(*r, fileValue);
  std::memcpy(r->data, &length, 4);
  r->dataLength = 4;
  return Send(*r);
}

Reply LoopTest::Write(uint32_t fileObject, uint64_t offset, const std::string& bytes,
                      uint64_t fileValue, uint64_t validLength) {
  auto r = Blank(MJ_WRITE, fileObject);
  r->Parameters[0] = static_cast<uint32_t>(bytes.size());
  r->Parameters[1] = static_cast<uint32_t>(validLength);
  r->validLengthHigh = static_cast<uint32_t>(validLength >> 32);
  SetByteOffset(*r, offset);
  SetFileSize(*r, fileValue);
  std::memcpy(r->data, bytes.data(), bytes.size());
  r->dataLength = static_cast<uint32_t>(bytes.size());
  return Send(*r);
}

Reply LoopTest::Query(uint32_t fileObject, uint32_t infoClass, uint32_t outLength,
                      uint64_t fileValue) {
  auto r = Blank(MJ_QUERY_INFORMATION, fileObject);
  SetFileSize(*r, fileValue);
  r->Parameters[0] = outLength;
  r->Parameters[1] = infoClass;
  return Send(*r);
}

Reply LoopTest::SetInfo(uint32_t fileObject, uint32_t infoClass, const std::vector<uint8_t>& data,
                        uint32_t word2, uint32_t word3) {
  auto r = Blank(MJ_SET_INFORMATION, fileObject);
  r->Parameters[0] = static_cast<uint32_t>(data.size());
  r->Parameters[1] = infoClass;
  r->Parameters[2] = word2;
  r->Parameters[3] = word3;
  std::memcpy(r->data, data.data(), data.size());
  r->dataLength = static_cast<uint32_t>(data.size());
  return Send(*r);
}

Reply LoopTest::Directory(uint32_t fileObject, const std::u16string& data, uint32_t infoClass,
                          uint32_t outLength, uint8_t flags) {
  auto r = Blank(MJ_DIRECTORY_CONTROL, fileObject);
  r->Flags = flags;
  r->Parameters[0] = outLength;
  r->Parameters[2] = infoClass;
  std::memcpy(r->data, data.data(), data.size() * 2);
  r->dataLength = static_cast<uint32_t>(data.size() * 2);
  return Send(*r);
}

Reply LoopTest::Push(uint32_t fileObject, uint32_t mode, uint64_t offset,
                     const std::vector<uint8_t>& data) {
  auto r = Blank(MJ_CONTENT_PUSH, fileObject);
  r->Parameters[0] = mode;
  SetByteOffset(*r, offset);
  if (!data.empty()) std::memcpy(r->data, data.data(), data.size());
  r->dataLength = static_cast<uint32_t>(data.size());
  return Send(*r);
}

FileEntry* LoopTest::Entry(const std::u16string& below) {
  std::lock_guard<std::recursive_mutex> guard(connection->requestLock);
  return connection->entries.LookUp(Full(below));
}

void LoopTest::OpenOk(uint32_t fileObject, const std::u16string& below, uint32_t options,
                      uint32_t access) {
  Reply r = Create(fileObject, below, FILE_OPEN, options, access);
  ASSERT_EQ(r.status(), STATUS_SUCCESS);
  ASSERT_EQ(r.information(), FILE_OPENED);
}

void LoopTest::Release(uint32_t fileObject, uint64_t fileValue) {
  EXPECT_EQ(Simple(MJ_CLEANUP, fileObject, fileValue).status(), STATUS_SUCCESS);
  EXPECT_EQ(Simple(MJ_CLOSE, fileObject, fileValue).status(), STATUS_SUCCESS);
}

}  // namespace hvm::test
