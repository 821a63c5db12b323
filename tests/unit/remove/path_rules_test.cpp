#include "state/path_rules.h"

#include <gtest/gtest.h>

namespace {

kl::GuardedFolders Sample() {
  kl::GuardedFolders g;
  g.trees = {KL_T("C:\\windows"), KL_T("C:\\Program Files\\Common Files")};
  g.holders = {KL_T("C:\\users\\Élodie\\Documents\\"), KL_T("C:\\users\\Élodie\\AppData")};
  return g;
}

}  // namespace

TEST(PathRules, SameOrUnderAndAbove) {
  EXPECT_TRUE(kl::IsSameOrUnder(KL_T("C:\\Windows\\Fonts"), KL_T("c:\\windows\\")));
  EXPECT_TRUE(kl::IsSameOrUnder(KL_T("C:\\Windows\\"), KL_T("C:\\windows")));
  EXPECT_FALSE(kl::IsSameOrUnder(KL_T("C:\\WindowsApps"), KL_T("C:\\Windows")));
  EXPECT_TRUE(kl::IsSameOrAbove(KL_T("C:\\Users"), KL_T("C:\\users\\me\\Documents")));
  EXPECT_FALSE(kl::IsSameOrAbove(KL_T("C:\\Users\\me\\Documents\\x"),
                                 KL_T("C:\\users\\me\\Documents")));
}

TEST(PathRules, TreesGuardEverythingInThem) {
  const kl::GuardedFolders g = Sample();
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\Windows"), g));
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\WINDOWS\\Fonts"), g));
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\windows\\system32\\drivers\\"), g));
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\Program Files\\Common Files\\Kelo"), g));
  EXPECT_FALSE(kl::IsGuarded(KL_T("C:\\Program Files\\Kelo"), g));
  EXPECT_FALSE(kl::IsGuarded(KL_T("C:\\Windows2"), g));
}

TEST(PathRules, HoldersGuardThemselvesAndWhatHoldsThem) {
  const kl::GuardedFolders g = Sample();
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\Users\\élodie\\documents"), g));  // case folded
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\Users\\ÉLODIE"), g));
  EXPECT_TRUE(kl::IsGuarded(KL_T("C:\\Users"), g));
  EXPECT_FALSE(kl::IsGuarded(KL_T("C:\\Users\\Élodie\\Documents\\Kelo"), g));
  EXPECT_FALSE(kl::IsGuarded(KL_T("C:\\Users\\Élodie\\AppData\\Roaming\\Kelo"), g));
  EXPECT_TRUE(kl::IsGuarded(KL_T(""), g));
  EXPECT_FALSE(kl::IsGuarded(KL_T("D:\\Kelo"), kl::GuardedFolders{{KL_T("")}, {KL_T("")}}));
}
