#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/host_fixture.h"
#include "support/dialogs.h"

namespace lumiclip::testing {
namespace {

using Dialogs = HostFixture;

const std::string kRule(53, '-');
const std::string kAddress = "support@lumiclipapp.com";

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  return text;
}

std::string ExpectedMaintenance(const std::string& detail) {
  return JoinCrLf({
      "There was error during Lumiclip maintenance:",
      "",
      kRule,
      "\"" + detail + "\"",
      kRule,
      "",
      "- Please make sure the advanced version of Lumiclip is not running.",
      "",
      "- Please make sure the destination folder is writable, then try again.",
      "",
      "- You may also try running this executable with admin privileges.",
      "",
      "If nothing helps, please report this error to: " + kAddress,
  });
}

std::string ExpectedRegistry(const std::string& detail) {
  return JoinCrLf({
      "There was error during accessing registry:",
      "",
      kRule,
      "\"" + detail + "\"",
      kRule,
      "",
      "Please try again or run this file with admin privileges.",
      "If nothing helps, please report this error to: " + kAddress,
  });
}

size_t LineCount(const std::string& text) {
  size_t n = 1;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
  return n;
}

const std::vector<std::string> kDetails = {
    "Error registering Lumiclip Native Host",
    "",
    "Error copying native host to:\r\nC:\\Users\\me\\AppData\\Roaming\\Lumiclip\\lumiclip-chrome-plugin.exe",
    "a \"quoted\" word",
    "%s %d",
};

TEST_F(Dialogs, MaintenanceTextIsExact) {
  for (const std::string& detail : kDetails) {
    EXPECT_EQ(MaintenanceErrorText(detail.c_str()), ExpectedMaintenance(detail)) << detail;
  }
}

TEST_F(Dialogs, RegistryTextIsExact) {
  for (const std::string& detail : kDetails) {
    EXPECT_EQ(RegistryErrorText(detail.c_str()), ExpectedRegistry(detail)) << detail;
  }
}

TEST_F(Dialogs, LineCounts) {
  EXPECT_EQ(LineCount(MaintenanceErrorText("one line")), 13u);
  EXPECT_EQ(LineCount(RegistryErrorText("one line")), 8u);
  // A two-line detail adds one line; nothing follows the address.
  std::string text = MaintenanceErrorText("Error copying native host to:\r\nC:\\x");
  EXPECT_EQ(LineCount(text), 14u);
  EXPECT_EQ(text.substr(text.size() - kAddress.size()), kAddress);
  EXPECT_NE(text.find("\r\n\"Error copying native host to:\r\nC:\\x\"\r\n"), std::string::npos);
}

TEST_F(Dialogs, ShowBoxesWithTheErrorCaptionAndIcon) {
  ShowMaintenanceError("Error copying manifest file to:\r\nC:\\m.json");
  ShowRegistryError("Error registering Lumiclip Native Host");
  ASSERT_EQ(os.boxes.size(), 2u);
  EXPECT_EQ(os.boxes[0].text, ExpectedMaintenance("Error copying manifest file to:\r\nC:\\m.json"));
  EXPECT_EQ(os.boxes[1].text, ExpectedRegistry("Error registering Lumiclip Native Host"));
  for (const FakeBox& box : os.boxes) {
    EXPECT_TRUE(box.hasCaption);
    EXPECT_EQ(box.caption, "Lumiclip Error");
    EXPECT_EQ(box.flags, 0x10u);  // MB_OK | MB_ICONERROR
  }
}

}  // namespace
}  // namespace lumiclip::testing
