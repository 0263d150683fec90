// Choosing from libproxy's answer: the first entry libcurl can use.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/clients/webdav_auto_proxy.h"

namespace hvm {
namespace {

struct Choice {
  AutoProxyAnswer answer;
  std::string proxy;
};

Choice Choose(std::initializer_list<const char*> entries) {
  std::vector<const char*> list(entries);
  list.push_back(nullptr);
  Choice c{AutoProxyAnswer::Failed, "untouched"};
  c.answer = ChooseAutoProxy(list.data(), c.proxy);
  return c;
}

TEST(ChooseAutoProxy, TakesTheFirstUsableEntryInLibcurlsForm) {
  Choice c = Choose({"http://proxy.example:3128", "direct://"});
  EXPECT_EQ(c.answer, AutoProxyAnswer::Proxy);
  EXPECT_EQ(c.proxy, "http://proxy.example:3128");
  EXPECT_EQ(Choose({"gopher://old:70", "HTTPS://secure.example"}).proxy, "https://secure.example:443");
  EXPECT_EQ(Choose({"http://user:pa:ss@[::1]"}).proxy, "http://user:pa:ss@[::1]:80");
  EXPECT_EQ(Choose({"http://[::1]:8080/ignored/path"}).proxy, "http://[::1]:8080");
  EXPECT_EQ(Choose({"socks://s.example"}).proxy, "socks4://s.example:1080");
  EXPECT_EQ(Choose({"socks5://s.example:9050"}).proxy, "socks5://s.example:9050");
}

TEST(ChooseAutoProxy, DirectBeforeAnyProxyMeansNone) {
  Choice c = Choose({"direct://", "http://proxy.example:3128"});
  EXPECT_EQ(c.answer, AutoProxyAnswer::Direct);
  EXPECT_EQ(c.proxy, "untouched");
}

TEST(ChooseAutoProxy, NothingUsableIsAFailedLookUp) {
  EXPECT_EQ(Choose({}).answer, AutoProxyAnswer::Failed);
  EXPECT_EQ(Choose({"gopher://old:70", "proxy.example:3128", "http://", "http://user@"}).answer,
            AutoProxyAnswer::Failed);
  std::string proxy;
  EXPECT_EQ(ChooseAutoProxy(nullptr, proxy), AutoProxyAnswer::Failed);
}

}  // namespace
}  // namespace hvm
