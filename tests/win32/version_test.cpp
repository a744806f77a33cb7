// Reads version resources through the real system calls.
#include <gtest/gtest.h>

#include <string>

#include "os/os.h"
#include "support/paths.h"

namespace lumiclip {
namespace {

class Version : public ::testing::Test {
 protected:
  Version() : scoped_(Win32Os()) {}
  std::string Beside(const std::string& name) { return ExecutableFolder(Win32Os().ExecutablePath()) + name; }

 private:
  ScopedOs scoped_;
};

TEST_F(Version, TheProductReportsItsInternalVersion) {
  EXPECT_EQ(ReadInternalVersion(Beside("lumiclip-chrome-plugin.exe")), "0.98.93");
}

TEST_F(Version, TheFirstTranslationNamesTheTable) {
  EXPECT_EQ(ReadInternalVersion(Beside("version-0409-04e4.dll")), "1.2.3-us");
}

TEST_F(Version, WithoutATranslationOnlyTheDefaultTableIsSearched) {
  EXPECT_EQ(ReadInternalVersion(Beside("version-no-translation.dll")), "4.5.6-ru");
}

TEST_F(Version, AStringUnderTheSecondTranslationIsNotFound) {
  EXPECT_EQ(ReadInternalVersion(Beside("version-second-translation.dll")), "");
}

TEST_F(Version, ALongValueIsReadWhole) {
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += static_cast<char>('0' + i % 10);
  EXPECT_EQ(ReadInternalVersion(Beside("version-long-value.dll")), expected);
}

TEST_F(Version, NoResourceOrNoFileGivesEmpty) {
  EXPECT_EQ(ReadInternalVersion(Beside("lumiclip-launcher.exe")), "");
  EXPECT_EQ(ReadInternalVersion(Beside("no-such-file.dll")), "");
}

}  // namespace
}  // namespace lumiclip
