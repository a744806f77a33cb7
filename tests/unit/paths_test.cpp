#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "support/paths.h"
#include "support/unicode.h"

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
           // UTF-8: outside the code page, a character of four bytes.
           {"C:\\Users\\\xC5\x81ukasz \xE6\x97\xA5\xE6\x9C\xAC\\x.exe",
            "C:\\Users\\\xC5\x81ukasz \xE6\x97\xA5\xE6\x9C\xAC\\RAZ.dll"},
           {"C:\\\xF0\x9F\x98\x80\\x.exe", "C:\\\xF0\x9F\x98\x80\\RAZ.dll"},
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
  os.folders.erase(FakeOs::Lower(os.appData));
  EXPECT_EQ(GetDeploymentFolder(), "C:\\Users\\me\\AppData\\Roaming\\Lumiclip");
  // Found without creating it.
  EXPECT_EQ(os.folders.count(FakeOs::Lower(os.appData)), 0u);
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
           {"C:\\\xC5\x81\\\xE6\x97\xA5\xE6\x9C\xAC.\xCE\xB1.exe", "\xE6\x97\xA5\xE6\x9C\xAC.\xCE\xB1.exe"},
       }) {
    os.executablePath = c.exe;
    EXPECT_EQ(GetOwnFileName(), c.name) << c.exe;
  }
}

// Paths are UTF-8 inside the host and UTF-16 for the system: a text that is
// not valid in its own form is refused, never guessed at, and the path
// limit counts UTF-16 units.
TEST_F(Paths, TextConvertsBothWaysOrIsRefused) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string utf16;
    bool valid;
  };
  for (const Case& c : std::vector<Case>{
           {"ascii", "C:\\Host", u"C:\\Host", true},
           {"Latin Extended-A and CJK", "\xC5\x81ukasz \xE6\x97\xA5", u"\u0141ukasz \u65E5", true},
           {"outside the BMP", "\xF0\x9F\x98\x80", u"\U0001F600", true},
           {"highest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
           {"empty", "", u"", true},
           {"stray continuation byte", "a\x81", u"", false},
           {"cut sequence", "\xE6\x97", u"", false},
           {"overlong slash", "\xC0\xAF", u"", false},
           {"overlong three bytes", "\xE0\x80\xAF", u"", false},
           {"a code-page byte", "caf\xE9", u"", false},
           {"past U+10FFFF", "\xF4\x90\x80\x80", u"", false},
       }) {
    SCOPED_TRACE(c.name);
    std::u16string wide;
    EXPECT_EQ(Utf8ToUtf16(c.utf8, &wide), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(wide, c.utf16);
    std::string back;
    EXPECT_TRUE(Utf16ToUtf8(wide, &back));
    EXPECT_EQ(back, c.utf8);
    EXPECT_EQ(Utf16Length(c.utf8), c.utf16.size());
  }
  std::string out;
  for (std::u16string lone :
       {std::u16string(u"a") + char16_t(0xD800), std::u16string(1, char16_t(0xDC00)) + u"b",
        std::u16string(1, char16_t(0xD800)) + char16_t(0xD800) + char16_t(0xDC00)}) {
    EXPECT_FALSE(Utf16ToUtf8(lone, &out)) << "a lone surrogate";
  }
  // The longest start within a number of units ends on a character.
  const std::string mixed = "a\xC5\x81\xF0\x9F\x98\x80\xE6\x97\xA5";  // 1 + 1 + 2 + 1 units
  for (auto [units, bytes] :
       std::vector<std::pair<size_t, size_t>>{{0, 0}, {1, 1}, {2, 3}, {3, 3}, {4, 7}, {5, 10}, {9, 10}}) {
    EXPECT_EQ(Utf8PrefixWithin(mixed, units), bytes) << units;
  }
}

// One file under every case of its name, as Windows compares names, and a
// folder under every case of its name at the start of a path.
TEST_F(Paths, SameTextFoldsTheCaseOfLettersAsTheSystemDoes) {
  struct Case {
    std::string a, b;
    bool same;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Users\\ME\\x.EXE", "c:\\users\\me\\X.exe", true},
           {"\xC5\x81UKASZ", "\xC5\x82ukasz", true},          // Ł ł
           {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", true},  // É é (Latin-1)
           {"\xC5\xB8", "\xC3\xBF", true},                    // Ÿ ÿ
           {"\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91", "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1",
            true},                          // ΣΟΦΊΑ σοφία
           {"\xCF\x82", "\xCE\xA3", true},  // final sigma
           {"\xD0\x9C\xD0\x90\xD0\xA8\xD0\x90 \xD0\x81", "\xD0\xBC\xD0\xB0\xD1\x88\xD0\xB0 \xD1\x91",
            true},                     // МАША Ё
           {"\xC3\x9F", "ss", false},  // ß is no pair of letters
           {"\xC4\xB1", "I", false},   // dotless i stays
           {"\xC5\x81", "L", false},   // no best fit
           {"\xE6\x97\xA5", "\xE6\x97\xA6", false},
           {"a", "ab", false},
       }) {
    EXPECT_EQ(SameText(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(SameText(c.b, c.a), c.same) << c.b << " / " << c.a;
    // The start of a path compared as the whole name is.
    EXPECT_EQ(StartsWithText(c.a + "\\x", c.b), c.same) << c.a << " / " << c.b;
  }
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

// The version the host runs: its image's own resource. After another host's
// update moved the running executable aside, its path holds the new one.
TEST_F(Paths, OwnVersionIsTheRunningImages) {
  os.executablePath = "C:\\Host\\Self.exe";
  os.versions["c:\\host\\self.exe"] = {{VersionKey("041904b0"), Z("5.6.7")}};
  os.versions["c:\\host\\other.exe"] = {{VersionKey("041904b0"), Z("0.0.1")}};
  EXPECT_EQ(GetOwnVersion(), "5.6.7");

  os.imageVersion = {{VersionKey("041904b0"), Z("5.6.7")}};
  os.versions["c:\\host\\self.exe"] = {{VersionKey("041904b0"), Z("5.6.8")}};
  EXPECT_EQ(GetOwnVersion(), "5.6.7");
  EXPECT_EQ(ReadInternalVersion(os.executablePath), "5.6.8") << "the file's own stays readable";
}

}  // namespace
}  // namespace lumiclip::testing
