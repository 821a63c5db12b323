#include "install/journal.h"

#include <gtest/gtest.h>

#include <set>

using kl::string16;

namespace {

std::vector<string16> Missing(const string16& path, const std::set<string16>& existing,
                              std::vector<string16>* asked = nullptr) {
  return kl::MissingFolders(path, [&](const string16& p) {
    if (asked) asked->push_back(p);
    return existing.count(p) != 0;
  });
}

}  // namespace

TEST(InstallJournal, MissingFoldersOutermostFirstStoppingAtTheFirstThatExists) {
  std::vector<string16> asked;
  const std::set<string16> existing = {KL_T("C:\\Program Files")};
  EXPECT_EQ(Missing(KL_T("C:\\Program Files\\Kelo\\输入法\\"), existing, &asked),
            (std::vector<string16>{KL_T("C:\\Program Files\\Kelo"),
                                   KL_T("C:\\Program Files\\Kelo\\输入法")}));
  // Asked inside out, and not beyond the first folder that exists.
  EXPECT_EQ(asked, (std::vector<string16>{KL_T("C:\\Program Files\\Kelo\\输入法"),
                                          KL_T("C:\\Program Files\\Kelo"),
                                          KL_T("C:\\Program Files")}));
  EXPECT_TRUE(Missing(KL_T("C:\\Program Files"), existing).empty());
  // The drive or share itself is never something a run creates.
  EXPECT_EQ(Missing(KL_T("D:\\a"), {}), (std::vector<string16>{KL_T("D:\\a")}));
  EXPECT_EQ(Missing(KL_T("\\\\srv\\share\\a\\b"), {}),
            (std::vector<string16>{KL_T("\\\\srv\\share\\a"), KL_T("\\\\srv\\share\\a\\b")}));
  EXPECT_TRUE(Missing(KL_T("\\\\srv\\share"), {}).empty());
  // A relative path names nothing known.
  EXPECT_TRUE(Missing(KL_T("a\\b"), {}).empty());
  EXPECT_TRUE(Missing(KL_T(""), {}).empty());
}

TEST(InstallJournal, FirstRecordWinsAndUndoRunsNewestFirst) {
  kl::InstallJournal journal;
  journal.AddPath(kl::UndoKind::kFolder, KL_T("C:\\P\\Kelo"));
  journal.AddPath(kl::UndoKind::kFile, KL_T("C:\\P\\Kelo\\a.dll"));
  kl::UndoEntry value;
  value.kind = kl::UndoKind::kRegistryValue;
  value.path = KL_T("Software\\zorbl\\K");
  value.name = KL_T("KMEInstallPath");
  value.hadValue = true;
  value.valueData = {1, 2};
  journal.Add(value);
  // The same things again, as a later step would see them: ignored, letter
  // case included, so the state from before the run is what is put back.
  journal.AddPath(kl::UndoKind::kFile, KL_T("c:\\p\\KELO\\A.DLL"));
  value.hadValue = false;
  value.name = KL_T("kmeinstallpath");
  journal.Add(value);
  // The same path as another kind, or in the other hive, is another thing.
  journal.AddPath(kl::UndoKind::kFontFile, KL_T("C:\\P\\Kelo\\a.dll"));
  value.hive = 1;
  journal.Add(value);

  ASSERT_EQ(journal.entries().size(), 5u);
  EXPECT_TRUE(journal.entries()[2].hadValue);
  const auto order = journal.UndoOrder();
  ASSERT_EQ(order.size(), 5u);
  EXPECT_EQ(order[0]->hive, 1u);
  EXPECT_EQ(order[1]->kind, kl::UndoKind::kFontFile);
  EXPECT_EQ(order[3]->kind, kl::UndoKind::kFile);
  EXPECT_EQ(order[4]->path, KL_T("C:\\P\\Kelo"));  // the folder after its files
}
