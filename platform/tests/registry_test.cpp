#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

using test::EnvOverride;
using test::ReadWholeFile;
using test::RunInChild;
using test::ScratchDir;

const char16_t kSiteKey[] = u"Software\\KOLV\\Halvenmoor\\site1";

class RegistryTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string userFile_ = dir_ / "config/user.reg";
  EnvOverride user_{"HALVENMOOR_USER_REG", userFile_};
  EnvOverride machine_{"HALVENMOOR_MACHINE_REG", dir_ / "system.reg"};

  HKEY Create(const char16_t* path, HKEY root = HKEY_CURRENT_USER) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
};

std::vector<uint8_t> WideBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

LONG SetBytes(HKEY key, const char16_t* name, DWORD type, const std::vector<uint8_t>& data) {
  return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

// Reads a value through the two-step size query every caller uses.
bool Query(HKEY key, const char16_t* name, DWORD& type, std::vector<uint8_t>& data) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  data.assign(size, 0);
  return RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS &&
         size == data.size();
}

struct Sample {
  const char16_t* name;
  DWORD type;
  std::vector<uint8_t> data;
};

std::vector<Sample> AllTypeSamples() {
  std::vector<uint8_t> blob;
  for (int i = 0; i < 70; ++i) blob.push_back(static_cast<uint8_t>(i * 37));  // wraps over lines
  return {
      {u"Url", REG_SZ, WideBytes(u"http://host/dav \"quoted\" C:\\dir\\")},
      {u"Auto", REG_DWORD, {1, 0, 0, 0}},
      {u"Blob", REG_BINARY, blob},
      {u"Path", REG_EXPAND_SZ, WideBytes(u"%HOME%\\cache")},
      {u"Lines", REG_SZ, WideBytes(u"first\r\nsecond")},  // a line break cannot be quoted
      {u"Name \"with\" quotes", REG_SZ, WideBytes(u"Grüße ∑")},
      {u"", REG_SZ, WideBytes(u"default")},
      {u"Empty", REG_BINARY, {}},
  };
}

TEST_F(RegistryTest, AllTypesSurviveTheFileAndAnotherProcess) {
  HKEY key = Create(kSiteKey);
  for (const Sample& sample : AllTypeSamples()) {
    ASSERT_EQ(SetBytes(key, sample.name, sample.type, sample.data), ERROR_SUCCESS);
  }
  RegCloseKey(key);

  std::string text = ReadWholeFile(userFile_);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor\\site1]\n"), std::string::npos);
  EXPECT_NE(text.find("\"Url\"=\"http://host/dav \\\"quoted\\\" C:\\\\dir\\\\\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Auto\"=dword:00000001\n"), std::string::npos);
  EXPECT_NE(text.find("\"Path\"=hex(2):25,00,48,00,4f,00"), std::string::npos);
  EXPECT_NE(text.find("\"Blob\"=hex:00,25,4a,"), std::string::npos);
  EXPECT_NE(text.find(",\\\n  "), std::string::npos) << "long lists continue on the next line";
  EXPECT_NE(text.find("\"Lines\"=hex(1):"), std::string::npos);

  int failures = RunInChild([&] {
    HKEY child = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSiteKey, 0, KEY_READ, &child) != ERROR_SUCCESS) return 100;
    int wrong = 0;
    for (const Sample& sample : AllTypeSamples()) {
      DWORD type = 0;
      std::vector<uint8_t> data;
      if (!Query(child, sample.name, type, data) || type != sample.type || data != sample.data) ++wrong;
    }
    return wrong;
  });
  EXPECT_EQ(failures, 0);
}

TEST_F(RegistryTest, ReadsWhatRegeditWrites) {
  std::filesystem::create_directories(dir_ / "config");
  test::WriteWholeFile(userFile_,
                       "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                       "\r\n"
                       "; written by hand\r\n"
                       "[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor\\site2]\r\n"
                       "@=\"root value\"\r\n"
                       "\"LogLevel\"=dword:ff\r\n"
                       "\"Bin\"=hex:01,02,\\\r\n"
                       "  03,04\r\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\kolv\\HALVENMOOR", 0, KEY_READ, &key),
            ERROR_SUCCESS)
      << "parents exist implicitly and names ignore case";
  DWORD type = 0;
  std::vector<uint8_t> data;
  ASSERT_TRUE(Query(key, u"", type, data) == false);
  HKEY site = nullptr;
  ASSERT_EQ(RegOpenKeyExW(key, u"Site2", 0, KEY_READ, &site), ERROR_SUCCESS);
  ASSERT_TRUE(Query(site, nullptr, type, data));
  EXPECT_EQ(data, WideBytes(u"root value"));
  ASSERT_TRUE(Query(site, u"loglevel", type, data));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{0xff, 0, 0, 0}));
  ASSERT_TRUE(Query(site, u"Bin", type, data));
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4}));
  RegCloseKey(site);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedFileIsNamedAndLeftAlone) {
  std::filesystem::create_directories(dir_ / "config");
  const std::string damaged =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor]\n"
      "\"Good\"=dword:00000001\n"
      "\"Bad\"=\"no closing quote\n"
      "\"Other\"=dword:00000002\n";
  test::WriteWholeFile(userFile_, damaged);

  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\KOLV\\Halvenmoor", 0, KEY_READ, &key),
            ERROR_REGISTRY_CORRUPT);
  std::string problem = RegistryProblem();
  EXPECT_NE(problem.find(userFile_), std::string::npos) << problem;
  EXPECT_NE(problem.find(":5:"), std::string::npos) << problem;

  DWORD value = 7;
  EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, u"New", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_REGISTRY_CORRUPT);
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &created, nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(ReadWholeFile(userFile_), damaged);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kWrites = 200;
  auto writer = [](char16_t prefix) {
    return [prefix] {
      HKEY key = nullptr;
      if (RegCreateKeyExW(HKEY_CURRENT_USER, kSiteKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        return 1;
      }
      for (int i = 0; i < kWrites; ++i) {
        std::u16string name = prefix + std::u16string(1, u'-');
        for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
        DWORD value = static_cast<DWORD>(i);
        if (RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           4) != ERROR_SUCCESS) {
          return 2;
        }
      }
      return 0;
    };
  };
  pid_t first = test::StartChild(writer(u'A'));
  pid_t second = test::StartChild(writer(u'B'));
  ASSERT_EQ(test::WaitChild(first), 0);
  ASSERT_EQ(test::WaitChild(second), 0);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSiteKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  int count = 0;
  char16_t name[64];
  for (DWORD index = 0;; ++index) {
    DWORD chars = 64;
    LONG result = RegEnumValueW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    ++count;
  }
  EXPECT_EQ(count, 2 * kWrites);
  RegCloseKey(key);
}

TEST_F(RegistryTest, SubkeysEnumerateInCaseInsensitiveOrder) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma", u"ALPHA2", u"delta\\deeper", u"Beta0"}) {
    std::u16string path = std::u16string(u"Software\\Sites\\") + name;
    RegCloseKey(Create(path.c_str()));
  }
  HKEY sites = Create(u"Software\\Sites");
  std::vector<std::u16string> names;
  char16_t name[32];
  for (DWORD index = 0;; ++index) {
    DWORD chars = 32;
    LONG result = RegEnumKeyExW(sites, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(result, ERROR_SUCCESS);
    names.emplace_back(name, chars);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"Beta0", u"delta",
                                                 u"gamma"}));
  DWORD tooSmall = 3;
  EXPECT_EQ(RegEnumKeyExW(sites, 1, name, &tooSmall, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(tooSmall, 7u);
  RegCloseKey(sites);
}

TEST_F(RegistryTest, MissingThingsShortBuffersAndDeletedKeys) {
  HKEY key = Create(kSiteKey);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nowhere", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Absent", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, u"Absent"), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(SetBytes(key, u"Url", REG_SZ, WideBytes(u"http://x/")), ERROR_SUCCESS);
  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(key, u"Url", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, WideBytes(u"http://x/").size());

  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\KOLV"), ERROR_ACCESS_DENIED)
      << "a key with subkeys stays";
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kSiteKey), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, u"Url", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SetBytes(key, u"Url", REG_SZ, WideBytes(u"again")), ERROR_KEY_DELETED);
  EXPECT_EQ(ReadWholeFile(userFile_).find("site1"), std::string::npos);

  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  HKEY bad = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\a\\\\b", 0, nullptr, 0, 0, nullptr, &bad,
                            nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\line\nbreak", 0, nullptr, 0, 0, nullptr,
                            &bad, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
  RegCloseKey(Create(u"Software\\KOLV\\Halvenmoor\\site1\\deep\\deeper"));
  RegCloseKey(Create(u"Software\\KOLV\\Halvenmoor\\site10"));
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, kSiteKey), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\KOLV\\Halvenmoor\\site1\\deep", 0, 0, &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\KOLV\\Halvenmoor\\site10", 0, 0, &key),
            ERROR_SUCCESS)
      << "a sibling whose name begins alike stays";
  RegCloseKey(key);
}

TEST_F(RegistryTest, Utf8CallsConvertStringData) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KOLV\\Halvenmoor", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char text[] = "Größe";
  ASSERT_EQ(RegSetValueExA(key, "Site", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  DWORD type = 0;
  std::vector<uint8_t> wide;
  ASSERT_TRUE(Query(key, u"Site", type, wide));
  EXPECT_EQ(wide, WideBytes(u"Größe"));
  char back[32];
  DWORD size = sizeof back;
  ASSERT_EQ(RegQueryValueExA(key, "Site", nullptr, &type, reinterpret_cast<BYTE*>(back), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof text);
  EXPECT_STREQ(back, text);
  EXPECT_NE(ReadWholeFile(dir_ / "system.reg").find("[HKEY_LOCAL_MACHINE\\Software\\KOLV\\Halvenmoor]"),
            std::string::npos);
  RegCloseKey(key);
}

TEST_F(RegistryTest, UserFileIsPrivate) {
  RegCloseKey(Create(kSiteKey));
  struct stat info {};
  ASSERT_EQ(stat(userFile_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// The machine's file is for everyone to read, but the lock its writers take
// is not: a user who held it would leave root's setup waiting for good.
TEST_F(RegistryTest, OnlyWritersCanTakeTheMachineFilesLock) {
  std::string lock = dir_ / "system.reg.lock";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  RegCloseKey(Create(u"Software\\KOLV\\Halvenmoor", HKEY_LOCAL_MACHINE));
  struct stat info {};
  ASSERT_EQ(stat((dir_ / "system.reg").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  ASSERT_EQ(stat(lock.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A lock file an earlier version left open to all is made private too.
  ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
  RegCloseKey(Create(u"Software\\KOLV\\Halvenmoor\\more", HKEY_LOCAL_MACHINE));
  ASSERT_EQ(stat(lock.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  if (geteuid() != 0) GTEST_SKIP() << "needs root to try the lock as another user";
  int taken = RunInChild([&lock] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
  });
  EXPECT_EQ(taken, 0);
}

// A key of n values: "v0".."v<n-1>", each a dword of its number.
std::string ManyValuesText(size_t n) {
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Halvenmoor]\n";
  char line[64];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "\"v%zu\"=dword:%08zx\n", i, i);
    text += line;
  }
  return text;
}

TEST(RegText, AKeyWithManyValuesIsReadInNLogNComparisons) {
  constexpr size_t kValues = 4096;
  std::string text = ManyValuesText(kValues);
  RegistryTree tree;
  std::string problem;
  RegParseCounts counts;
  ASSERT_TRUE(ParseRegText(text, "many.reg", u"HKEY_CURRENT_USER", tree, problem, &counts)) << problem;
  const RegKeyNode& key = tree.at(u"Halvenmoor");
  ASSERT_EQ(key.values.size(), kValues);
  EXPECT_EQ(key.values.front().name, u"v0");
  EXPECT_EQ(key.values.back().name, u"v4095");
  // A balanced tree of n names is at most 2·log2(n+1) deep; one more
  // comparison tells a name found from one missing. Comparing each new name
  // with all before it would take n²/2, about 8.4 million here.
  const uint64_t log2n = 12;
  EXPECT_LE(counts.nameComparisons, kValues * (2 * (log2n + 1) + 2));
  EXPECT_EQ(FormatRegText(tree, u"HKEY_CURRENT_USER"), text) << "written back as it was read";
}

TEST(RegText, AValueNamedAgainKeepsItsFirstPlaceAndTakesTheLastData) {
  std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n[HKEY_CURRENT_USER\\Halvenmoor]\n"
      "\"Url\"=\"first\"\n"
      "\"Auto\"=dword:00000001\n"
      "\n[HKEY_CURRENT_USER\\Halvenmoor\\site1]\n"
      "\"Url\"=\"of the site\"\n"
      "\n[HKEY_CURRENT_USER\\halvenmoor]\n"
      "\"URL\"=\"second\"\n"
      "\"Drive\"=\"X\"\n"
      "@=\"default\"\n"
      "\"auto\"=dword:00000002\n"
      "@=\"default again\"\n";
  RegistryTree tree;
  std::string problem;
  ASSERT_TRUE(ParseRegText(text, "again.reg", u"HKEY_CURRENT_USER", tree, problem)) << problem;
  EXPECT_EQ(FormatRegText(tree, u"HKEY_CURRENT_USER"),
            "Windows Registry Editor Version 5.00\n"
            "\n[HKEY_CURRENT_USER\\Halvenmoor]\n"
            "\"URL\"=\"second\"\n"
            "\"auto\"=dword:00000002\n"
            "\"Drive\"=\"X\"\n"
            "@=\"default again\"\n"
            "\n[HKEY_CURRENT_USER\\Halvenmoor\\site1]\n"
            "\"Url\"=\"of the site\"\n");
}

}  // namespace
}  // namespace hvm
