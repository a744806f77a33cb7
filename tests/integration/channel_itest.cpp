#include <gtest/gtest.h>

#include "wine_harness.h"

namespace lumiclip::itest {
namespace {

const char kHello[] = "{\"topic\":\"hostVersion\", \"data\":\"0.98.93\"}";
const char kGetDll[] = "{\"topic\":\"getDLL\"}";
const char kStatus0[] = "{\"topic\":\"status\", \"code\":\"0\", \"data\":\"0.98.93\"}";

TEST(Channel, AnnouncesGetDllWithoutTheEngine) {
  HostFolder folder("announce-missing");
  Conversation c(folder.winExe());
  std::string m;
  ASSERT_TRUE(c.Next(&m));
  EXPECT_EQ(m, kHello);
  ASSERT_TRUE(c.Next(&m));
  EXPECT_EQ(m, kGetDll);
  c.CloseInput();
  EXPECT_EQ(c.Wait(), 0);
  EXPECT_EQ(c.FrameErrors(), "");
  std::string log = folder.Log();
  EXPECT_EQ(log, "Started\r\nWith command: 1\r\nExit\r\n");
}

}  // namespace
}  // namespace lumiclip::itest
