// Throughput of the outbound framing and of the payload decoder, each beside
// its reference on the same bytes in the same run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "big_text.h"
#include "channel/escape_path.h"
#include "channel/frame_writer.h"
#include "channel/text_escaping.h"
#include "fake/escape_paths.h"
#include "fake/fake_os.h"
#include "install/payload.h"

namespace {

constexpr size_t kMessageSize = 8u << 20;
constexpr size_t kPayloadSize = 32u << 20;

const std::string& PlainText() {
  static const std::string text = [] {
    std::string t;
    const char words[] = "the quick brown fox jumps over the lazy dog 0123456789 ";
    while (t.size() < kMessageSize) t += words;
    t.resize(kMessageSize);
    return t;
  }();
  return text;
}

// A JSON text full of the characters that need escaping.
const std::string& EscapeHeavyText() {
  static const std::string text = [] {
    std::string t;
    const char piece[] = "{\"k\":\"a\\\"b\\\\c\"}\n\t";
    while (t.size() < kMessageSize) t += piece;
    t.resize(kMessageSize);
    return t;
  }();
  return text;
}

const std::string& Base64Text() {
  static const std::string text = [] {
    std::mt19937 rng(7);
    std::string bytes(kPayloadSize / 4 * 3, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::string out(kPayloadSize + 4, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
  }();
  return text;
}

void Memcpy(benchmark::State& state, const std::string& text) {
  std::vector<char> out(text.size());
  for (auto _ : state) {
    std::memcpy(out.data(), text.data(), text.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

using lumiclip::EscapePath;

// Every benchmark of the escaping runs on one way of escaping; one the
// processor cannot run is skipped. The label says which way the processor
// takes, and so the product on this machine (the same choice from the same
// CPUID and XGETBV).
bool TakeWay(benchmark::State& state, EscapePath path) {
  if (static_cast<int>(path) > static_cast<int>(lumiclip::ProcessorEscapePath())) {
    state.SkipWithError("this processor cannot run that way of escaping");
    return false;
  }
  state.SetLabel(std::string("the processor's way: ") + lumiclip::EscapePathName(lumiclip::ProcessorEscapePath()));
  return true;
}

void Frames(benchmark::State& state, const std::string& text, EscapePath path) {
  if (!TakeWay(state, path)) return;
  lumiclip::testing::ForcedEscapePath forced(path);
  std::string out;
  out.reserve(text.size() * 2 + (1u << 20));
  for (auto _ : state) {
    out.clear();
    lumiclip::BuildMessageFrames(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_MemcpyMessage(benchmark::State& state) { Memcpy(state, PlainText()); }
void BM_WriteMessagePlain(benchmark::State& state, EscapePath path) { Frames(state, PlainText(), path); }
void BM_WriteMessageEscapeHeavy(benchmark::State& state, EscapePath path) {
  Frames(state, EscapeHeavyText(), path);
}

// The sample engine's escape-heavy text, 3 Mi UTF-16 units or so, as the
// engine hands it over.
const std::u16string& EscapeHeavyUtf16() {
  static const std::u16string text = [] {
    std::string utf8 = SampleBigTextUtf8(4600000, "mixed");
    std::u16string t;
    for (size_t i = 0; i < utf8.size();) {
      unsigned char c = static_cast<unsigned char>(utf8[i]);
      size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      uint32_t v = n == 1 ? c : c & (0xFF >> (n + 1));
      for (size_t k = 1; k < n; ++k) v = v << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
      if (v >= 0x10000) {
        t += static_cast<char16_t>(0xD800 + ((v - 0x10000) >> 10));
        t += static_cast<char16_t>(0xDC00 + ((v - 0x10000) & 0x3FF));
      } else {
        t += static_cast<char16_t>(v);
      }
      i += n;
    }
    return t;
  }();
  return text;
}

// The host's work on such a topic: converted and escaped twice, straight
// into the frames, written to a fake output; bytes per second of the frames.
void BM_TopicEscapeHeavy(benchmark::State& state, EscapePath path) {
  if (!TakeWay(state, path)) return;
  lumiclip::testing::ForcedEscapePath forced(path);
  const std::u16string& text = EscapeHeavyUtf16();
  lumiclip::testing::FakeOs os;
  lumiclip::InstallOs(&os);
  os.output.reserve(text.size() * 3);
  for (auto _ : state) {
    os.output.clear();
    lumiclip::MessageStream message;
    message.Append("{\"topic\":\"big\", \"data\":\"");
    message.AppendUtf16(text.c_str());
    message.Append("\"}");
    message.Finish();
    benchmark::DoNotOptimize(os.output.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * os.output.size()));
  lumiclip::InstallOs(nullptr);
}

void BM_DecodeBase64(benchmark::State& state) {
  const std::string& text = Base64Text();
  std::vector<unsigned char> out(lumiclip::Base64OutputBound(text.size()));
  for (auto _ : state) {
    lumiclip::Base64Result r = lumiclip::DecodeBase64(text.data(), text.data() + text.size(), out.data());
    if (r.error != nullptr) state.SkipWithError(r.error);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string& text = Base64Text();
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) state.SkipWithError("EVP_DecodeBlock failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_MemcpyMessage)->Unit(benchmark::kMillisecond);
// UTF-8 has two ways (the wide path escapes it as SSE2 does); the double
// escaping of UTF-16 all three.
BENCHMARK_CAPTURE(BM_WriteMessagePlain, sse2, EscapePath::kSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteMessagePlain, unit_loop, EscapePath::kUnitLoop)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteMessageEscapeHeavy, sse2, EscapePath::kSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteMessageEscapeHeavy, unit_loop, EscapePath::kUnitLoop)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TopicEscapeHeavy, wide, EscapePath::kWide)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TopicEscapeHeavy, sse2, EscapePath::kSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TopicEscapeHeavy, unit_loop, EscapePath::kUnitLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBase64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslDecodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
