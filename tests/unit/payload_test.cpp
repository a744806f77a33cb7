#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "fuzz/fuzz_checks.h"
#include "install/file_replace.h"
#include "install/payload.h"
#include "support/paths.h"
#include "support/unicode.h"

namespace lumiclip::testing {
namespace {

using Decoded = fuzz::HostDecoded;

// Input and output in buffers of exactly the documented sizes, so that the
// sanitizers see any access past either; and again in place, as the host
// decodes, which must give the same.
Decoded Decode(const std::string& text) {
  Decoded d = fuzz::HostDecodeBase64(text);
  if (d.result.error == nullptr) {
    EXPECT_LE(d.result.size, Base64OutputBound(text.size()));
  }
  EXPECT_FALSE(d.inPlaceDiffers) << "in place";
  return d;
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(byte(rng));
  return bytes;
}

std::string EscapeSlashes(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

std::string WithoutPadding(std::string text) {
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

TEST(Base64, EncoderUnderTestAgreesWithTheRfcVectors) {
  // The reference encoder the round trips below rely on.
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("f"), "Zg==");
  EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(EncodeBase64("\xff\xff\xff"), "////");
}

TEST(Base64, RfcVectors) {
  struct Case {
    const char* text;
    std::string bytes;
  };
  for (const Case& c : std::vector<Case>{{"", ""},
                                         {"Zg==", "f"},
                                         {"Zm8=", "fo"},
                                         {"Zm9v", "foo"},
                                         {"Zm9vYg==", "foob"},
                                         {"Zm9vYmE=", "fooba"},
                                         {"Zm9vYmFy", "foobar"}}) {
    Decoded d = Decode(c.text);
    EXPECT_EQ(d.result.error, nullptr) << c.text;
    EXPECT_EQ(d.bytes, c.bytes) << c.text;
    EXPECT_FALSE(d.result.closed) << c.text;
    EXPECT_EQ(d.stop, std::string(c.text).size()) << c.text;
  }
}

TEST(Base64, UnpaddedAndLeftoverCharacters) {
  struct Case {
    const char* text;
    std::string bytes;
  };
  for (const Case& c : std::vector<Case>{{"YWI", "ab"},
                                         {"Zm9vYg", "foob"},
                                         {"Zm9vYmE", "fooba"},
                                         {"YWI=", "ab"},
                                         {"YQ==", "a"},
                                         // One character over cannot make a byte.
                                         {"Zm9vY", "foo"},
                                         {"Y", ""},
                                         {"Zm9vYmFyZ", "foobar"}}) {
    Decoded d = Decode(c.text);
    EXPECT_EQ(d.result.error, nullptr) << c.text;
    EXPECT_EQ(d.bytes, c.bytes) << c.text;
  }
}

TEST(Base64, EscapedSlash) {
  Decoded d = Decode("\\/\\/\\/\\/");
  EXPECT_EQ(d.result.error, nullptr);
  EXPECT_EQ(d.bytes, "\xff\xff\xff");
  // Mixed with plain characters, inside and across groups.
  d = Decode("YW\\/j" + EscapeSlashes(EncodeBase64("\xfb\xff\xbf?/")));
  EXPECT_EQ(d.result.error, nullptr);
  EXPECT_EQ(d.bytes, std::string("a\x6f\xe3") + "\xfb\xff\xbf?/");
}

TEST(Base64, RejectedTexts) {
  for (const std::string& text : std::vector<std::string>{
           "YW\nJj", "YW\r\nJj", "YWJj\n", "YWJj\\u0041", "YW=Jj", "Y===", "YWJj=", "YW Jj",
           "YWJj YWJj", "Y=", "YW=", "YWI==", "====", "YWJj\\", "YW\\\"Jj", "YW\tJj", "YWJ-", "YWJ_",
           std::string("YW\0Jj", 5), "YW\x80Jj", "YWJ\xff", "\xc3\xa9YWJj", "Zg==Zg==",
           "Zg===", "YWJjYWJjYWJjYWJjYW\nJj"}) {
    Decoded d = Decode(text);
    EXPECT_NE(d.result.error, nullptr) << "accepted: " << ::testing::PrintToString(text);
    EXPECT_LE(d.stop, text.size());
  }
}

TEST(Base64, BadByteAnywhereIsFoundWhereItIs) {
  // A long valid text takes the fast path; a bad byte at any position must
  // still stop it there.
  std::string valid = EncodeBase64(std::string(60, 'q'));
  ASSERT_EQ(valid.size(), 80u);
  for (const char* bad : {"\n", " ", "\x80", "\\u", "\xff", "-"}) {
    for (size_t k = 0; k < valid.size(); ++k) {
      std::string text = valid;
      text.replace(k, 1, bad);
      Decoded d = Decode(text);
      ASSERT_NE(d.result.error, nullptr) << k << " " << ::testing::PrintToString(text);
      EXPECT_EQ(d.stop, k) << ::testing::PrintToString(text);
    }
  }
}

TEST(Base64, StopsAtTheFirstUnescapedQuote) {
  Decoded d = Decode("YWJj\"rest is \n not base64\"");
  EXPECT_EQ(d.result.error, nullptr);
  EXPECT_TRUE(d.result.closed);
  EXPECT_EQ(d.stop, 4u);
  EXPECT_EQ(d.bytes, "abc");

  d = Decode("\"YWJj");
  EXPECT_EQ(d.result.error, nullptr);
  EXPECT_TRUE(d.result.closed);
  EXPECT_EQ(d.stop, 0u);
  EXPECT_EQ(d.bytes, "");

  d = Decode("YWI=\",\"x\":\"y\"}");
  EXPECT_EQ(d.result.error, nullptr);
  EXPECT_TRUE(d.result.closed);
  EXPECT_EQ(d.stop, 4u);
  EXPECT_EQ(d.bytes, "ab");
}

TEST(Base64, QuoteAtEveryPositionOfALongText) {
  std::mt19937 rng(7);
  std::string bytes = RandomBytes(rng, 75);
  std::string text = EncodeBase64(bytes);
  ASSERT_EQ(text.size(), 100u);
  for (size_t k = 0; k < text.size(); ++k) {
    Decoded d = Decode(text.substr(0, k) + "\"" + text.substr(k));
    ASSERT_EQ(d.result.error, nullptr) << k;
    EXPECT_TRUE(d.result.closed) << k;
    EXPECT_EQ(d.stop, k);
    // Whole groups give three bytes, a group cut after two or three
    // characters one or two.
    size_t n = k / 4 * 3 + (k % 4 == 2 ? 1 : k % 4 == 3 ? 2 : 0);
    EXPECT_EQ(d.bytes, bytes.substr(0, n)) << k;
  }
}

TEST(Base64, RandomRoundTripOfEveryLength) {
  std::mt19937 rng(20240531);
  for (size_t n = 0; n <= 300; ++n) {
    std::string bytes = RandomBytes(rng, n);
    std::string text = EncodeBase64(bytes);
    for (const std::string& variant :
         {text, WithoutPadding(text), EscapeSlashes(text), EscapeSlashes(WithoutPadding(text))}) {
      Decoded d = Decode(variant);
      ASSERT_EQ(d.result.error, nullptr) << n << " " << variant;
      ASSERT_EQ(d.bytes, bytes) << n << " " << variant;
      EXPECT_FALSE(d.result.closed);
      EXPECT_EQ(d.stop, variant.size());

      Decoded quoted = Decode(variant + "\"}");
      ASSERT_EQ(quoted.bytes, bytes) << n;
      EXPECT_TRUE(quoted.result.closed);
      EXPECT_EQ(quoted.stop, variant.size());
    }
  }
}

TEST(Base64, LargePayload) {
  std::mt19937 rng(99);
  std::string bytes = RandomBytes(rng, 3 * 1024 * 1024 + 1);
  Decoded d = Decode(EncodeBase64(bytes) + "\"");
  ASSERT_EQ(d.result.error, nullptr);
  EXPECT_TRUE(d.result.closed);
  EXPECT_TRUE(d.bytes == bytes);
}

// --- saving --------------------------------------------------------------

const std::string kTarget = "C:\\Host\\RAZ.dll";
const std::string kOld = "old engine bytes";
const std::set<std::string> kHostFiles = {"raz.dll", "native-lumiclip.log"};

class Payload : public HostFixture {
 protected:
  Payload() { os.AddFile(kTarget, kOld); }
  bool Save(std::string message) {
    return SavePayloadFile(message.data(), static_cast<int32_t>(message.size()), kTarget.c_str(),
                           state);
  }
  void ExpectUntouched() {
    EXPECT_EQ(os.FileText(kTarget), kOld);
    EXPECT_EQ(os.FileNamesIn("C:\\Host"), kHostFiles) << "a temporary file was left";
  }
  // The path of every temporary file written, in order.
  std::vector<std::string> Temporaries() {
    std::vector<std::string> paths;
    for (const std::string& call : os.calls) {
      if (call.rfind("OpenNewFile(", 0) == 0) paths.push_back(call.substr(12, call.size() - 13));
    }
    return paths;
  }
  HostState state;
};

TEST_F(Payload, SavesTheDecodedData) {
  os.files.erase(FakeOs::Lower(kTarget));
  EXPECT_TRUE(Save("{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj\"}"));
  EXPECT_EQ(os.FileText(kTarget), "abc");
  EXPECT_EQ(os.FileNamesIn("C:\\Host"), kHostFiles);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Saving to file: " + kTarget, "Written 3 bytes"}));
}

TEST_F(Payload, ReplacesTheOldFileThroughATemporaryOne) {
  EXPECT_TRUE(Save("{\"data\":\"YWJj\"}"));
  EXPECT_EQ(os.FileText(kTarget), "abc");
  std::vector<std::string> written = Temporaries();
  ASSERT_EQ(written.size(), 1u);
  const std::string& part = written[0];
  // Beside the target, named for this process.
  EXPECT_EQ(part.rfind(kTarget + ".4242.", 0), 0u) << part;
  EXPECT_EQ(part.back(), '~');
  EXPECT_EQ(os.FileNamesIn("C:\\Host"), kHostFiles);

  // The next write of this process takes another name.
  EXPECT_TRUE(Save("{\"data\":\"YWJk\"}"));
  ASSERT_EQ(Temporaries().size(), 2u);
  EXPECT_NE(Temporaries()[1], part);
  EXPECT_EQ(os.OpenFileHandles(), 0u);
  // Flushed, then moved over the old file with write-through: a power cut
  // now leaves the new data.
  os.Reboot();
  EXPECT_EQ(os.FileText(kTarget), "abd");
  EXPECT_EQ(os.FileNamesIn("C:\\Host"), kHostFiles);
}

// Temporary names are created exclusively: a name that another writer holds,
// or that a crash left, is passed over and stays as it is; a target whose own
// name looks temporary is never written in place.
TEST_F(Payload, TemporaryNamesAreNeverShared) {
  struct Case {
    const char* name;
    std::string target;
  };
  for (const Case& c : std::vector<Case>{{"engine", kTarget},
                                         {"tilde", "C:\\Host\\RAZ.dl~"},
                                         {"looks like a temporary", "C:\\Host\\x.4242.1~"}}) {
    SCOPED_TRACE(c.name);
    os.files.clear();
    os.calls.clear();
    ResetTemporaryNamesForTests();
    os.AddFile(c.target, kOld);
    // The first two names this process would take are held already.
    std::string taken = c.target + ".4242.1~";
    std::string next = c.target + ".4242.2~";
    os.AddFile(taken, "another writer's bytes");
    os.AddFile(next, "left by a crash");
    std::string message = "{\"data\":\"YWJj\"}";
    EXPECT_TRUE(SavePayloadFile(message.data(), static_cast<int32_t>(message.size()), c.target.c_str(),
                                state));
    EXPECT_EQ(os.FileText(c.target), "abc");
    EXPECT_EQ(os.FileText(taken), "another writer's bytes");
    EXPECT_EQ(os.FileText(next), "left by a crash");
    std::vector<std::string> tried = Temporaries();
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_EQ(tried[0], taken);
    EXPECT_EQ(tried[1], next);
    for (const std::string& part : tried) EXPECT_NE(FakeOs::Lower(part), FakeOs::Lower(c.target));
  }
}

// A temporary name never passes the path limit (in UTF-16 units) where its
// target fits: the tag takes the place of the end of the name, whole
// characters only.
TEST_F(Payload, TemporaryNamesFitThePathLimit) {
  for (const std::string& name :
       {std::string("lumiclip-native-manifest.json"), std::string(58, 'n'),
        // Characters of three bytes and one unit, of four bytes and two
        // units: the cut falls between two characters or inside one.
        std::string("\xE8\xA1\xA8\xE8\xA1\xA8\xE8\xA1\xA8\xE8\xA1\xA8\xE8\xA1\xA8.dll"),
        std::string("\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80x.dll")}) {
    std::string folder = "C:\\" + std::string(259 - 4 - PathLength(name), 'f');
    std::string target = folder + "\\" + name;
    SCOPED_TRACE(target);
    ASSERT_EQ(PathLength(target), 259u);
    std::string part = TemporaryPathFor(target);
    EXPECT_LE(PathLength(part), 259u);
    EXPECT_EQ(part.back(), '~');
    ASSERT_EQ(part.rfind(folder + "\\", 0), 0u) << "not beside the target";
    // What is kept of the name ends on a whole character.
    std::string kept = part.substr(folder.size() + 1, part.rfind(".4242.") - folder.size() - 1);
    EXPECT_EQ(kept, name.substr(0, kept.size()));
    std::u16string wide;
    EXPECT_TRUE(Utf8ToUtf16(kept, &wide)) << "a character cut in half";
    EXPECT_GT(PathLength(part), 259u - 4) << "cut shorter than it needs to be";
  }
  // And such a file is written.
  os.maxPathLength = 259;
  std::string folder = "C:\\" + std::string(259 - 4 - 29, 'f');
  os.AddFolder(folder);
  std::string target = folder + "\\lumiclip-native-manifest.json";
  std::string message = "{\"data\":\"YWJj\"}";
  EXPECT_TRUE(SavePayloadFile(message.data(), static_cast<int32_t>(message.size()), target.c_str(), state));
  EXPECT_EQ(os.FileText(target), "abc");
}

TEST_F(Payload, DataEndsAtItsClosingQuote) {
  EXPECT_TRUE(Save("{\"data\":\"YWJj\",\"x\":\"zz\"}"));
  EXPECT_EQ(os.FileText(kTarget), "abc");
  EXPECT_TRUE(Save("{\"JSONCommand\":\"updateDLL\",\"data\":\"Zm9vYmFy\",\"JSONCommandID\":\"7\"}"));
  EXPECT_EQ(os.FileText(kTarget), "foobar");
}

TEST_F(Payload, EscapedSlashesAndOneCharacterPayload) {
  EXPECT_TRUE(Save("{\"data\":\"\\/\\/\\/\\/\"}"));
  EXPECT_EQ(os.FileText(kTarget), "\xff\xff\xff");

  os.files.erase(FakeOs::Lower(kTarget));
  EXPECT_TRUE(Save("{\"data\":\"Y\"}"));
  ASSERT_TRUE(os.HasFile(kTarget));
  EXPECT_EQ(os.FileText(kTarget), "");
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Written 0 bytes"}));
}

TEST_F(Payload, LargePayload) {
  std::mt19937 rng(3);
  std::string bytes = RandomBytes(rng, 3 * 1024 * 1024);
  EXPECT_TRUE(Save("{\"JSONCommand\":\"updateDLL\",\"data\":\"" + EncodeBase64(bytes) + "\"}"));
  EXPECT_TRUE(os.FileText(kTarget) == bytes);
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Written 3145728 bytes"}));
}

TEST_F(Payload, RequestsWithoutAUsablePayloadWriteNothing) {
  struct Case {
    const char* name;
    std::string message;
    int32_t length;  // -1: the message's own
  };
  const std::string good = "{\"data\":\"YWJj\"}";
  for (const Case& c : std::vector<Case>{
           {"space after the colon", "{\"data\": \"YWJj\"}", -1},
           {"no data key", "{\"JSONCommand\":\"updateDLL\",\"payload\":\"YWJj\"}", -1},
           {"data not a string", "{\"data\":12}", -1},
           {"empty payload", "{\"data\":\"\"}", -1},
           {"no closing quote", "{\"data\":\"YWJj", -1},
           {"closing quote past the length", good, 13},
           {"length ends where the payload starts", good, 9},
           {"length ends inside the key", good, 5},
           {"zero length", good, 0},
           {"negative length", good, -5},
       }) {
    SCOPED_TRACE(c.name);
    os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
    int32_t length = c.length == -1 ? static_cast<int32_t>(c.message.size()) : c.length;
    std::string message = c.message;
    EXPECT_FALSE(SavePayloadFile(message.data(), length, kTarget.c_str(), state));
    ExpectUntouched();
    EXPECT_EQ(os.OpenFileHandles(), 0u);
    EXPECT_TRUE(LogHasInOrder(os.Log(), {"Saving to file: " + kTarget}));
    EXPECT_EQ(os.Log().find("Written"), std::string::npos);
  }
}

TEST_F(Payload, CorruptPayloadIsRefusedBeforeAnythingChanges) {
  for (const std::string& payload :
       std::vector<std::string>{"YW\nJj", "YW\r\nJj", "YWJj\\u0041", "YW=Jj", "Y===", "YWJj=",
                                "YW Jj", "YW\xc3\xa9Jj", "YWJj\\\"more"}) {
    SCOPED_TRACE(payload);
    os.files.erase(FakeOs::Lower("C:\\Host\\native-lumiclip.log"));
    state.engineLoaded = true;
    EXPECT_FALSE(Save("{\"data\":\"" + payload + "\"}"));
    ExpectUntouched();
    EXPECT_EQ(os.OpenFileHandles(), 0u);
    // The engine keeps running when there is nothing to replace it with.
    EXPECT_TRUE(state.engineLoaded);
    std::string log = os.Log();
    EXPECT_EQ(log.find(StoredLogLine("Saving to file: " + kTarget)), 0u);
    EXPECT_NE(log.find("not valid base64"), std::string::npos) << log;
  }
}

TEST_F(Payload, FileThatCannotBeOpened) {
  os.failing.insert("OpenNewFile");
  EXPECT_FALSE(Save("{\"data\":\"YWJj\"}"));
  ExpectUntouched();
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"\n**** Error: Failed to open file for saving\n"}));
}

TEST_F(Payload, ShortWriteKeepsTheOldFile) {
  os.writeLimits["~"] = 2;
  EXPECT_FALSE(Save("{\"data\":\"Zm9vYmFy\"}"));
  ExpectUntouched();
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Written 2 bytes"}));
}

// Bytes whose flush or close failed may never reach the disk: the old file
// stays.
TEST_F(Payload, FailedFlushOrCloseKeepsTheOldFile) {
  for (const char* call : {"FlushFile", "CloseFile"}) {
    SCOPED_TRACE(call);
    os.failing = {call};
    EXPECT_FALSE(Save("{\"data\":\"Zm9vYmFy\"}"));
    ExpectUntouched();
  }
}

// Another host has the old file loaded: it cannot be replaced, only
// renamed. It is moved aside under a free name of this process (a taken
// one stays as it is), and moved back when the new file cannot take its
// place.
TEST_F(Payload, FileInUseIsMovedAside) {
  const std::string taken = kTarget + ".4242.2~";
  os.AddFile(taken, "another writer's bytes");
  os.inUseByOthers.insert(kTarget);
  EXPECT_TRUE(Save("{\"data\":\"Zm9vYmFy\"}"));
  EXPECT_EQ(os.FileText(kTarget), "foobar");
  EXPECT_EQ(os.FileText(taken), "another writer's bytes");
  EXPECT_EQ(os.FileText(kTarget + ".4242.3~"), kOld) << "the old file, still in use, stays aside";
  EXPECT_EQ(os.FileNamesIn("C:\\Host").size(), 4u);

  os.files.erase(FakeOs::Lower(kTarget + ".4242.3~"));
  os.files.erase(FakeOs::Lower(taken));
  os.AddFile(kTarget, kOld);
  os.inUseByOthers = {kTarget};
  // The new file (this process's fourth temporary name) cannot be renamed.
  os.failing.insert("RenameFile:" + FakeOs::Lower(kTarget) + ".4242.4~>");
  EXPECT_FALSE(Save("{\"data\":\"Zm9vYmFy\"}"));
  ExpectUntouched();
}

TEST_F(Payload, FailedReplaceKeepsTheOldFile) {
  os.failing.insert("RenameFile");
  EXPECT_FALSE(Save("{\"data\":\"Zm9vYmFy\"}"));
  ExpectUntouched();
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Saving to file: " + kTarget, "Written 6 bytes"}));
}

TEST_F(Payload, EngineLibraryUpdate) {
  os.executablePath = "D:\\App\\host.exe";
  os.AddFolder("D:\\App");
  const std::string target = "D:\\App\\RAZ.dll";
  std::string message = "{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj\"}";
  EXPECT_TRUE(UpdateEngineLibrary(state, message.data(), static_cast<int32_t>(message.size())));
  EXPECT_EQ(os.FileText(target), "abc");
  EXPECT_TRUE(LogHasInOrder(os.Log(), {"Updating raz.dll...", "Written 3 bytes", "Done"}));
}

TEST_F(Payload, EngineLibraryUpdateFailure) {
  std::string message = "{\"JSONCommand\":\"updateDLL\",\"data\":\"YW\\nJj\"}";
  EXPECT_FALSE(UpdateEngineLibrary(state, message.data(), static_cast<int32_t>(message.size())));
  ExpectUntouched();
  std::string log = os.Log();
  EXPECT_TRUE(LogHasInOrder(log, {"Updating raz.dll...", "Saving to file: " + kTarget}));
  std::string last = StoredLogLine("\n**** Error: RAZ.dll not saved.\n");
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
  EXPECT_EQ(log.find(StoredLogLine("Done")), std::string::npos);
}

}  // namespace
}  // namespace lumiclip::testing
