// The short text the agent publishes to every process of the session.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "common/moorlib.h"
#include "platform/shared_memory.h"

namespace hvm {
namespace {

// One mapped section per name, kept until the process ends. A failed attempt
// is not remembered, so a later call may still find the section.
char* SharedNameView(const char* sectionName) {
  static std::mutex lock;
  static std::map<std::string, SharedSection> sections;
  if (sectionName == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(lock);
  auto found = sections.find(sectionName);
  if (found != sections.end()) return static_cast<char*>(found->second.base);
  SharedSection section;
  if (!OpenSharedSection(sectionName, kSharedNameSectionSize, section) ||
      section.base == nullptr || section.size < kSharedNameSectionSize) {
    if (section.base != nullptr) CloseSharedSection(section);
    return nullptr;
  }
  sections.emplace(sectionName, section);
  return static_cast<char*>(section.base);
}

}  // namespace

char* GetHalvenmoorName(const char* sectionName) { return SharedNameView(sectionName); }

char* GetHalvenmoorName() { return GetHalvenmoorName(kSharedNameSection); }

void SetHalvenmoorName(const char* sectionName, const char* text) {
  char* view = SharedNameView(sectionName);
  if (view == nullptr) return;
  if (text == nullptr) text = "";
  strncpy(view, text, kSharedNameMaxChars + 1);
  view[kSharedNameMaxChars] = 0;
}

void SetHalvenmoorName(const char* text) { SetHalvenmoorName(kSharedNameSection, text); }

}  // namespace hvm
