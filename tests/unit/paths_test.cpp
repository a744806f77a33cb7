#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "support/paths.h"

namespace lumiclip::testing {
namespace {

using Paths = HostFixture;

TEST_F(Paths, EngineLibraryIsBesideTheExecutable) {
  struct Case {
    std::string exe, library;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Host\\lumiclip-chrome-plugin.exe", "C:\\Host\\RAZ.dll"},
           {"C:\\a\\b\\c\\x.exe", "C:\\a\\b\\c\\RAZ.dll"},
           {"C:\\x.exe", "C:\\RAZ.dll"},
           {"x.exe", "RAZ.dll"},
           {"C:/Host/x.exe", "RAZ.dll"},
           {"", "RAZ.dll"},
       }) {
    os.executablePath = c.exe;
    EXPECT_EQ(GetEngineLibraryPath(), c.library) << c.exe;
  }
}

TEST_F(Paths, EngineLibraryPathIsRebuiltOnEveryCall) {
  os.executablePath = "C:\\One\\x.exe";
  std::string first = GetEngineLibraryPath();
  os.executablePath = "C:\\Two\\x.exe";
  EXPECT_EQ(first, "C:\\One\\RAZ.dll");
  EXPECT_EQ(GetEngineLibraryPath(), "C:\\Two\\RAZ.dll");
}

TEST_F(Paths, DeploymentFolderIsUnderTheRoamingAppData) {
  os.appData = "C:\\Users\\me\\AppData\\Roaming";
  EXPECT_EQ(GetDeploymentFolder(), "C:\\Users\\me\\AppData\\Roaming\\Lumiclip");
  // CSIDL_APPDATA, without creating it.
  ASSERT_EQ(os.calls, std::vector<std::string>{"SpecialFolderPath(26,0)"});
}

TEST_F(Paths, DeploymentFolderWhenTheShellFails) {
  os.appDataFails = true;
  EXPECT_EQ(GetDeploymentFolder(), "\\Lumiclip");
}

TEST_F(Paths, OwnFileNameIsTheLastComponent) {
  struct Case {
    std::string exe, name;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Host\\lumiclip-chrome-plugin.exe", "lumiclip-chrome-plugin.exe"},
           {"C:\\Host\\my-host.exe", "my-host.exe"},
           {"C:\\Host\\a.b.c.exe", "a.b.c.exe"},
           {"C:\\Host\\noext", "noext"},
           {"C:/Host/forward.exe", "forward.exe"},
           {"C:\\mixed/dir\\last.exe", "last.exe"},
           {"plain.exe", "plain.exe"},
           {"C:\\dir.v2\\host", "host"},
       }) {
    os.executablePath = c.exe;
    EXPECT_EQ(GetOwnFileName(), c.name) << c.exe;
  }
}

// Under a two-byte code page (932) the second byte of a character may be
// 0x5C, a backslash when it stands alone: the path is split only at whole
// characters. 0x95 0x5C is one character, as is 0x83 0x5C.
TEST_F(Paths, TwoByteCharactersAreNotSplit) {
  os.codePage = 932;
  struct Case {
    std::string exe, name, library;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Host\\\x95\\.exe", "\x95\\.exe", "C:\\Host\\RAZ.dll"},
           {"C:\\\x83\\\x95\\\\\x83\\x\x95\\", "\x83\\x\x95\\", "C:\\\x83\\\x95\\\\RAZ.dll"},
           {"C:\\a\\\xb1\\b.exe", "b.exe", "C:\\a\\\xb1\\RAZ.dll"},  // one-byte katakana
           {"\x95\\.exe", "\x95\\.exe", "RAZ.dll"},
       }) {
    os.executablePath = c.exe;
    EXPECT_EQ(GetOwnFileName(), c.name) << c.exe;
    EXPECT_EQ(GetEngineLibraryPath(), c.library) << c.exe;
  }
  // The same bytes under code page 1252 are two characters, the second a
  // backslash.
  os.codePage = 1252;
  os.executablePath = "C:\\Host\\\x95\\.exe";
  EXPECT_EQ(GetOwnFileName(), ".exe");
}

// Version information of one file as the fake answers it.
const char kFile[] = "c:\\host\\ver.exe";
const std::string kTranslationKey = "\\VarFileInfo\\Translation";

std::string Pair(uint16_t language, uint16_t codePage) {
  std::string bytes;
  for (uint16_t w : {language, codePage}) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  return bytes;
}

std::string VersionKey(const std::string& translation) {
  return "\\StringFileInfo\\" + translation + "\\LumiclipInternalVersion";
}

std::string Z(const std::string& text) { return text + std::string(1, '\0'); }

TEST_F(Paths, InternalVersionUnderTheFilesTranslation) {
  os.versions[kFile] = {{kTranslationKey, Pair(0x0409, 0x04E4)},
                        {VersionKey("040904e4"), Z("3.1.4")},
                        // A decoy under the default pair must not be used.
                        {VersionKey("041904b0"), Z("9.9.9")}};
  EXPECT_EQ(ReadInternalVersion("C:\\Host\\ver.exe"), "3.1.4");
  EXPECT_TRUE(os.Called("QueryVersionValue(\\StringFileInfo\\040904e4\\LumiclipInternalVersion)"));
}

TEST_F(Paths, TranslationWordsAreLittleEndianAndHexIsLowerCase) {
  os.versions[kFile] = {{kTranslationKey, Pair(0x0C0A, 0xFDE9)},
                        {VersionKey("0c0afde9"), Z("2.0")}};
  EXPECT_EQ(ReadInternalVersion(kFile), "2.0");
}

TEST_F(Paths, WithoutATranslationTheDefaultPairIsUsed) {
  struct Case {
    const char* name;
    bool withTranslation;
    std::string translation;
  };
  for (const Case& c : std::vector<Case>{{"absent", false, ""},
                                         {"empty", true, ""},
                                         {"two bytes", true, std::string("\x09\x04", 2)},
                                         {"three bytes", true, std::string("\x09\x04\xE4", 3)}}) {
    SCOPED_TRACE(c.name);
    os.versions.clear();
    os.versions[kFile] = {{VersionKey("041904b0"), Z("1.0.7")},
                          {VersionKey("040904e4"), Z("wrong")}};
    if (c.withTranslation) os.versions[kFile][kTranslationKey] = c.translation;
    EXPECT_EQ(ReadInternalVersion(kFile), "1.0.7");
  }
}

TEST_F(Paths, OnlyTheFirstTranslationPairIsAsked) {
  os.versions[kFile] = {{kTranslationKey, Pair(0x0409, 0x04E4) + Pair(0x0419, 0x04B0)},
                        {VersionKey("041904b0"), Z("under the second")}};
  EXPECT_EQ(ReadInternalVersion(kFile), "");
}

TEST_F(Paths, NoVersionInformation) {
  EXPECT_EQ(ReadInternalVersion(kFile), "");

  os.versions[kFile] = {{kTranslationKey, Pair(0x0409, 0x04E4)}};
  EXPECT_EQ(ReadInternalVersion(kFile), "") << "no string";

  os.versions[kFile][VersionKey("040904e4")] = Z("1.0");
  os.failing.insert("FileVersionInfo");
  EXPECT_EQ(ReadInternalVersion(kFile), "") << "block unreadable";
}

TEST_F(Paths, EmptyValue) {
  os.versions[kFile] = {{VersionKey("041904b0"), ""}};
  EXPECT_EQ(ReadInternalVersion(kFile), "");
  os.versions[kFile] = {{VersionKey("041904b0"), Z("")}};
  EXPECT_EQ(ReadInternalVersion(kFile), "");
}

TEST_F(Paths, LongValueIsReturnedWhole) {
  std::string value;
  for (int i = 0; i < 2000; ++i) value += static_cast<char>('0' + i % 10);
  os.versions[kFile] = {{kTranslationKey, Pair(0x0409, 0x04B0)},
                        {VersionKey("040904b0"), Z(value)}};
  EXPECT_EQ(ReadInternalVersion(kFile), value);
}

TEST_F(Paths, ValueEndsAtItsTerminatingZero) {
  os.versions[kFile] = {{VersionKey("041904b0"), Z("1.2.3") + "garbage"}};
  EXPECT_EQ(ReadInternalVersion(kFile), "1.2.3");
}

TEST_F(Paths, OwnVersionReadsTheExecutable) {
  os.executablePath = "C:\\Host\\Self.exe";
  os.versions["c:\\host\\self.exe"] = {{VersionKey("041904b0"), Z("5.6.7")}};
  os.versions["c:\\host\\other.exe"] = {{VersionKey("041904b0"), Z("0.0.1")}};
  EXPECT_EQ(GetOwnVersion(), "5.6.7");
  EXPECT_TRUE(os.Called("FileVersionInfoSize(C:\\Host\\Self.exe)"));
}

}  // namespace
}  // namespace lumiclip::testing
