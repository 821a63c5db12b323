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

namespace {

kl::InstallJournal SampleRecord() {
  kl::InstallJournal j;
  j.AddPath(kl::UndoKind::kFolder, KL_T("C:\\Apps\\Kelo"));
  j.AddPath(kl::UndoKind::kFile, KL_T("C:\\Apps\\Kelo\\config.exe"));
  j.AddPath(kl::UndoKind::kPlacedFile, KL_T("C:\\Apps\\Kelo\\unstall.exe"));
  j.AddPath(kl::UndoKind::kFontFile, KL_T("C:\\Windows\\Fonts\\kelo.ttf"));
  kl::UndoEntry v;
  v.kind = kl::UndoKind::kRegistryValue;
  v.path = KL_T("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts");
  v.name = KL_T("kelo(TrueType)");
  j.Add(v);
  v.name = KL_T("old(TrueType)");
  v.hadValue = true;
  v.valueType = 1;
  v.valueData = {'a', 0, 0, 0};
  j.Add(v);
  kl::UndoEntry layout;
  layout.kind = kl::UndoKind::kLayout;
  layout.path = KL_T("E0200804");
  j.Add(layout);
  return j;
}

}  // namespace

TEST(RemovalRecord, RoundTripKeepsEveryEntry) {
  const kl::InstallJournal j = SampleRecord();
  const std::vector<uint8_t> bytes = kl::SerializeRemovalRecord(j);
  ASSERT_FALSE(bytes.empty());
  kl::InstallJournal back;
  ASSERT_TRUE(kl::ParseRemovalRecord(bytes.data(), bytes.size(), &back));
  ASSERT_EQ(back.entries().size(), j.entries().size());
  for (size_t i = 0; i < j.entries().size(); ++i) {
    const kl::UndoEntry& a = j.entries()[i];
    const kl::UndoEntry& b = back.entries()[i];
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.hive, b.hive);
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.hadValue, b.hadValue);
    EXPECT_EQ(a.valueType, b.valueType);
    EXPECT_EQ(a.valueData, b.valueData);
  }
}

TEST(RemovalRecord, HostileInputIsRefusedWhole) {
  const std::vector<uint8_t> good = kl::SerializeRemovalRecord(SampleRecord());
  kl::InstallJournal out;
  out.AddPath(kl::UndoKind::kFile, KL_T("C:\\untouched"));
  // Every cut is refused, and so is a trailing byte.
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(kl::ParseRemovalRecord(good.data(), n, &out)) << n;
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(kl::ParseRemovalRecord(longer.data(), longer.size(), &out));
  // Wrong magic, an unknown kind, a hive beyond the two, a huge count.
  std::vector<uint8_t> bad = good;
  bad[0] = 'X';
  EXPECT_FALSE(kl::ParseRemovalRecord(bad.data(), bad.size(), &out));
  bad = good;
  bad[8] = 99;  // the first entry's kind
  EXPECT_FALSE(kl::ParseRemovalRecord(bad.data(), bad.size(), &out));
  bad = good;
  bad[9] = 2;  // its hive
  EXPECT_FALSE(kl::ParseRemovalRecord(bad.data(), bad.size(), &out));
  bad = good;
  bad[4] = bad[5] = bad[6] = bad[7] = 0xFF;
  EXPECT_FALSE(kl::ParseRemovalRecord(bad.data(), bad.size(), &out));
  // A NUL inside a path would name the folder above it.
  bad = good;
  bad[17 + 2 * 3] = 0;  // "C:\" then NUL in the first path
  bad[17 + 2 * 3 + 1] = 0;
  EXPECT_FALSE(kl::ParseRemovalRecord(bad.data(), bad.size(), &out));
  // Oversized input is not even looked at.
  std::vector<uint8_t> huge(kl::kMaxRecordBytes + 1, 0);
  EXPECT_FALSE(kl::ParseRemovalRecord(huge.data(), huge.size(), &out));
  EXPECT_FALSE(kl::ParseRemovalRecord(nullptr, 8, &out));
  // A refusal leaves the output as it was.
  ASSERT_EQ(out.entries().size(), 1u);
  EXPECT_EQ(out.entries()[0].path, KL_T("C:\\untouched"));
}

TEST(RemovalRecord, TooLargeAJournalIsNotSerialised) {
  kl::InstallJournal j;
  j.AddPath(kl::UndoKind::kFile, string16(kl::kMaxRecordTextUnits + 1, u'a'));
  EXPECT_TRUE(kl::SerializeRemovalRecord(j).empty());
  kl::InstallJournal many;
  for (size_t i = 0; i <= kl::kMaxRecordEntries; ++i)
    many.AddPath(kl::UndoKind::kFile, KL_T("C:\\a\\") + string16(1, static_cast<kl::wchar16>(0x4E00 + i)));
  EXPECT_TRUE(kl::SerializeRemovalRecord(many).empty());
}

TEST(RemovalRecord, MergeKeepsTheEarlierInstallsFolders) {
  kl::InstallJournal earlier;
  earlier.AddPath(kl::UndoKind::kFolder, KL_T("C:\\Apps\\Kelo"));
  earlier.AddPath(kl::UndoKind::kFile, KL_T("C:\\Apps\\Kelo\\a.dll"));
  kl::InstallJournal run;  // the reinstall finds both existing
  run.AddPath(kl::UndoKind::kPlacedFile, KL_T("C:\\apps\\kelo\\A.DLL"));
  run.AddPath(kl::UndoKind::kFile, KL_T("C:\\Apps\\Kelo\\b.dll"));
  earlier.Merge(run);
  const kl::RemovalPlan plan = kl::PlanRemoval(earlier, KL_T("Fonts"));
  EXPECT_EQ(plan.folders, std::vector<string16>{KL_T("C:\\Apps\\Kelo")});
  EXPECT_EQ(plan.files, (std::vector<string16>{KL_T("C:\\Apps\\Kelo\\a.dll"),
                                                KL_T("C:\\Apps\\Kelo\\b.dll")}));
}

TEST(RemovalRecord, PlanListsFilesFontsAndFoldersInnermostFirst) {
  kl::InstallJournal j = SampleRecord();
  j.AddPath(kl::UndoKind::kFolder, KL_T("C:\\Apps\\Kelo\\ITF"));
  j.AddPath(kl::UndoKind::kFile, KL_T("..\\..\\Windows\\win.ini"));  // dropped
  j.AddPath(kl::UndoKind::kFile, KL_T("C:\\Apps\\Kelo\\..\\..\\Windows\\win.ini"));  // dropped
  const kl::RemovalPlan plan =
      kl::PlanRemoval(j, KL_T("software\\microsoft\\windows nt\\currentversion\\fonts"));
  EXPECT_EQ(plan.files, (std::vector<string16>{KL_T("C:\\Apps\\Kelo\\config.exe"),
                                                KL_T("C:\\Apps\\Kelo\\unstall.exe")}));
  EXPECT_EQ(plan.fontFiles, std::vector<string16>{KL_T("C:\\Windows\\Fonts\\kelo.ttf")});
  // Only the value the install created; one that existed before stays.
  EXPECT_EQ(plan.fontValues, std::vector<string16>{KL_T("kelo(TrueType)")});
  EXPECT_EQ(plan.folders, (std::vector<string16>{KL_T("C:\\Apps\\Kelo\\ITF"),
                                                  KL_T("C:\\Apps\\Kelo")}));
}

TEST(RemovalRecord, PlainFullPaths) {
  EXPECT_TRUE(kl::IsPlainFullPath(KL_T("C:\\Apps\\Kelo\\a.dll")));
  EXPECT_TRUE(kl::IsPlainFullPath(KL_T("d:\\输入法\\x")));
  for (const auto* p : {KL_T(""), KL_T("C:"), KL_T("C:\\"), KL_T("C:\\a\\"), KL_T("C:a"),
                        KL_T("a\\b"), KL_T("\\\\server\\share\\a"), KL_T("\\\\?\\C:\\a"),
                        KL_T("C:\\a\\..\\b"), KL_T("C:\\a\\.\\b"), KL_T("C:\\a\\\\b"),
                        KL_T("C:\\a/b"), KL_T("C:\\a:stream"), KL_T("C:\\a\\*"),
                        KL_T("C:\\a.\\b"), KL_T("C:\\a \\b")})
    EXPECT_FALSE(kl::IsPlainFullPath(p)) << kl::ToUtf8(p);
}
