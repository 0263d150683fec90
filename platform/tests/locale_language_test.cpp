#include "platform/locale_language.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/tests/test_support.h"

namespace hvm {
namespace {

struct LocaleCase {
  std::optional<std::string> all, messages, lang;
  DWORD expected;
};

TEST(LocaleLanguageTest, FirstSetVariableDecides) {
  const LocaleCase cases[] = {
      {"de_DE.UTF-8", "fr_FR", "nl_NL", 7},  // LC_ALL beats the others
      {"", "fr_FR.UTF-8", "de_DE", 12},      // empty counts as unset
      {std::nullopt, std::nullopt, "hu_HU", 14},
      {std::nullopt, "it_IT@euro", std::nullopt, 16},
      {"nl_BE.ISO-8859-1", std::nullopt, std::nullopt, 19},
      {"C", std::nullopt, "de_DE", 9},  // C is a choice too: English
      {"en_GB.UTF-8", std::nullopt, std::nullopt, 9},
      {"ES_es", std::nullopt, std::nullopt, 9},
      {"DE_de", std::nullopt, std::nullopt, 7},
      {std::nullopt, std::nullopt, std::nullopt, 9},
      {"deu", std::nullopt, std::nullopt, 9},  // only the two-letter code counts
  };
  for (const LocaleCase& c : cases) {
    test::EnvOverride all("LC_ALL", c.all);
    test::EnvOverride messages("LC_MESSAGES", c.messages);
    test::EnvOverride lang("LANG", c.lang);
    EXPECT_EQ(LanguageFromLocale(), c.expected)
        << c.all.value_or("-") << " " << c.messages.value_or("-") << " " << c.lang.value_or("-");
  }
}

}  // namespace
}  // namespace hvm
