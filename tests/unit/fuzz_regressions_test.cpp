// The fuzz targets' inputs replayed through the very checks the targets run
// (tests/fuzz/fuzz_checks.h), in the ordinary test suite: the seed corpus of
// each target (tests/fuzz/corpus/<target>/) and every input that once broke
// a property (tests/fuzz/regressions/<target>/).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"

namespace lumiclip::testing {
namespace {

namespace fs = std::filesystem;

using Check = std::string (*)(const uint8_t*, size_t);

std::vector<fs::path> FilesIn(const std::string& relative) {
  std::vector<fs::path> files;
  fs::path folder = fs::path(LUMICLIP_SOURCE_DIR) / relative;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs every file of the folder through the check; returns how many there
// were.
size_t Replay(const std::string& relative, Check check) {
  std::vector<fs::path> files = FilesIn(relative);
  for (const fs::path& file : files) {
    std::string bytes = Bytes(file);
    EXPECT_EQ(check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "")
        << relative << "/" << file.filename().string();
  }
  return files.size();
}

void ReplayTarget(const std::string& target, Check check) {
  EXPECT_GT(Replay("tests/fuzz/corpus/" + target, check), 0u) << "no seed corpus for " << target;
  Replay("tests/fuzz/regressions/" + target, check);
}

TEST(FuzzRegressions, HostInput) { ReplayTarget("fuzz_host_input", fuzz::CheckHostInput); }
TEST(FuzzRegressions, EngineReentry) { ReplayTarget("fuzz_engine_reentry", fuzz::CheckEngineReentry); }
TEST(FuzzRegressions, ExtractCommand) { ReplayTarget("fuzz_extract_command", fuzz::CheckExtractCommand); }
TEST(FuzzRegressions, Payload) { ReplayTarget("fuzz_payload", fuzz::CheckPayload); }
TEST(FuzzRegressions, WriteMessage) { ReplayTarget("fuzz_write_message", fuzz::CheckWriteMessage); }

// The checks themselves: each must refuse what breaks its property, or the
// replays above would prove nothing.
TEST(FuzzRegressions, TheReferencesAgreeWithKnownAnswers) {
  EXPECT_EQ(fuzz::ReferenceEncodeBase64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(fuzz::ReferenceEncodeBase64("fo"), "Zm8=");
  EXPECT_EQ(fuzz::ReferenceDecodeBase64("Zm9vYg==").bytes, "foob");
  EXPECT_TRUE(fuzz::ReferenceDecodeBase64("Zm9vY").valid);  // the odd character dropped
  EXPECT_EQ(fuzz::ReferenceDecodeBase64("Zm9vY").bytes, "foo");
  EXPECT_EQ(fuzz::ReferenceDecodeBase64("\\/\\/\\/\\/").bytes, "\xff\xff\xff");
  EXPECT_FALSE(fuzz::ReferenceDecodeBase64("Zg=").valid);
  EXPECT_FALSE(fuzz::ReferenceDecodeBase64("Zg==Zg==").valid);
  EXPECT_FALSE(fuzz::ReferenceDecodeBase64("Z===").valid);
  EXPECT_FALSE(fuzz::ReferenceDecodeBase64("Zm\\n9v").valid);
  EXPECT_TRUE(fuzz::ReferenceDecodeBase64("Zm9v\"junk").closed);

  EXPECT_EQ(fuzz::ReferenceCommand("{\"JSONCommand\":\"ping\"}", 22), "ping");
  EXPECT_EQ(fuzz::ReferenceCommand("{\"JSONCommand\":\"ping\"}", 16), "");  // starts past the length
  EXPECT_EQ(fuzz::ReferenceCommand("{\"JSONCommand\":\"" + std::string(260, 'w') + "\"}", 300), "");

  EXPECT_EQ(fuzz::ReferenceSanitize("a\xff\xe2\x82\xac\xed\xa0\x80"),
            "a\xef\xbf\xbd\xe2\x82\xac\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(fuzz::ReferenceJsonEscape("\"\\\n\x01\xff\xc3\xa9"), "\\\"\\\\\\n\\u0001\\ufffd\xc3\xa9");
  EXPECT_EQ(fuzz::ReferenceUtf16ToUtf8(u"\u00e9\U0001F600\xD800"), "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd");
}

TEST(FuzzRegressions, TheFrameReaderRefusesBrokenFrames) {
  auto frame = [](const std::string& body) {
    std::string f(4, '\0');
    for (int i = 0; i < 4; ++i) f[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
    return f + body;
  };
  std::vector<std::string> chunks;
  EXPECT_EQ(fuzz::ReadOutboundFrames(frame("{\"data\":\"a\\u00e9\\ufffd\"}"), &chunks), "");
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], "a\xc3\xa9\xef\xbf\xbd");
  for (const std::string& bad : {frame("{\"data\":\"a\nb\"}"), frame("{\"data\":\"a\"b\"}"),
                                 frame("{\"data\":\"\\x\"}"), frame("{\"data\":\"\\ud800\"}"),
                                 frame("{\"dat\":\"\"}"), frame("{\"data\":\"ab").substr(0, 9),
                                 std::string("\x01\x00\x10\x00", 4) + "{}"}) {
    chunks.clear();
    EXPECT_NE(fuzz::ReadOutboundFrames(bad, &chunks), "") << fuzz::Show(bad);
  }
}

}  // namespace
}  // namespace lumiclip::testing
