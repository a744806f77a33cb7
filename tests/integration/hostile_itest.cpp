// Hostile input, end to end: after each case the host has either answered
// correctly or ended cleanly, and no file it guards has changed unless an
// update succeeded.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kPong[] = "{\"topic\":\"pong\"}";

struct Case {
  const char* name;
  std::function<std::string()> bytes;  // what the browser sends
  enum Outcome { kAnswersPing, kEndsCleanly } outcome;
  std::string reply;  // a message that must arrive, if any
};

std::string Update(const char* command, const std::string& data) {
  return FrameOf(std::string("{\"JSONCommand\":\"") + command + "\",\"data\":\"" + data + "\"}");
}

class Hostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A real installation whose files must survive every case.
    HostFolder installer("hostile-installer");
    ProcessResult r = Wine::Get().Run({installer.exe()});
    ASSERT_EQ(r.exitCode, 0);
  }
  static std::string Deployed(const std::string& name) {
    return ReadFile(Wine::Get().AppData() + "/Lumiclip/" + name);
  }
};

TEST_F(Hostile, EveryCaseEndsInAnAnswerOrACleanExitAndKeepsTheFiles) {
  const std::string status1Dll = "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}";
  const std::string status1Native =
      "{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error writing staged native file\"}";
  std::vector<Case> cases = {
      {"huge length, few bytes", [] { return Le32(0x7FFFFFFF) + std::string(64, 'x'); }, Case::kEndsCleanly, ""},
      {"length of -1", [] { return Le32(0xFFFFFFFFu); }, Case::kAnswersPing, ""},
      {"length beyond what follows", [] { return Le32(5000) + "{\"JSONCommand\":\"ping\"}"; },
       Case::kEndsCleanly, ""},
      {"invalid UTF-8 to a built-in command",
       [] { return FrameOf("{\"JSONCommand\":\"ping\",\"x\":\"\xff\xfe\xc3\"}"); }, Case::kAnswersPing, kPong},
      {"invalid UTF-8 to the engine",
       [] { return FrameOf("{\"JSONFunction\":\"emit\",\"topic\":\"t\xff\",\"data\":\"\xc3\x28\xed\xa0\x80\"}"); },
       Case::kAnswersPing, ""},
      {"10 MiB of quotes to the engine", [] { return FrameOf(std::string(10u << 20, '"')); }, Case::kAnswersPing,
       ""},
      {"a 10,000-byte command word",
       [] { return FrameOf("{\"JSONCommand\":\"" + std::string(10000, 'w') + "\"}"); }, Case::kAnswersPing, ""},
      {"payload with line ends", [] { return Update("updateDLL", "YWJj\\nYWJj"); }, Case::kEndsCleanly, status1Dll},
      {"payload with a raw line feed", [] { return Update("updateDLL", "YWJj\nYWJj"); }, Case::kEndsCleanly,
       status1Dll},
      {"payload with a JSON escape", [] { return Update("updateDLL", "YWJj\\u0041"); }, Case::kEndsCleanly,
       status1Dll},
      {"payload with '=' inside", [] { return Update("updateDLL", "YW=jYWJj"); }, Case::kEndsCleanly, status1Dll},
      {"payload outside the alphabet", [] { return Update("updateDLL", "YWJj-_YW"); }, Case::kEndsCleanly,
       status1Dll},
      {"payload of bytes above 0x7F", [] { return Update("updateDLL", "YWJj\xc3\xa9YW"); }, Case::kEndsCleanly,
       status1Dll},
      {"empty payload", [] { return Update("updateDLL", ""); }, Case::kEndsCleanly, status1Dll},
      {"no data member", [] { return FrameOf("{\"JSONCommand\":\"updateDLL\"}"); }, Case::kEndsCleanly,
       status1Dll},
      {"blank after the colon", [] { return FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\": \"YWJj\"}"); },
       Case::kEndsCleanly, status1Dll},
      {"payload without its closing quote", [] { return FrameOf("{\"JSONCommand\":\"updateDLL\",\"data\":\"YWJj"); },
       Case::kEndsCleanly, status1Dll},
      {"5 MiB of garbage as payload", [] { return Update("updateDLL", std::string(5u << 20, '!')); },
       Case::kEndsCleanly, status1Dll},
      {"damaged new host", [] { return Update("updateNative", "TVqQ\\r\\nAAMA"); }, Case::kEndsCleanly,
       status1Native},
      {"padding inside a new host", [] { return Update("updateNative", "TVqQ=AAA"); }, Case::kEndsCleanly,
       status1Native},
  };

  HostFolder folder("hostile");
  folder.CopyFromBin("RAZ.dll");
  const std::string engine = folder.Read("RAZ.dll");
  const std::string deployedExe = Deployed("lumiclip-chrome-plugin.exe");
  const std::string deployedManifest = Deployed("lumiclip-native-manifest.json");
  ASSERT_EQ(deployedManifest.size(), 562u);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    folder.Write("native-lumiclip.log", "");
    Conversation talk(folder.winExe());
    std::string m;
    ASSERT_TRUE(talk.Next(&m));  // hostVersion
    ASSERT_TRUE(talk.Next(&m));  // status 0: the engine is there
    talk.SendRaw(c.bytes());
    if (c.outcome == Case::kAnswersPing) {
      talk.Send("{\"JSONCommand\":\"ping\"}");
      bool pong = false;
      bool sawReply = c.reply.empty();
      while (!pong && talk.Next(&m, 60000)) {
        pong = m == kPong;
        if (m == c.reply) sawReply = true;
      }
      EXPECT_TRUE(pong) << "no answer to a ping after the hostile input";
      EXPECT_TRUE(sawReply);
      talk.CloseInput();
    } else {
      if (!c.reply.empty()) {
        ASSERT_TRUE(talk.Next(&m, 60000));
        EXPECT_EQ(m, c.reply);
      }
      talk.CloseInput();  // a host waiting for the rest of a frame sees the end
    }
    EXPECT_EQ(talk.Wait(60000), 0);
    EXPECT_EQ(talk.FrameErrors(), "");
    std::vector<std::string> lines = Lines(folder.Log());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Exit");
    EXPECT_TRUE(folder.Read("RAZ.dll") == engine) << "the engine library changed";
    EXPECT_TRUE(Deployed("lumiclip-chrome-plugin.exe") == deployedExe) << "the deployed host changed";
    EXPECT_TRUE(Deployed("lumiclip-native-manifest.json") == deployedManifest) << "the manifest changed";
  }
}

TEST_F(Hostile, ASuccessfulUpdateIsTheOnlyChange) {
  HostFolder folder("hostile-update");
  folder.CopyFromBin("RAZ.dll");
  Conversation talk(folder.winExe());
  std::string m;
  ASSERT_TRUE(talk.Next(&m));
  ASSERT_TRUE(talk.Next(&m));
  talk.SendRaw(Update("updateDLL", "YWI="));
  ASSERT_TRUE(talk.Next(&m));
  EXPECT_EQ(m, "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}");
  talk.CloseInput();
  EXPECT_EQ(talk.Wait(), 0);
  EXPECT_EQ(folder.Read("RAZ.dll"), "ab");  // padding decoded, nothing more
}

}  // namespace
}  // namespace lumiclip::itest
