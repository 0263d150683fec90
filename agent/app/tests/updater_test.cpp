// The updater against a local HTTPS server with an authority made for the
// test: a good update is installed and recorded, a download that does not
// match its SHA-256 or cannot be placed changes nothing, and hostile manifests
// (huge, malformed, with a path for a name, over plain HTTP) end the check
// without a question.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "agent/app/tests/app_test_driver.h"
#include "agent/app/updater.h"
#include "platform/tests/test_support.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

// Built in steps: "literal" + temporary trips GCC 12's -Wrestrict in Release.
std::string Address(const char* scheme, int port, const std::string& path) {
  std::string address = scheme;
  address += "://127.0.0.1:";
  address += std::to_string(port);
  address += path;
  return address;
}

std::string Script() { return std::string(HVM_SOURCE_DIR_PATH) + "/tests/servers/https_files.sh"; }

std::string ModuleLine(const std::string& name, const std::string& path, const std::string& location,
                       int dir = 1, const std::string& sha = {}) {
  struct stat st {};
  stat(path.c_str(), &st);
  std::string line = "<module name=\"";
  return line + name + "\" size=\"" + std::to_string(st.st_size) + "\" crc=\"" +
         std::to_string(UpdateCrc(path)) + "\" dir=\"" + std::to_string(dir) + "\" sha256=\"" +
         (sha.empty() ? Sha256OfFile(path) : sha) + "\">" + location + "</module>";
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentUi(&ui);
    state = sandbox.Path("server");
    port = std::atoi(test::ShellOutput(Script() + " start " + state + " 2>/dev/null").c_str());
    ASSERT_GT(port, 0) << "the HTTPS test server did not start";
    site = state + "/site";
    root = sandbox.Path("install");
    mkdir(root.c_str(), 0755);
    mkdir((root + "/bin").c_str(), 0755);
    mkdir((root + "/lib").c_str(), 0755);
    test::WriteWholeFile(root + "/bin/moorgate", "old agent");
    mkdir((site + "/files").c_str(), 0755);
    test::WriteWholeFile(site + "/files/moorgate", "new agent, version 70010");
    test::WriteWholeFile(site + "/files/libmoorlib.so", "new library");
  }
  void TearDown() override {
    test::ShellOutput(Script() + " stop " + state);
    SetCurrentUi(nullptr);
  }
  UpdaterOptions Options() const {
    UpdaterOptions options;
    options.baseUrl = Address("https", port, "/");
    options.caFile = state + "/ca.pem";
    options.installRoot = root;
    return options;
  }
  void Manifest(const std::string& modules, int version = 70010) {
    std::string text = "<?xml version=\"1.0\"?>\n<update>\n<release version=\"";
    text += std::to_string(version);
    text += "\" number=\"3\"/>\n" + modules + "\n</update>\n";
    test::WriteWholeFile(site + "/HalvenmoorUpdate.xml", text);
  }
  std::string Machine() const { return test::ReadWholeFile(sandbox.Path("system.reg")); }

  test::Sandbox sandbox;
  test::RecordingUi ui;
  std::string state, site, root;
  int port = 0;
};

TEST_F(UpdaterTest, AGoodUpdateIsAskedForDownloadedCheckedAndInstalled) {
  Manifest(ModuleLine("moorgate", site + "/files/moorgate", "files/moorgate") +
           ModuleLine("libmoorlib.so", site + "/files/libmoorlib.so",
                      Address("https", port, "/files/libmoorlib.so"), 2));
  ui.answers = {IDOK, IDOK};
  Updater updater(Options());
  UpdateOutcome outcome = updater.CheckAndUpdate();
  EXPECT_EQ(outcome.status, kUpdateNothingToDo) << outcome.failedModule;
  EXPECT_EQ(test::ReadWholeFile(root + "/bin/moorgate"), "new agent, version 70010");
  EXPECT_EQ(test::ReadWholeFile(root + "/lib/libmoorlib.so"), "new library");
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(Utf16ToUtf8(ui.boxes[0].text), "Would you like to update the software ?");
  EXPECT_NE(Utf16ToUtf8(ui.boxes[1].text).find("successfully updated"), std::string::npos);
  EXPECT_NE(Machine().find("\"Version\"=dword:0001117a"), std::string::npos) << Machine();
  EXPECT_NE(test::ReadWholeFile(sandbox.Path("user.reg")).find("\"Update\"=dword:00000000"), std::string::npos);

  // The same version again: nothing to ask.
  ui.boxes.clear();
  EXPECT_EQ(Updater(Options()).CheckAndUpdate().status, kUpdateNothingToDo);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(UpdaterTest, ADownloadThatMissesItsChecksumChangesNothing) {
  std::string other = sandbox.Path("other");
  test::WriteWholeFile(other, "what the manifest promised");
  // Same size, another SHA-256: the served file is not the one described.
  test::WriteWholeFile(site + "/files/moorgate", "what the server has instead");
  test::WriteWholeFile(other, std::string(test::ReadWholeFile(site + "/files/moorgate").size(), 'x'));
  Manifest(ModuleLine("moorgate", site + "/files/moorgate", "files/moorgate", 1, Sha256OfFile(other)));
  ui.answers = {IDOK, IDOK};
  UpdateOutcome outcome = Updater(Options()).CheckAndUpdate();
  EXPECT_EQ(outcome.status, kUpdateChecksumMismatch);
  EXPECT_EQ(outcome.failedModule, "moorgate");
  EXPECT_EQ(test::ReadWholeFile(root + "/bin/moorgate"), "old agent");
  EXPECT_EQ(Machine().find("\"Version\"=dword:0001117a"), std::string::npos);
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_NE(Utf16ToUtf8(ui.boxes[1].text).find("moorgate"), std::string::npos);
  // Nothing of the download is left behind in the program's folder.
  EXPECT_EQ(test::ShellOutput("ls " + root + "/bin"), "moorgate\n");
}

TEST_F(UpdaterTest, AFolderThatCannotTakeItsFileLeavesEveryInstalledFileAsItWas) {
  // The library folder cannot take a file (a plain file stands in its place),
  // as when it is read-only or full: the program moved before it must go back.
  rmdir((root + "/lib").c_str());
  test::WriteWholeFile(root + "/lib", "not a folder");
  Manifest(ModuleLine("moorgate", site + "/files/moorgate", "files/moorgate") +
           ModuleLine("libmoorlib.so", site + "/files/libmoorlib.so", "files/libmoorlib.so", 2));
  ui.answers = {IDOK, IDOK};
  UpdateOutcome outcome = Updater(Options()).CheckAndUpdate();
  EXPECT_NE(outcome.status, kUpdateNothingToDo);
  EXPECT_EQ(outcome.failedModule, "libmoorlib.so");
  EXPECT_EQ(test::ReadWholeFile(root + "/bin/moorgate"), "old agent");
  EXPECT_EQ(test::ShellOutput("ls -A " + root + "/bin"), "moorgate\n");
  EXPECT_EQ(Machine().find("\"Version\"=dword:0001117a"), std::string::npos);
}

TEST_F(UpdaterTest, HostileManifestsEndTheCheckWithoutAQuestion) {
  std::string good = ModuleLine("moorgate", site + "/files/moorgate", "files/moorgate");
  const std::pair<const char*, std::string> manifests[] = {
      {"huge", std::string(2 << 20, ' ')},
      {"malformed", "<update><release version=\"70010\" number=\"1\"><module"},
      {"no number", "<update><release version=\"seventy\" number=\"1\"/>" + good + "</update>"},
      {"path as name", "<update><release version=\"70010\" number=\"1\"/>" +
                           ModuleLine("../moorgate", site + "/files/moorgate", "files/moorgate") + "</update>"},
      {"no sha256", "<update><release version=\"70010\" number=\"1\"/><module name=\"moorgate\" size=\"3\" "
                    "crc=\"1\" dir=\"1\">files/moorgate</module></update>"},
      {"entities", "<!DOCTYPE u [<!ENTITY a \"aaaa\">]><update><release version=\"70010\" number=\"1\"/>"
                   "</update>"},
  };
  for (const auto& [what, text] : manifests) {
    test::WriteWholeFile(site + "/HalvenmoorUpdate.xml", text);
    UpdateOutcome outcome = Updater(Options()).CheckAndUpdate();
    EXPECT_EQ(outcome.status, kUpdateManifestMissing) << what;
  }
  // A redirect's body is no manifest, even when it reads as one.
  Manifest(good);
  rename((site + "/HalvenmoorUpdate.xml").c_str(), (site + "/HalvenmoorUpdate.xml.moved").c_str());
  EXPECT_EQ(Updater(Options()).CheckAndUpdate().status, kUpdateManifestMissing);
  unlink((site + "/HalvenmoorUpdate.xml.moved").c_str());
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(test::ReadWholeFile(root + "/bin/moorgate"), "old agent");

  // Plain HTTP is never asked.
  Manifest(good);
  UpdaterOptions plain = Options();
  plain.baseUrl = Address("http", port, "");
  EXPECT_EQ(Updater(plain).CheckAndUpdate().status, kUpdateManifestMissing);
  // An authority the updater does not trust is refused.
  UpdaterOptions untrusted = Options();
  untrusted.caFile = sandbox.Path("none.pem");
  EXPECT_EQ(Updater(untrusted).CheckAndUpdate().status, kUpdateManifestMissing);
  EXPECT_TRUE(ui.boxes.empty());
  // A person who answered "Cancel" is not updated.
  ui.answers = {IDCANCEL};
  EXPECT_EQ(Updater(Options()).CheckAndUpdate().status, kUpdateDeclined);
  EXPECT_EQ(test::ReadWholeFile(root + "/bin/moorgate"), "old agent");
  // "Do not ask me any more" (HKCU "Update") counts as a refusal without a question.
  test::WriteWholeFile(sandbox.Path("user.reg"),
                       "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\KOLV\\Halvenmoor]\n"
                       "\"Update\"=dword:00000001\n");
  ui.boxes.clear();
  EXPECT_EQ(Updater(Options()).CheckAndUpdate().status, kUpdateDeclined);
  EXPECT_TRUE(ui.boxes.empty());
}

// The text search for "<!DOCTYPE" sees nothing in a UTF-16 manifest; its
// entities would each be expanded again wherever the module's text is read.
TEST(UpdaterManifest, ADocumentTypeIsRefusedInEveryEncoding) {
  auto utf16 = [](const std::string& text) {
    std::string wide = "\xff\xfe";
    for (char c : text) {
      wide += c;
      wide += '\0';
    }
    return wide;
  };
  std::string module = "<module name=\"moorgate\" size=\"1\" crc=\"1\" dir=\"1\" sha256=\"" +
                       std::string(64, 'a') + "\">";
  std::string plain = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><update><release version=\"70010\" "
                      "number=\"1\"/>" + module + "files/moorgate</module></update>";
  UpdateManifest manifest;
  std::string why;
  ASSERT_TRUE(ParseUpdateManifest(utf16(plain), manifest, &why)) << why;
  EXPECT_EQ(manifest.modules.at(0).location, "files/moorgate");

  std::string typed = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><!DOCTYPE u [<!ENTITY a \"files/moorgate\">]>"
                      "<update><release version=\"70010\" number=\"1\"/>" + module + "&a;</module></update>";
  EXPECT_FALSE(ParseUpdateManifest(utf16(typed), manifest, &why));
  EXPECT_TRUE(manifest.modules.empty());
}

TEST(UpdaterManifest, InstalledVersionIsRaisedTo70005) {
  test::Sandbox sandbox;
  Updater updater(UpdaterOptions{"https://127.0.0.1:9", "", sandbox.root()});
  EXPECT_EQ(updater.InstalledVersion(), 70005u);
  EXPECT_NE(test::ReadWholeFile(sandbox.Path("system.reg")).find("\"Version\"=dword:00011175"), std::string::npos);
}

}  // namespace
}  // namespace hvm
