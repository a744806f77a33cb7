#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "install/file_replace.h"
#include "install/manifest.h"

namespace lumiclip::testing {
namespace {

using Manifest = HostFixture;

const std::string kFolder = "C:\\Users\\me\\AppData\\Roaming\\Lumiclip";
const std::string kPath = kFolder + "\\lumiclip-native-manifest.json";
const std::set<std::string> kManifestOnly = {"lumiclip-native-manifest.json"};

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", from)) {
    lines.push_back(text.substr(from, at - from));
    from = at + 2;
  }
  lines.push_back(text.substr(from));
  return lines;
}

bool IsExtensionOrigin(const std::string& origin) {
  const std::string head = "chrome-extension://";
  if (origin.size() != head.size() + 33 || origin.compare(0, head.size(), head) != 0) return false;
  for (size_t i = head.size(); i < head.size() + 32; ++i) {
    if (origin[i] < 'a' || origin[i] > 'p') return false;
  }
  return origin.back() == '/';
}

class ManifestInFolder : public Manifest {
 protected:
  ManifestInFolder() { os.AddFolder(kFolder); }
};

// The resource is handed over byte for byte, zeros and all.
TEST_F(Manifest, TemplateIsTheWholeResource) {
  const std::string resource = std::string("{\0\r\n\xff EXE_PATH", 13);
  os.resources[{101, "TEXT"}] = resource;
  EXPECT_EQ(LoadManifestTemplate(), resource);
  os.resources.clear();
  EXPECT_EQ(LoadManifestTemplate(), "");
}

// The template file that the resource script embeds.
TEST(ManifestTemplate, Shape) {
  std::string text = ReadSourceFile("res/manifest-template.json");
  EXPECT_EQ(text.size(), 544u);
  // Every line ends in CR LF, the last one too.
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  size_t lineFeeds = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++lineFeeds;
      EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
    }
    if (text[i] == '\r') {
      EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << "bare carriage return at " << i;
    }
  }
  EXPECT_EQ(lineFeeds, 13u);
  size_t first = text.find("EXE_PATH");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("EXE_PATH", first + 1), std::string::npos);
}

TEST_F(ManifestInFolder, WrittenForTheDeployedExecutable) {
  EXPECT_TRUE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  ASSERT_TRUE(os.HasFile(kPath));
  std::string text = os.FileText(kPath);
  EXPECT_EQ(text.size(), 562u);
  std::vector<std::string> lines = SplitCrLf(text);
  ASSERT_EQ(lines.size(), 14u);  // 13 lines and the empty rest after the last CR LF
  EXPECT_EQ(lines[3], "    \"path\": \"lumiclip-chrome-plugin.exe\",");
  EXPECT_EQ(lines[13], "");

  nlohmann::json json = nlohmann::json::parse(text);
  EXPECT_EQ(json["name"], "com.lumiclipapp.api");
  EXPECT_EQ(json["path"], "lumiclip-chrome-plugin.exe");
  EXPECT_EQ(json["type"], "stdio");
  ASSERT_TRUE(json["allowed_origins"].is_array());
  ASSERT_EQ(json["allowed_origins"].size(), 5u);
  bool hasStoreId = false;
  for (const auto& origin : json["allowed_origins"]) {
    ASSERT_TRUE(origin.is_string());
    EXPECT_TRUE(IsExtensionOrigin(origin.get<std::string>())) << origin;
    hasStoreId |= origin == "chrome-extension://ggboicgfhomimadepbllgoiodjhaeipi/";
  }
  EXPECT_TRUE(hasStoreId);

  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Extracting manifest...", "Done"}));
  EXPECT_EQ(os.Log().find("Error"), std::string::npos);
}

TEST_F(ManifestInFolder, WrittenThroughATemporaryFile) {
  os.AddFile(kPath, "old manifest");
  os.FlushAll();
  ASSERT_TRUE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileNamesIn(kFolder), kManifestOnly);
  EXPECT_EQ(os.OpenFileHandles(), 0u);
  // Flushed, then moved into place with write-through: a power cut now
  // leaves the whole new manifest.
  os.Reboot();
  EXPECT_EQ(os.FileText(kPath).size(), 562u);
  EXPECT_EQ(os.FileNamesIn(kFolder), kManifestOnly);
}

TEST_F(ManifestInFolder, PathLineForEachName) {
  struct Case {
    const char* name;
    std::string pathLine;  // the fourth line, UTF-8
    size_t size;
  };
  for (const Case& c : std::vector<Case>{
           {"cafe.exe", "    \"path\": \"cafe.exe\",", 544},
           // Names are UTF-8 and stay so, in the code page or outside it.
           {"caf\xc3\xa9.exe", "    \"path\": \"caf\xc3\xa9.exe\",", 545},
           {"\xe2\x82\xac.exe", "    \"path\": \"\xe2\x82\xac.exe\",", 544 - 8 + 7},
           {"\xc5\x81 \xe6\x97\xa5\xe6\x9c\xac.exe",
            "    \"path\": \"\xc5\x81 \xe6\x97\xa5\xe6\x9c\xac.exe\",", 544 - 8 + 13},
           {"", "    \"path\": \"\",", 536},
           {"a.b.c.exe", "    \"path\": \"a.b.c.exe\",", 545},
           // A name holding the placeholder is inserted once, not again.
           {"EXE_PATH", "    \"path\": \"EXE_PATH\",", 544},
           {"xEXE_PATHEXE_PATH.exe", "    \"path\": \"xEXE_PATHEXE_PATH.exe\",", 544 - 8 + 21},
       }) {
    SCOPED_TRACE(c.name);
    os.files.clear();
    EXPECT_TRUE(ExtractManifest(c.name, kFolder.c_str()));
    std::string text = os.FileText(kPath);
    EXPECT_EQ(text.size(), c.size);
    std::vector<std::string> lines = SplitCrLf(text);
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines[3], c.pathLine);
    // Everything but the path is the template's.
    std::string tmpl = ReadSourceFile("res/manifest-template.json");
    std::vector<std::string> expected = SplitCrLf(tmpl);
    expected[3] = c.pathLine;
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(nlohmann::json::accept(text));
  }
}

TEST_F(ManifestInFolder, OldLongerManifestLeavesNoTail) {
  os.AddFile(kPath, std::string(5000, 'x'));
  ASSERT_TRUE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileText(kPath).size(), 562u);
  EXPECT_EQ(os.FileText(kPath).find('x' + std::string(10, 'x')), std::string::npos);
}

TEST_F(Manifest, MissingFolder) {
  os.files.clear();
  EXPECT_FALSE(ExtractManifest("lumiclip-chrome-plugin.exe", "C:\\Nowhere\\Lumiclip"));
  EXPECT_FALSE(os.HasFile("C:\\Nowhere\\Lumiclip\\lumiclip-native-manifest.json"));
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Extracting failed"}));
}

TEST_F(ManifestInFolder, MissingTemplateWritesAnEmptyFile) {
  os.resources.clear();
  os.AddFile(kPath, "old");
  EXPECT_TRUE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  ASSERT_TRUE(os.HasFile(kPath));
  EXPECT_EQ(os.FileText(kPath), "");
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Written 0 bytes", "Done"}));
}

TEST_F(ManifestInFolder, ShortWriteKeepsTheOldManifest) {
  os.AddFile(kPath, "old manifest");
  os.writeLimits["~"] = 100;
  EXPECT_FALSE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileText(kPath), "old manifest");
  EXPECT_EQ(os.FileNamesIn(kFolder), kManifestOnly);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Written 100 bytes"}));
}

TEST_F(ManifestInFolder, ShortWriteWithoutAnOldManifestLeavesNone) {
  os.writeLimits["~"] = 0;
  EXPECT_FALSE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileNamesIn(kFolder), std::set<std::string>{});
}

TEST_F(ManifestInFolder, FailedReplaceKeepsTheOldManifest) {
  os.AddFile(kPath, "old manifest");
  os.failing.insert("RenameFile");
  EXPECT_FALSE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileText(kPath), "old manifest");
  EXPECT_EQ(os.FileNamesIn(kFolder), kManifestOnly);
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Extracting manifest...", "Written 562 bytes", "Done"}));
  size_t done = log.find(StoredLogLine("Done"));
  ASSERT_NE(done, std::string::npos);
  EXPECT_NE(log.find("**** Error:", done), std::string::npos) << log;
}

TEST_F(ManifestInFolder, CannotOpenTheTemporaryFile) {
  os.AddFile(kPath, "old manifest");
  os.failing.insert("OpenNewFile");
  EXPECT_FALSE(ExtractManifest("lumiclip-chrome-plugin.exe", kFolder.c_str()));
  EXPECT_EQ(os.FileText(kPath), "old manifest");
  EXPECT_EQ(os.FileNamesIn(kFolder), kManifestOnly);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Extracting failed"}));
}

TEST_F(Manifest, PathLimitIs259Characters) {
  const std::string name = "\\lumiclip-native-manifest.json";
  for (size_t total : {258u, 259u, 260u, 400u}) {
    SCOPED_TRACE(total);
    os.files.clear();
    log_internal::ResetForTests();
    std::string folder = "C:\\" + std::string(total - name.size() - 3, 'f');
    os.AddFolder(folder);
    std::string path = folder + name;
    ASSERT_EQ(path.size(), total);
    bool ok = ExtractManifest("lumiclip-chrome-plugin.exe", folder.c_str());
    if (total <= 259) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(os.FileText(path).size(), 562u);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_FALSE(os.HasFile(path));
      EXPECT_TRUE(os.FileNamesIn(folder).empty());
      EXPECT_TRUE(LogHasInOrder(os.Log(), {"\n**** Error: Path too long: " + path + "\n",
                                           "Extracting failed"}));
    }
  }
}

// The temporary file beside the manifest must not push a path that fits
// over the limit.
TEST_F(Manifest, LongestAllowedPathIsWrittenUnderTheAnsiLimit) {
  os.maxPathLength = 259;
  const std::string name = "\\lumiclip-native-manifest.json";
  std::string folder = "C:\\" + std::string(259 - name.size() - 3, 'f');
  os.AddFolder(folder);
  std::string path = folder + name;
  ASSERT_EQ(path.size(), 259u);
  EXPECT_TRUE(ExtractManifest("lumiclip-chrome-plugin.exe", folder.c_str()));
  EXPECT_EQ(os.FileText(path).size(), 562u);
}

}  // namespace
}  // namespace lumiclip::testing
