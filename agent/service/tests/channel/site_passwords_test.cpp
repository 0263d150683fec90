#include "agent/service/site_passwords.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace hvm {
namespace {

// How the blocks of the strings below looked when they were given back.
struct FreedBlocks {
  size_t count = 0;
  size_t withData = 0;
};
FreedBlocks gFreed;

// Hands out ordinary memory and looks at every block as it comes back.
template <typename T>
struct InspectingAllocator {
  using value_type = T;
  InspectingAllocator() = default;
  template <typename U>
  InspectingAllocator(const InspectingAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* block, size_t n) {
    ++gFreed.count;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(block);
    for (size_t i = 0; i < n * sizeof(T); ++i) {
      if (bytes[i] != 0) {
        ++gFreed.withData;
        break;
      }
    }
    std::allocator<T>().deallocate(block, n);
  }
  friend bool operator==(const InspectingAllocator&, const InspectingAllocator&) { return true; }
};

using InspectedText = std::basic_string<char, std::char_traits<char>, InspectingAllocator<char>>;
using InspectedWide = std::basic_string<char16_t, std::char_traits<char16_t>, InspectingAllocator<char16_t>>;

TEST(SitePasswords, WipeTextLeavesNothingInTheBlockItGivesBack) {
  gFreed = {};
  {
    InspectedText password("a password far too long to sit inside the string");
    // A shorter text leaves the end of the longer one behind its terminator.
    password.resize(5);
    WipeText(password);
    EXPECT_TRUE(password.empty());
  }
  {
    InspectedWide proxy(u"a proxy password far too long for the string itself");
    proxy.resize(3);
    WipeText(proxy);
  }
  EXPECT_EQ(gFreed.count, 2u);
  EXPECT_EQ(gFreed.withData, 0u);
}

TEST(SitePasswords, WipeOnExitWipesOnAnEarlyReturnToo) {
  gFreed = {};
  auto readPassword = [](bool fails) {
    InspectedText password;
    WipeOnExit wipe(password);
    password = "deciphered, then found unusable by the caller";
    if (fails) return false;
    password.resize(8);
    return true;
  };
  EXPECT_FALSE(readPassword(true));
  EXPECT_TRUE(readPassword(false));
  EXPECT_EQ(gFreed.count, 2u);
  EXPECT_EQ(gFreed.withData, 0u);
}

TEST(SitePasswords, AKeptPasswordIsForgottenWithoutATrace) {
  SiteRecord record{};
  KeepSitePassword(record, "kept for the record");
  EXPECT_EQ(SitePassword(record), "kept for the record");
  EXPECT_EQ(record.password[0], '\0') << "the record's own bytes stay empty";
  ForgetSitePassword(record);
  EXPECT_EQ(SitePassword(record), "");
}

}  // namespace
}  // namespace hvm
