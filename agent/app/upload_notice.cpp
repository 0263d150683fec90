// The notice of an upload nobody waits for.
#include "agent/app/upload_notice.h"

#include "agent/app/language.h"
#include "agent/app/string_table.h"
#include "platform/ui.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {

NoticeText UploadNoticeText(const UploadNotice& notice, const LanguageModule* module) {
  auto text = [module](uint32_t id) { return LoadResourceString(module, id); };
  NoticeText out;
  if (!notice.failed) {
    out.title = text(IDS_NOTICE_UPLOADED_TITLE);
    out.text = FormatWide(text(IDS_NOTICE_UPLOADED), notice.file.c_str());
    return out;
  }
  out.title = text(IDS_NOTICE_FAILED_TITLE);
  out.text = FormatWide(text(IDS_NOTICE_FAILED), notice.file.c_str(), notice.errorText.c_str());
  out.text += u'\n';
  out.text += notice.backupPath.empty()
                  ? std::u16string(text(IDS_NOTICE_NO_BACKUP))
                  : FormatWide(text(IDS_NOTICE_BACKUP), Utf8ToUtf16(notice.backupPath).c_str());
  return out;
}

void ShowUploadNotice(Connection&, const UploadNotice& notice) {
  NoticeText shown = UploadNoticeText(notice, CurrentLanguageModule());
  CurrentUi().Notify(shown.title, shown.text, notice.failed);
}

}  // namespace hvm
