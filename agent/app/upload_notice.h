// The notice of an upload nobody waits for: its title and text in the
// agent's language, and the Connection hook that hands it to the front end.
#pragma once
#include <string>

#include "agent/service/connection.h"

namespace hvm {

class LanguageModule;

struct NoticeText {
  std::u16string title;
  std::u16string text;
};

// "Upload finished" / "Upload failed" with the file, and for a failure the
// error text and where the written contents are kept. module null: English.
NoticeText UploadNoticeText(const UploadNotice& notice, const LanguageModule* module);

// The Connection hook: the notice in the chosen language through the front end.
void ShowUploadNotice(Connection& connection, const UploadNotice& notice);

}  // namespace hvm
