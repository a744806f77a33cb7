#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <string>
#include <vector>

#include "channel/frame_writer.h"
#include "channel/text_escaping.h"
#include "channel/wire_format.h"
#include "fake/escape_paths.h"
#include "fake/host_fixture.h"

namespace lumiclip::testing {
namespace {

using Framing = HostFixture;

std::string Le(uint32_t n) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return s;
}

const std::string kEnd = Le(11) + "{\"data\":\"\"}";

TEST_F(Framing, PongIsTheWorkedExample) {
  WriteMessage("{\"topic\":\"pong\"}");
  EXPECT_EQ(os.output, Le(31) + "{\"data\":\"{\\\"topic\\\":\\\"pong\\\"}\"}" + kEnd);
}

TEST_F(Framing, EmptyMessageIsOnlyTheEndFrame) {
  WriteMessage("");
  EXPECT_EQ(os.output, kEnd);
}

TEST_F(Framing, ChunksAreAtMost921600Bytes) {
  std::string exact(921600, 'a');
  WriteMessage(exact);
  EXPECT_EQ(os.output, Le(921611) + "{\"data\":\"" + exact + "\"}" + kEnd);

  os.output.clear();
  WriteMessage(exact + "b");
  EXPECT_EQ(os.output, Le(921611) + "{\"data\":\"" + exact + "\"}" + Le(12) + "{\"data\":\"b\"}" + kEnd);
}

// On every way of escaping: the escapes themselves, and every byte value
// alone among plain text at every offset of the block loops (8, 16 and 64
// bytes at a time), where a block that misses it would copy it raw.
TEST_F(Framing, EscapesBackslashQuoteAndControlCharacters) {
  const std::string text("\\\"\n\r\t\b\f\x01\x1f\x7f\xc3\xa9", 12);
  const std::string expected = "\\\\\\\"\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xc3\xa9";
  auto escaped = [](unsigned char c) -> std::string {
    switch (c) {
      case '"': return "\\\"";
      case '\\': return "\\\\";
      case '\b': return "\\b";
      case '\f': return "\\f";
      case '\n': return "\\n";
      case '\r': return "\\r";
      case '\t': return "\\t";
    }
    if (c < 0x20) return std::string("\\u00") + "0123456789abcdef"[c >> 4] + "0123456789abcdef"[c & 0xF];
    if (c >= 0x80) return "\\ufffd";  // a lone byte is no UTF-8
    return std::string(1, static_cast<char>(c));
  };
  for (EscapePath path : EscapePathsHere()) {
    SCOPED_TRACE(EscapePathName(path));
    ForcedEscapePath forced(path);
    os.output.clear();
    WriteMessage(text);
    EXPECT_EQ(os.output, Le(static_cast<uint32_t>(11 + expected.size())) + "{\"data\":\"" + expected + "\"}" + kEnd);
    EXPECT_EQ(DecodeMessages(os.output), std::vector<std::string>{text});
    for (int c = 0; c < 256; ++c) {
      for (size_t at = 0; at < 72; ++at) {
        std::string plain(at, 'p');
        std::string after(80 - at, 'q');
        std::string frame = "{\"data\":\"" + plain + escaped(static_cast<unsigned char>(c)) + after + "\"}";
        os.output.clear();
        WriteMessage(plain + static_cast<char>(c) + after);
        ASSERT_EQ(os.output, Le(static_cast<uint32_t>(frame.size())) + frame + kEnd) << "byte " << c << " at " << at;
      }
    }
  }
}

TEST_F(Framing, ZeroBytesInsideAMessageSurvive) {
  std::string text("a\0b", 3);
  WriteMessage(text);
  EXPECT_EQ(DecodeMessages(os.output), std::vector<std::string>{text});
}

// Every frame valid JSON, at most 1 MiB, and the joined data equal to the
// message, whatever the mix of bytes.
void ExpectRoundTrip(FakeOs& os, const std::string& text) {
  os.output.clear();
  WriteMessage(text);
  std::string error;
  std::vector<std::string> messages = DecodeMessages(os.output, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0] == text);
}

TEST_F(Framing, EscapeHeavyTextStaysUnderTheBrowsersLimit) {
  ExpectRoundTrip(os, std::string(3 * 1024 * 1024, '"'));
  ExpectRoundTrip(os, std::string(2 * 1024 * 1024, '\x01'));
  std::string mixed;
  for (int i = 0; i < 600000; ++i) mixed += "a\\\"\n\xe2\x82\xac\xf0\x9f\x98\x80"[i % 12];
  ExpectRoundTrip(os, mixed);
}

TEST_F(Framing, NeverSplitsAUtf8Sequence) {
  // Three-byte characters put every possible cut at each offset of a
  // sequence: the frames must all be valid UTF-8, which the parser checks.
  for (size_t lead : {0, 1, 2}) {
    std::string text(lead, 'x');
    while (text.size() < 2 * kChunkLimit + 10) text += "\xe2\x82\xac";
    ExpectRoundTrip(os, text);
    size_t escaped = 0;
    size_t taken = NextChunkLength(text, &escaped);
    EXPECT_LE(taken, kChunkLimit);
    EXPECT_GE(taken, kChunkLimit - 2);
    EXPECT_NE(static_cast<unsigned char>(text[taken]) & 0xC0, 0x80u) << lead;
  }
  std::string four = "x";
  while (four.size() < kChunkLimit + 10) four += "\xf0\x9f\x98\x80";
  ExpectRoundTrip(os, four);
}

// A topic from UTF-16, converted and escaped straight into the frames, must
// give the very frames of the message built first and framed after: the
// system's conversion, the escape, and WriteMessage's cuts. The texts put
// pairs, escapes and lone surrogates across block, frame and one-write
// boundaries.
TEST_F(Framing, Utf16StreamedGivesTheFramesOfTheWholeMessage) {
  // The last seven hold the edges of the halves: the highest and lowest
  // pair, two low halves, a high half before a pair, one before the first
  // unit past the low halves, and runs of high or low halves longer than a
  // block of 16.
  const std::u16string units[] = {u"\"", u"\\", u"\n", u"\x01", u"\x1f", u"\x7f", u"\u00e9", u"\u20ac",
                                  u"\u2028", u"\U0001F600", u"\xD800", u"\xDC00", u"a", u"bc",
                                  u"\U0010FFFF", u"\U00010000", u"\xDFFF\xDC00", u"\xDBFF\xD800\xDC00",
                                  u"\xD800\uE000", std::u16string(20, u'\xDBFF') + u"x",
                                  std::u16string(20, u'\xDC00')};
  constexpr size_t kUnitKinds = sizeof(units) / sizeof(units[0]);
  struct Case {
    const char* name;
    size_t lead;        // plain letters first
    size_t length;      // units in all
    unsigned pattern;   // which units follow, in turn
  } cases[] = {
      {"empty", 0, 0, 0},
      {"small, one write", 3, 60, 0x1FFFFF},
      {"just past one write", 16300, 16500, 0x1FFFFF},
      {"plain, several frames", 2500000, 2500000, 0},
      {"escape-heavy, several frames", 0, 1300000, 0x003F},
      {"pairs at every offset of a frame end", 921590, 960000, 0x0200},
      {"everything after a long plain run", 700001, 1900000, 0x1FFFFF},
      // A lone high surrogate as the last unit of a block of 1024, a pair
      // right after it.
      {"a lone high surrogate, then a pair, across a block's end", 1021, 1100, 0x0600},
      // Lone halves among everything else, at every offset of 16 units.
      {"lone high surrogates among everything", 3, 200000, 0x1FF7FF},
      {"lone low surrogates among everything", 5, 200000, 0x1FFBFF},
  };
  for (const Case& c : cases) {
    std::u16string text;
    for (size_t i = 0; text.size() < c.length; ++i) {
      if (text.size() < c.lead || c.pattern == 0) {
        text += static_cast<char16_t>(u'a' + i % 26);
        continue;
      }
      for (size_t u = 0; u < kUnitKinds && text.size() < c.length; ++u) {
        if ((c.pattern >> u & 1) != 0) text += units[u];
      }
    }
    // The frames of the unit loop, built the other way; every way of
    // escaping that this processor can run must stream them.
    std::string expected;
    {
      ForcedEscapePath forced(EscapePath::kUnitLoop);
      std::string message = "{\"topic\":\"t\", \"data\":\"";
      AppendJsonEscaped(os.WideToUtf8(text), message);
      message += "\"}";
      BuildMessageFrames(message, expected);
    }
    for (EscapePath path : EscapePathsHere()) {
      ForcedEscapePath forced(path);
      os.output.clear();
      MessageStream stream;
      stream.Append("{\"topic\":\"t\", \"data\":\"");
      stream.AppendUtf16(text.c_str());
      stream.Append("\"}");
      stream.Finish();
      EXPECT_TRUE(os.output == expected) << c.name << " (" << EscapePathName(path) << "): " << os.output.size()
                                         << " bytes, expected " << expected.size();
    }
  }
}

// A chunk is cut where the next escaped form would pass the frame's limit:
// pairs of escaped bytes up to it leave its odd byte unused. Below, any room
// is filled by plain text after pairs exactly and never passed, whichever
// offset of the block loops (8, 16, 64 bytes) meets its end, on every way of
// escaping.
TEST_F(Framing, ChunkCutWhereTheEscapedFormWouldPassTheLimit) {
  for (EscapePath path : EscapePathsHere()) {
    SCOPED_TRACE(EscapePathName(path));
    ForcedEscapePath forced(path);
    std::string text(kChunkLimit, '\\');
    size_t escaped = 0;
    size_t taken = NextChunkLength(text, &escaped);
    EXPECT_EQ(escaped, kEscapedLimit - 1);
    EXPECT_EQ(taken, escaped / 2);
    for (size_t pairs = 0; pairs < 20; ++pairs) {
      const std::string input = std::string(pairs, '"') + std::string(200, 'a');
      for (size_t room = 2 * pairs; room < 2 * pairs + 150; ++room) {
        std::string out(room + 64, '#');
        size_t consumed = 0;
        size_t produced = escaping::EscapeInto(input.data(), input.size(), input.size(), &out[0], room, &consumed);
        ASSERT_EQ(produced, room) << pairs << " pairs first";
        ASSERT_EQ(consumed, room - pairs) << pairs << " pairs first";
        ASSERT_EQ(out.substr(room), std::string(64, '#')) << pairs << " pairs first, room " << room;
      }
    }
  }
}

TEST_F(Framing, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  // The browser drops a frame holding them, and the message with it.
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a\xff" "b", "a\xef\xbf\xbd" "b"},
      {"\xc3\x28", "\xef\xbf\xbd("},                    // a lead byte without its continuation
      {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // past U+10FFFF
      {"end \xe2\x82", "end \xef\xbf\xbd\xef\xbf\xbd"},  // cut by the end of the message
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},  // well-formed stays
  };
  // On every way of escaping, and after plain runs that end a byte before a
  // block loop's end, or at it.
  for (EscapePath path : EscapePathsHere()) {
    ForcedEscapePath forced(path);
    for (size_t lead : {0, 15, 63, 64}) {
      for (const Case& c : cases) {
        os.output.clear();
        WriteMessage(std::string(lead, 'p') + c.in);
        std::string error;
        std::vector<std::string> messages = DecodeMessages(os.output, &error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(messages, std::vector<std::string>{std::string(lead, 'p') + c.out})
            << EscapePathName(path) << ", " << lead << " plain bytes first";
      }
    }
  }
}

// The way of escaping follows from CPUID and XGETBV: SSE2, then AVX2 only
// where the system saves the 32-byte registers. This processor's choice
// agrees with the compiler's own reading of it.
TEST(EscapePathChoice, FollowsTheProcessorAndTheSystem) {
  constexpr uint32_t kSse2 = 1u << 26, kOsxsave = 1u << 27, kAvx = 1u << 28, kAvx2 = 1u << 5;
  const CpuFeatures wide{true, 7, kOsxsave | kAvx, kSse2, kAvx2, 0x7};
  struct Case {
    const char* name;
    CpuFeatures cpu;
    EscapePath path;
  } cases[] = {
      {"no CPUID", CpuFeatures{}, EscapePath::kUnitLoop},
      {"no leaf 1", {true, 0, 0, kSse2, 0, 0}, EscapePath::kUnitLoop},
      {"no SSE2", {true, 7, kOsxsave | kAvx, 0, kAvx2, 0x7}, EscapePath::kUnitLoop},
      {"SSE2 alone", {true, 1, 0, kSse2, 0, 0}, EscapePath::kSse2},
      {"AVX2", wide, EscapePath::kWide},
      {"AVX2, the system saves no 32-byte registers", {true, 7, kOsxsave | kAvx, kSse2, kAvx2, 0x3},
       EscapePath::kSse2},
      {"AVX2, XGETBV not enabled", {true, 7, kAvx, kSse2, kAvx2, 0x7}, EscapePath::kSse2},
      {"AVX2 bit without AVX", {true, 7, kOsxsave, kSse2, kAvx2, 0x7}, EscapePath::kSse2},
      {"AVX without AVX2", {true, 7, kOsxsave | kAvx, kSse2, 0, 0x7}, EscapePath::kSse2},
      {"leaf 7 beyond the highest leaf", {true, 6, kOsxsave | kAvx, kSse2, kAvx2, 0x7}, EscapePath::kSse2},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseEscapePath(c.cpu), c.path) << c.name;
#if defined(__i386__) || defined(__x86_64__)
  __builtin_cpu_init();
  EXPECT_EQ(ProcessorEscapePath() == EscapePath::kWide, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(ProcessorEscapePath() != EscapePath::kUnitLoop, __builtin_cpu_supports("sse2") != 0);
#endif
}

TEST_F(Framing, StatusMessage) {
  SendStatus(1, "Error updating RAZ.dll");
  EXPECT_EQ(DecodeMessages(os.output),
            std::vector<std::string>{"{\"topic\":\"status\", \"code\":\"1\", \"data\":\"Error updating RAZ.dll\"}"});
}

TEST_F(Framing, ABrokenChannelStaysBroken) {
  os.outputBroken = true;
  WriteMessage("{\"topic\":\"pong\"}");
  os.outputBroken = false;
  WriteMessage("{\"topic\":\"pong\"}");
  EXPECT_EQ(os.output, "");
}

// Whatever has come is taken into the frame in progress, and a frame is
// handed on only once complete: no call waits for more, none takes past the
// frame's end.
TEST_F(Framing, TakesFramesPieceByPieceWithoutWaitingOrReadingAhead) {
  os.inputClosed = false;
  ASSERT_TRUE(TakeStandardInput());
  const std::string frames = FrameOf("{\"a\":1}") + FrameOf("{\"b\":22}");
  std::vector<std::string> got;
  for (size_t i = 0; i < frames.size(); ++i) {
    os.Arrive(std::string(1, frames[i]));
    Frame frame = TakeFrame();
    if (frame) got.push_back(std::to_string(i) + " " + frame.text());
    EXPECT_EQ(os.Untaken(), "") << i;
  }
  EXPECT_EQ(got, (std::vector<std::string>{"10 {\"a\":1}", "22 {\"b\":22}"}));
  EXPECT_FALSE(TakeFrame());
  EXPECT_FALSE(InputAtEnd());

  os.Arrive(frames);
  Frame first = TakeFrame();
  ASSERT_TRUE(first);
  EXPECT_EQ(first.length, 7);
  EXPECT_STREQ(first.text(), "{\"a\":1}");
  EXPECT_EQ(os.Untaken(), FrameOf("{\"b\":22}"));
  os.inputClosed = true;
  os.RunReader();
  Frame second = TakeFrame();
  ASSERT_TRUE(second);
  EXPECT_STREQ(second.text(), "{\"b\":22}");
  EXPECT_FALSE(InputAtEnd());
  EXPECT_FALSE(TakeFrame());
  EXPECT_TRUE(InputAtEnd());
}

// Lengths of 0 or less (2^31 and 2^32 - 1 among them) skip to the next
// frame without reading a body.
TEST_F(Framing, NonPositiveLengthsSkipWithoutReadingABody) {
  os.Arrive(Le(0) + Le(0xFFFFFFFFu) + Le(0x80000000u) + FrameOf("{}"));
  ASSERT_TRUE(TakeStandardInput());
  Frame next = TakeFrame();
  ASSERT_TRUE(next);
  EXPECT_STREQ(next.text(), "{}");
  EXPECT_FALSE(InputAtEnd());
}

TEST_F(Framing, InputEndingInsideTheLengthOrTheBody) {
  os.Arrive(std::string("\x05\x00", 2));
  ASSERT_TRUE(TakeStandardInput());
  EXPECT_FALSE(TakeFrame());
  EXPECT_TRUE(InputAtEnd());
  EXPECT_EQ(os.Log().find("cut short"), std::string::npos);

  NewChannel();
  os.Arrive(Le(10) + "{\"a\":");
  ASSERT_TRUE(TakeStandardInput());
  EXPECT_FALSE(TakeFrame());  // dropped, not handed on half-filled
  EXPECT_TRUE(InputAtEnd());
  EXPECT_TRUE(
      LogHasInOrder(os.Log(), {"\n**** Error: Request cut short by the end of input, dropped: 5 bytes\n"}));
}

// A length of 2^31 - 1 costs the first 64 KiB of a buffer until more of its
// body has come; once more than that has come, the buffer grows in steps.
TEST_F(Framing, AHugeLengthCostsOnlyWhatArrives) {
  std::vector<size_t> buffers;
  TheChannel().reader.beforeBodyBuffer = [&](size_t size) { buffers.push_back(size); };
  os.Arrive(Le(0x7FFFFFFF) + std::string(100, 'x'));
  ASSERT_TRUE(TakeStandardInput());
  EXPECT_FALSE(TakeFrame());
  EXPECT_TRUE(InputAtEnd());
  EXPECT_EQ(buffers, std::vector<size_t>{size_t{64} << 10});

  NewChannel();
  buffers.clear();
  TheChannel().reader.beforeBodyBuffer = [&](size_t size) { buffers.push_back(size); };
  os.Arrive(Le(0x7FFFFFFF) + std::string(size_t{65} << 10, 'x'));
  ASSERT_TRUE(TakeStandardInput());
  EXPECT_FALSE(TakeFrame());
  EXPECT_TRUE(InputAtEnd());
  EXPECT_EQ(buffers, (std::vector<size_t>{size_t{64} << 10, size_t{64} << 20}));
}

}  // namespace
}  // namespace lumiclip::testing
