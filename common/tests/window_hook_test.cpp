#include <gtest/gtest.h>

#include <vector>

#include "common/moorlib.h"

namespace hvm {
namespace {

std::vector<HWND> gHidden;
std::vector<uint32_t> gForwarded;

LRESULT OldProcedure(HWND, uint32_t message, WPARAM, LPARAM) {
  gForwarded.push_back(message);
  return 77;
}
WNDPROC ProcedureOf(HWND) { return &OldProcedure; }
void Hide(HWND window) { gHidden.push_back(window); }

TEST(WindowHook, TakesOverOneWindowAndHidesProgressWhenItEnds) {
  SetWindowFacilities(&ProcedureOf, &Hide);
  int progress = 0, watched = 0;
  progressHwnd = &progress;
  TheCopyExplorerHook = reinterpret_cast<HHOOK>(0x1);

  CWPSTRUCT message{0, 0, 0x000F, &watched};
  EXPECT_EQ(SetHook(1, 0, reinterpret_cast<LPARAM>(&message)), 0);  // not HC_ACTION: ignored
  EXPECT_EQ(SetHook(HC_ACTION, 0, reinterpret_cast<LPARAM>(&message)), 0);

  EXPECT_EQ(HookWndProc(&watched, 0x000F, 0, 0), 77);  // passed on, nothing hidden
  EXPECT_TRUE(gHidden.empty());
  EXPECT_EQ(HookWndProc(&watched, WM_DESTROY, 0, 0), 77);
  ASSERT_EQ(gHidden.size(), 1u);
  EXPECT_EQ(gHidden[0], &progress);
  EXPECT_NE(TheCopyExplorerHook, nullptr);  // only the final destroy removes the hook
  EXPECT_EQ(HookWndProc(&watched, WM_NCDESTROY, 0, 0), 77);
  EXPECT_EQ(gHidden.size(), 2u);
  EXPECT_EQ(TheCopyExplorerHook, nullptr);
  EXPECT_EQ(gForwarded, (std::vector<uint32_t>{0x000F, WM_DESTROY, WM_NCDESTROY}));
  progressHwnd = nullptr;
}

}  // namespace
}  // namespace hvm
