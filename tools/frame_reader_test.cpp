#include "frame_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumiclip_tools {
namespace {

// Everything the decoder reports, as one log of tagged lines.
class RecordingSink : public DecoderSink {
 public:
  void OnRawFrame(const std::string& body) override { events.push_back("raw:" + body); }
  void OnMessage(const std::string& text) override { events.push_back("msg:" + text); }
  void OnInvalidFrame(const std::string& body) override { events.push_back("invalid:" + body); }
  void OnOversizedFrame(uint32_t length) override {
    events.push_back("oversized:" + std::to_string(length));
  }
  void OnUnreadableStream(uint32_t length) override {
    events.push_back("unreadable:" + std::to_string(length));
  }
  void OnTruncatedFrame(uint32_t length, size_t received) override {
    events.push_back("truncated:" + std::to_string(length) + "/" + std::to_string(received));
  }
  void OnUnterminatedMessage(const std::string& partial) override {
    events.push_back("unterminated:" + partial);
  }
  std::vector<std::string> events;
};

std::string Data(const std::string& escapedChunk) {
  return EncodeFrame("{\"data\":\"" + escapedChunk + "\"}");
}
const std::string kEnd = EncodeFrame("{\"data\":\"\"}");

std::vector<std::string> DecodeAll(const std::string& stream, DecodeMode mode = DecodeMode::Messages,
                                   size_t* faults = nullptr) {
  RecordingSink sink;
  FrameDecoder decoder(mode, sink);
  decoder.Feed(stream.data(), stream.size());
  decoder.Finish();
  if (faults) *faults = decoder.faults();
  return sink.events;
}

TEST(EncodeFrame, LengthIsFourBytesLittleEndian) {
  std::string body(0x012c, 'x');
  std::string frame = EncodeFrame(body);
  ASSERT_EQ(frame.size(), 4 + body.size());
  EXPECT_EQ(frame.substr(0, 4), std::string("\x2c\x01\x00\x00", 4));
  EXPECT_EQ(frame.substr(4), body);
  EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
}

TEST(FrameDecoder, JoinsDataFramesUpToTheEndFrame) {
  size_t faults = 99;
  auto events = DecodeAll(Data("{\\\"a\\\":") + Data("1}") + kEnd + Data("x") + kEnd,
                          DecodeMode::Messages, &faults);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:{\"a\":1}", "msg:x"}));
  EXPECT_EQ(faults, 0u);
}

TEST(FrameDecoder, EndFrameAloneIsAnEmptyMessage) {
  EXPECT_EQ(DecodeAll(kEnd), (std::vector<std::string>{"msg:"}));
}

TEST(FrameDecoder, ResolvesEscapes) {
  auto events = DecodeAll(Data("q\\\" b\\\\ n\\n t\\t \\u00e9 \\/") + kEnd);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:q\" b\\ n\n t\t \xc3\xa9 /"}));
}

TEST(FrameDecoder, SurrogatePairBecomesFourByteUtf8) {
  auto events = DecodeAll(Data("<\\ud83d\\ude00>") + kEnd);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:<\xf0\x9f\x98\x80>"}));
}

TEST(FrameDecoder, RawUtf8PassesThroughByteExact) {
  auto events = DecodeAll(Data("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80") + kEnd);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"}));
}

TEST(FrameDecoder, SameResultWhateverTheReadBoundaries) {
  const std::string stream =
      Data("{\\\"k\\\":\\\"\\u00e9") + Data("\\ud83d\\ude00\\\"}") + kEnd + Data("two") + kEnd;
  const std::vector<std::string> expected = {"msg:{\"k\":\"\xc3\xa9\xf0\x9f\x98\x80\"}",
                                             "msg:two"};
  // Every single split point, headers and bodies alike.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    RecordingSink sink;
    FrameDecoder decoder(DecodeMode::Messages, sink);
    decoder.Feed(stream.data(), cut);
    decoder.Feed(stream.data() + cut, stream.size() - cut);
    decoder.Finish();
    EXPECT_EQ(sink.events, expected) << "cut at " << cut;
    EXPECT_EQ(decoder.faults(), 0u);
  }
  // One byte at a time.
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink);
  for (char c : stream) decoder.Feed(&c, 1);
  decoder.Finish();
  EXPECT_EQ(sink.events, expected);
  EXPECT_EQ(decoder.messages(), 2u);
  EXPECT_EQ(decoder.frames(), 5u);
}

TEST(FrameDecoder, MessageIsReportedAsSoonAsItsEndFrameArrives) {
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink);
  std::string first = Data("a") + kEnd;
  decoder.Feed(first.data(), first.size());
  EXPECT_EQ(sink.events, (std::vector<std::string>{"msg:a"}));
  std::string data = Data("b");
  decoder.Feed(data.data(), data.size());
  EXPECT_EQ(sink.events.size(), 1u);
}

TEST(FrameDecoder, LongFrameArrivingInPieces) {
  std::string chunk(3 * 1000 * 1000, 'z');
  std::string stream = Data(chunk) + kEnd;
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink, 8u * 1000 * 1000);
  for (size_t at = 0; at < stream.size(); at += 65536)
    decoder.Feed(stream.data() + at, std::min<size_t>(65536, stream.size() - at));
  decoder.Finish();
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0], "msg:" + chunk);
}

TEST(FrameDecoder, InvalidFramesAreReportedAndDecodingGoesOn) {
  const std::vector<std::string> bad = {
      "not json",
      "",                              // a zero length
      "{\"data\":5}",                  // data not a string
      "{\"other\":\"x\"}",             // no data
      "[\"data\"]",                    // not an object
      "\"data\"",
      "{\"data\":\"\\ud83d\"}",        // lone surrogate
      "{\"data\":\"\xff\xfe\"}",       // not UTF-8
      "{\"data\":\"a\"} trailing",
      "{\"data\":\"line\nbreak\"}",    // raw control character in a string
  };
  for (const auto& body : bad) {
    size_t faults = 0;
    auto events = DecodeAll(Data("x") + EncodeFrame(body) + Data("y") + kEnd,
                            DecodeMode::Messages, &faults);
    EXPECT_EQ(events, (std::vector<std::string>{"invalid:" + body, "msg:xy"})) << body;
    EXPECT_EQ(faults, 1u) << body;
  }
}

TEST(FrameDecoder, OtherKeysBesideDataAreAccepted) {
  size_t faults = 9;
  auto events = DecodeAll(EncodeFrame("{\"extra\":[1,2],\"data\":\"v\"}") +
                              EncodeFrame(" { \"data\" : \"\" } "),
                          DecodeMode::Messages, &faults);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:v"}));
  EXPECT_EQ(faults, 0u);
}

TEST(FrameDecoder, FrameOverTheBrowserLimitIsAFaultButStillDecoded) {
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink, 20);
  std::string stream = Data("short") + Data("0123456789abcdef") + kEnd;
  decoder.Feed(stream.data(), stream.size());
  decoder.Finish();
  EXPECT_EQ(sink.events, (std::vector<std::string>{"oversized:27", "msg:short0123456789abcdef"}));
  EXPECT_EQ(decoder.faults(), 1u);
}

TEST(FrameDecoder, DefaultLimitIsTheBrowsers) {
  std::string atLimit(kBrowserFrameLimit - 11, 'a');  // {"data":""} adds 11 bytes
  size_t faults = 9;
  auto events = DecodeAll(Data(atLimit) + kEnd, DecodeMode::Messages, &faults);
  EXPECT_EQ(faults, 0u);
  ASSERT_EQ(events.size(), 1u);
  events = DecodeAll(Data(atLimit + "a") + kEnd, DecodeMode::Messages, &faults);
  EXPECT_EQ(faults, 1u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "oversized:" + std::to_string(kBrowserFrameLimit + 1));
}

TEST(FrameDecoder, AbsurdLengthStopsDecoding) {
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink, 20, 100);
  std::string stream = Data("a") + kEnd + std::string("\x00\x10\x00\x01", 4) + "junk";
  decoder.Feed(stream.data(), stream.size());
  std::string later = Data("b") + kEnd;
  decoder.Feed(later.data(), later.size());
  decoder.Finish();
  EXPECT_EQ(sink.events, (std::vector<std::string>{"msg:a", "unreadable:16781312"}));
  EXPECT_EQ(decoder.faults(), 1u);
}

TEST(FrameDecoder, TruncatedBodyAtTheEnd) {
  std::string frame = Data("abc");
  size_t faults = 0;
  auto events = DecodeAll(kEnd + frame.substr(0, frame.size() - 2), DecodeMode::Messages, &faults);
  EXPECT_EQ(events, (std::vector<std::string>{
                        "msg:", "truncated:" + std::to_string(frame.size() - 4) + "/" +
                                    std::to_string(frame.size() - 2)}));
  EXPECT_EQ(faults, 1u);
}

TEST(FrameDecoder, TruncatedHeaderAtTheEnd) {
  size_t faults = 0;
  auto events = DecodeAll(kEnd + std::string("\x05\x00", 2), DecodeMode::Messages, &faults);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:", "truncated:0/2"}));
  EXPECT_EQ(faults, 1u);
}

TEST(FrameDecoder, UnterminatedMessageAtTheEnd) {
  size_t faults = 9;
  auto events = DecodeAll(Data("a") + kEnd + Data("part") + Data("ial"), DecodeMode::Messages,
                          &faults);
  EXPECT_EQ(events, (std::vector<std::string>{"msg:a", "unterminated:partial"}));
  EXPECT_EQ(faults, 0u);
}

TEST(FrameDecoder, FinishTwiceReportsOnce) {
  RecordingSink sink;
  FrameDecoder decoder(DecodeMode::Messages, sink);
  std::string stream = Data("p");
  decoder.Feed(stream.data(), stream.size());
  decoder.Finish();
  decoder.Finish();
  EXPECT_EQ(sink.events, (std::vector<std::string>{"unterminated:p"}));
}

TEST(FrameDecoder, RawModeReportsEveryFrameUnparsed) {
  size_t faults = 9;
  auto events = DecodeAll(Data("a") + EncodeFrame("not json") + kEnd, DecodeMode::Raw, &faults);
  EXPECT_EQ(events, (std::vector<std::string>{"raw:{\"data\":\"a\"}", "raw:not json",
                                              "raw:{\"data\":\"\"}"}));
  EXPECT_EQ(faults, 0u);
}

TEST(ParseDataFrame, Kinds) {
  std::string chunk;
  EXPECT_EQ(ParseDataFrame("{\"data\":\"\\u0041\"}", &chunk), FrameKind::Data);
  EXPECT_EQ(chunk, "A");
  EXPECT_EQ(ParseDataFrame("{\"data\":\"\"}", &chunk), FrameKind::End);
  EXPECT_EQ(ParseDataFrame("{\"data\":null}", &chunk), FrameKind::Invalid);
  EXPECT_EQ(ParseDataFrame("{\"data\":\"x\"", &chunk), FrameKind::Invalid);
}

TEST(Format, ReportLines) {
  EXPECT_EQ(FormatRawFrame("{\"data\":\"\"}"), "11 {\"data\":\"\"}\n");
  EXPECT_EQ(FormatInvalidFrame("oops"), "!invalid frame 4: oops\n");
  std::string longBody(500, 'q');
  EXPECT_EQ(FormatInvalidFrame(longBody), "!invalid frame 500: " + std::string(200, 'q') + "\n");
  EXPECT_EQ(FormatUnterminatedMessage("ab"), "!unterminated message: ab\n");
}

std::vector<std::string> Split(const std::vector<std::string>& pieces) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  for (const auto& p : pieces) splitter.Feed(p.data(), p.size(), lines);
  splitter.Finish(lines);
  return lines;
}

TEST(LineSplitter, StripsCrAndSkipsBlankLines) {
  EXPECT_EQ(Split({"{\"a\":1}\r\n\n  \t\r\n{\"b\":2}\n"}),
            (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
}

TEST(LineSplitter, KeepsInnerBytesAndTheLastLineWithoutNewline) {
  EXPECT_EQ(Split({" {\"a\":\"x\ry\"} \n{\"b\":2}"}),
            (std::vector<std::string>{" {\"a\":\"x\ry\"} ", "{\"b\":2}"}));
}

TEST(LineSplitter, LinesSplitAcrossReads) {
  EXPECT_EQ(Split({"{\"a\"", ":1}\r", "\n{\"b", "\":2}", "\r\n", "\n"}),
            (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
  EXPECT_EQ(Split({}), std::vector<std::string>{});
}

TEST(RoundTrip, EncodedLinesDecodeToTheSameBodies) {
  std::vector<std::string> lines = Split({"{\"a\":1}\r\n{\"b\":\"\xc3\xa9\"}\n"});
  std::string stream;
  for (const auto& l : lines) stream += EncodeFrame(l);
  EXPECT_EQ(DecodeAll(stream, DecodeMode::Raw),
            (std::vector<std::string>{"raw:{\"a\":1}", "raw:{\"b\":\"\xc3\xa9\"}"}));
}

}  // namespace
}  // namespace lumiclip_tools
