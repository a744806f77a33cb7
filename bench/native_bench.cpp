// Throughput of the outbound framing and of the payload decoder, each beside
// its reference on the same bytes in the same run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "channel/framing.h"
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

void Frames(benchmark::State& state, const std::string& text) {
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
void BM_WriteMessagePlain(benchmark::State& state) { Frames(state, PlainText()); }
void BM_WriteMessageEscapeHeavy(benchmark::State& state) { Frames(state, EscapeHeavyText()); }

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
BENCHMARK(BM_WriteMessagePlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteMessageEscapeHeavy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBase64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslDecodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
