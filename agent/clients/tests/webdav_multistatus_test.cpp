#include <gtest/gtest.h>

#include <string>

#include "agent/clients/webdav_multistatus.h"

namespace hvm {
namespace {

std::string Response(const std::string& href, const std::string& props, const std::string& status = "200 OK") {
  return "<D:response><D:href>" + href + "</D:href><D:propstat><D:prop>" + props +
         "</D:prop><D:status>HTTP/1.1 " + status + "</D:status></D:propstat></D:response>";
}

std::string FileProps(const std::string& size = "5", bool collection = false) {
  return "<D:creationdate>2021-03-04T05:06:07Z</D:creationdate>"
         "<D:getlastmodified>Thu, 04 Mar 2021 05:06:07 GMT</D:getlastmodified>"
         "<D:getcontentlength>" + size + "</D:getcontentlength><D:resourcetype>" +
         (collection ? "<D:collection/>" : "") + "</D:resourcetype>";
}

std::string Doc(const std::string& body) {
  return "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\" xmlns:H=\"urn:Halvenmoor:\">" + body +
         "</D:multistatus>";
}

MultistatusResult Parse(const std::string& xml, std::u16string_view folder = u"\\docs", bool plain = false) {
  MultistatusScope scope{u"site1", u"/dav/", folder, plain};
  return ParseMultistatusText(xml, scope);
}

TEST(WebDavMultistatus, ListsTheFolderAndItsChildren) {
  auto r = Parse(Doc(Response("/dav/docs/", FileProps("0", true)) +
                     Response("http://127.0.0.1:8080/dav/docs/a%20b.txt", FileProps("1234")) +
                     Response("/dav/docs/sub/", FileProps("", true)) +
                     Response("/DAV/Docs/%C3%A4.txt", FileProps("18446744073709551615"))));
  ASSERT_EQ(r.error, 0) << std::string(r.message.begin(), r.message.end());
  ASSERT_EQ(r.items.size(), 4u);
  EXPECT_EQ(r.items[0].name, u"");
  EXPECT_TRUE(r.items[0].isDirectory);
  EXPECT_EQ(r.items[1].name, u"a b.txt");
  EXPECT_EQ(r.items[1].size, 1234u);
  EXPECT_FALSE(r.items[1].isDirectory);
  EXPECT_EQ(r.items[1].lastWriteTime, 132593079670000000ull);
  EXPECT_EQ(r.items[2].name, u"sub");
  EXPECT_TRUE(r.items[2].isDirectory);
  EXPECT_EQ(r.items[3].name, u"\u00e4.txt");
  EXPECT_EQ(r.items[3].size, 18446744073709551615ull);
}

TEST(WebDavMultistatus, WebdavPrefixFollowsTheRootNamespaceAndHvmTimesWinUnlessPlain) {
  std::string hvm =
      "<H:hvm_creationdate>2001-01-01T00:00:00Z</H:hvm_creationdate>"
      "<H:hvm_getlastmodified>Mon, 01 Jan 2001 00:00:00 GMT</H:hvm_getlastmodified>";
  std::string xml = "<x:multistatus xmlns:x=\"DAV:\" xmlns:H=\"urn:Halvenmoor:\"><x:response><x:href>/dav/docs/f"
                    "</x:href><x:propstat><x:prop>"
                    "<x:creationdate>2021-03-04T05:06:07Z</x:creationdate>"
                    "<x:getlastmodified>2021-03-04T05:06:07Z</x:getlastmodified>" +
                    hvm + "</x:prop></x:propstat></x:response></x:multistatus>";
  auto r = Parse(xml);
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.items.size(), 1u);
  EXPECT_EQ(r.items[0].lastWriteTime, 126227808000000000ull);  // 2001-01-01
  auto plain = Parse(xml, u"\\docs", true);
  ASSERT_EQ(plain.error, 0);
  EXPECT_EQ(plain.items[0].lastWriteTime, 132593079670000000ull);  // ISO getlastmodified accepted
}

TEST(WebDavMultistatus, FailedPropstatsAndErrorResponsesAreLeftOut) {
  // Apache lists unknown properties in a 404 propstat, which may come first.
  std::string missing = "<D:propstat><D:prop><H:hvm_creationdate/><H:hvm_getlastmodified/></D:prop>"
                        "<D:status>HTTP/1.1 404 Not Found</D:status></D:propstat>";
  std::string xml = Doc("<D:response><D:href>/dav/docs/x</D:href>" + missing +
                        "<D:propstat><D:prop>" + FileProps() +
                        "</D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>"
                        "<D:response><D:href>/dav/docs/gone</D:href><D:status>HTTP/1.1 403 Forbidden</D:status>"
                        "</D:response>");
  auto r = Parse(xml);
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.items.size(), 1u);
  EXPECT_EQ(r.items[0].name, u"x");
  EXPECT_EQ(r.skipped, 1u);
}

TEST(WebDavMultistatus, MalformedDocumentsFailWholeWithTheirMessage) {
  struct Case {
    std::string xml;
    std::u16string message;
  } cases[] = {
      {"<D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>/dav/docs/a", u"Invalid xml"},
      {"", u"Invalid xml"},
      {"<multistatus/>", u"Invalid root element"},
      {Doc("<D:response><D:propstat><D:prop>" + FileProps() + "</D:prop></D:propstat></D:response>"),
       u"xmlParse Missing href"},
      {Doc("<D:response><D:href>/dav/docs/a</D:href></D:response>"), u"xmlParse Missing propstat"},
      {Doc(Response("/dav/docs/a", "<D:creationdate>Thu, 04 Mar 2021 05:06:07 GMT</D:creationdate>"
                                   "<D:getlastmodified>Thu, 04 Mar 2021 05:06:07 GMT</D:getlastmodified>")),
       u"Invalid cretiondate"},
      {Doc(Response("/dav/docs/a", "<D:getcontentlength>1</D:getcontentlength>")),
       u"xmlParse Missing getlastmodified"},
      {Doc(Response("/dav/docs/a", "<D:getlastmodified>yesterday</D:getlastmodified>")),
       u"Invalid getlastmodified"},
  };
  for (const auto& c : cases) {
    auto r = Parse(Doc(Response("/dav/docs/ok", FileProps())).substr(0, 0) + c.xml);
    EXPECT_NE(r.error, 0) << c.xml;
    EXPECT_EQ(r.message, c.message) << c.xml;
    EXPECT_TRUE(r.items.empty());
  }
}

TEST(WebDavMultistatus, HostileHrefsNeverLeaveTheListedFolder) {
  std::string body = Response("/dav/docs/", FileProps("0", true)) +
                     Response("/dav/docs/good.txt", FileProps()) +
                     Response("/elsewhere/outside.txt", FileProps()) +
                     Response("/dav2/docs/similar.txt", FileProps()) +
                     Response("/dav/docs/..%2F..%2Fescape.txt", FileProps()) +
                     Response("/dav/docs/%2E%2E", FileProps()) +
                     Response("/dav/docs/sub/../../up.txt", FileProps()) +
                     Response("/dav/docs/deeper/child.txt", FileProps()) +
                     Response("/dav/docs/back%5Cslash", FileProps()) +
                     Response("/dav/docs/nul%00byte", FileProps()) +
                     Response("/dav/docs/" + std::string(300, 'x'), FileProps()) +
                     Response("/dav/docs/Thumbs.db:encryptable", FileProps());
  auto r = Parse(Doc(body));
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.items.size(), 3u);
  EXPECT_EQ(r.items[0].name, u"");
  EXPECT_EQ(r.items[1].name, u"good.txt");
  EXPECT_EQ(r.items[2].name, u"nul%00byte");  // an escaped NUL stays text, it never cuts the name
  EXPECT_EQ(r.skipped, 9u);
}

TEST(WebDavMultistatus, EntitiesAreNeitherExpandedNorFetched) {
  std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>/dav/docs/&f;&x;n</D:href><D:propstat><D:prop>" +
      FileProps() + "</D:prop></D:propstat></D:response></D:multistatus>";
  auto r = Parse(laughs);
  if (r.error == 0) {
    ASSERT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.items[0].name, u"n");  // the references stay unexpanded
  }
}

TEST(WebDavMultistatus, TenThousandEntriesParseInOnePass) {
  std::string body = Response("/dav/docs/", FileProps("0", true));
  for (int i = 0; i < 10000; ++i) body += Response("/dav/docs/file" + std::to_string(i), FileProps("7"));
  auto r = Parse(Doc(body));
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.items.size(), 10001u);
}

TEST(WebDavMultistatus, RootFolderListingUsesTheSitePathOnly) {
  auto r = Parse(Doc(Response("/dav/", FileProps("0", true)) + Response("/dav/top.txt", FileProps())), u"");
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.items.size(), 2u);
  EXPECT_EQ(r.items[1].name, u"top.txt");
}

}  // namespace
}  // namespace hvm
