// The run context and its progress reporting, read back from a real list
// view and progress bar.
#include <gtest/gtest.h>

#include "install/context_win.h"
#include "install_test_util_win.h"

namespace {

using insttest::OwnerPage;
using insttest::Records;

TEST(InstallContext, FindsThePageControlsAndStartsClear) {
  Records records;
  OwnerPage page;
  PackageHeader header = {};
  InstallContext context = InitInstallContext(page.page(), &header);
  EXPECT_EQ(context.ownerPage, page.page());
  EXPECT_EQ(context.progressList, page.list());
  EXPECT_EQ(context.progressBar, page.bar());
  EXPECT_EQ(context.launch, &records.launch);
  EXPECT_EQ(context.header, &header);
  EXPECT_EQ(context.restartNeeded, 0);
  EXPECT_EQ(context.progressPos, 0);
  EXPECT_EQ(context.installDir[0], L'\0');

  UninstallContext removal = InitUninstallContext(page.page());
  EXPECT_EQ(removal.progressList, page.list());
  EXPECT_EQ(removal.progressBar, page.bar());
  EXPECT_EQ(removal.session, &records.session);
  EXPECT_EQ(removal.launch, &records.launch);
}

TEST(InstallContext, LinesKeepTheirOrderAndTheLastIsInView) {
  Records records;
  OwnerPage page;
  InstallContext context = InitInstallContext(page.page(), &records.header);
  ReportProgress(context, 0, L"验证安装信息....");
  ReportProgress(context, 1, L"开始安装....");
  ReportProgress(context, 2, L"  1.创建文件系统....");
  const std::vector<std::wstring> expected = {L"验证安装信息....", L"开始安装....",
                                              L"  1.创建文件系统...."};
  EXPECT_EQ(page.Lines(), expected);
  EXPECT_EQ(page.positions(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(page.barPos(), 2);
  EXPECT_EQ(context.progressPos, 2);
  // The End key selects and shows the last line.
  EXPECT_EQ(SendMessageW(page.list(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED), 2);
}

TEST(InstallContext, NegativePositionLeavesTheBarAndNullTextAddsNoLine) {
  Records records;
  OwnerPage page;
  InstallContext context = InitInstallContext(page.page(), &records.header);
  ReportProgress(context, 42, L"a");
  ReportProgress(context, -1, L"安装程序发生错误，所做操作已经撤销!");
  EXPECT_EQ(page.barPos(), 42);
  EXPECT_EQ(context.progressPos, 42);
  EXPECT_EQ(page.positions(), (std::vector<int>{42}));
  ReportProgress(context, 72, nullptr);
  EXPECT_EQ(page.barPos(), 72);
  EXPECT_EQ(page.Lines(), (std::vector<std::wstring>{L"a", L"安装程序发生错误，所做操作已经撤销!"}));
}

TEST(InstallContext, UninstallContextReportsTheSameWay) {
  Records records;
  OwnerPage page;
  UninstallContext context = InitUninstallContext(page.page());
  ReportProgress(context, 30, nullptr);
  ReportProgress(context, -1, L"卸载");
  EXPECT_EQ(page.barPos(), 30);
  EXPECT_EQ(page.Lines(), std::vector<std::wstring>{L"卸载"});
}

TEST(InstallContext, WithoutOwnerNothingIsReported) {
  Records records;
  // A page with the progress controls is up and active on this thread: a
  // run without an owner must still show nothing in it.
  OwnerPage page;
  ShowWindow(page.page(), SW_SHOW);
  SetActiveWindow(page.page());
  SetFocus(page.list());
  InstallContext context = InitInstallContext(nullptr, &records.header);
  EXPECT_EQ(context.ownerPage, nullptr);
  EXPECT_EQ(context.progressList, nullptr);
  EXPECT_EQ(context.progressBar, nullptr);
  ReportProgress(context, 55, L"nothing to show");
  EXPECT_EQ(context.progressPos, 55);
  UninstallContext removal = InitUninstallContext(nullptr);
  EXPECT_EQ(removal.ownerPage, nullptr);
  EXPECT_EQ(removal.progressList, nullptr);
  EXPECT_EQ(removal.progressBar, nullptr);
  ReportProgress(removal, 10, L"nothing");
  EXPECT_EQ(removal.progressPos, 10);
  EXPECT_TRUE(page.Lines().empty());
  EXPECT_TRUE(page.positions().empty());
  EXPECT_EQ(page.barPos(), 0);
}

TEST(InstallContext, PageWithoutBarStillGetsLines) {
  Records records;
  OwnerPage page;
  DestroyWindow(page.bar());
  InstallContext context = InitInstallContext(page.page(), &records.header);
  EXPECT_EQ(context.progressBar, nullptr);
  ReportProgress(context, 5, L"line");
  EXPECT_EQ(context.progressPos, 5);
  EXPECT_EQ(page.Lines(), std::vector<std::wstring>{L"line"});
}

}  // namespace
