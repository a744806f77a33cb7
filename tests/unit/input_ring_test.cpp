// The reader's ring with real threads: the reader thread blocked in a pipe's
// read, the host thread taking what is held and sleeping on the ring's event.
// Also built alone under ThreadSanitizer (preset tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "channel/input_ring.h"
#include "fake/fake_os.h"

namespace lumiclip::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for any machine under load: a wait that passes it is a hang.
constexpr auto kPatience = std::chrono::seconds(30);

// The seam's blocking calls with real threads: a pipe the test writes into,
// events that reset as their wait ends, and the reader started on a thread
// of its own. Everything else is the fake's.
class ThreadedOs : public FakeOs {
 public:
  ~ThreadedOs() override { EndReader(); }
  // Closes the pipe and waits for the reader to end.
  void EndReader() {
    ClosePipe();
    if (reader_.joinable()) reader_.join();
  }

  // The browser's side of the pipe.
  void Write(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pipe_ += bytes;
    changed_.notify_all();
  }
  void ClosePipe() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  // A window message for the host thread's wait.
  void PostMessage() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++messages_;
    changed_.notify_all();
  }

  int ReadySignals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return readySignals_;
  }
  int SpaceSignals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spaceSignals_;
  }
  std::thread::id ReaderThread() const { return readerId_; }
  // Waits until the host thread has begun that many sleeps, or the reader
  // that many waits for room.
  void AwaitHostSleeps(int count) { Await([&] { return hostSleeps_ >= count; }); }
  void AwaitReaderWaits(int count) { Await([&] { return readerWaits_ >= count; }); }

  OsHandle NewEvent() override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::make_unique<bool>(false));
    return events_.back().get();
  }
  void CloseOsHandle(OsHandle) override {}
  void SignalEvent(OsHandle event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(event == space_ ? spaceSignals_ : readySignals_);
    *static_cast<bool*>(event) = true;
    changed_.notify_all();
  }
  uint32_t WaitForObject(OsHandle event, uint32_t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++readerWaits_;
    changed_.notify_all();
    bool& set = *static_cast<bool*>(event);
    if (!changed_.wait_for(lock, kPatience, [&] { return set; })) {
      ADD_FAILURE() << "the reader waited for room for ever";
      return win::kWaitFailed;
    }
    set = false;
    return win::kWaitObject0;
  }
  uint32_t WaitForEventOrMessages(OsHandle event, uint32_t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++hostSleeps_;
    changed_.notify_all();
    bool& set = *static_cast<bool*>(event);
    if (!changed_.wait_for(lock, kPatience, [&] { return set || messages_ > 0; })) {
      ADD_FAILURE() << "the host thread slept for ever";
      return win::kWaitFailed;
    }
    if (set) {
      set = false;
      return win::kWaitObject0;
    }
    --messages_;
    return win::kWaitObject0 + 1;
  }
  bool ReadPipe(OsHandle, void* buffer, uint32_t size, uint32_t* got) override {
    std::unique_lock<std::mutex> lock(mutex_);
    *got = 0;
    changed_.wait(lock, [&] { return !pipe_.empty() || closed_; });
    if (pipe_.empty()) return false;
    size_t n = std::min<size_t>(size, pipe_.size());
    std::memcpy(buffer, pipe_.data(), n);
    pipe_.erase(0, n);
    *got = static_cast<uint32_t>(n);
    return true;
  }
  bool StartReader(InputRing& ring, OsHandle pipe) override {
    space_ = ring.SpaceEvent();
    reader_ = std::thread([this, &ring, pipe] {
      readerId_ = std::this_thread::get_id();
      ring.ReadFrom(pipe);
    });
    // The reader's id is read only after it has taken a step.
    return true;
  }

 private:
  template <typename Condition>
  void Await(Condition done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kPatience, done)) ADD_FAILURE() << "waited for ever";
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string pipe_;
  bool closed_ = false;
  int messages_ = 0;
  std::vector<std::unique_ptr<bool>> events_;
  OsHandle space_ = nullptr;
  int readySignals_ = 0;
  int spaceSignals_ = 0;
  int hostSleeps_ = 0;
  int readerWaits_ = 0;
  std::thread reader_;
  std::atomic<std::thread::id> readerId_{};
};

// A ring and its reader over a ThreadedOs.
struct Reader {
  Reader() : ring(os) {
    EXPECT_TRUE(ring.Ready());
    os.StartReader(ring, nullptr);
  }
  // The reader ends with the pipe, before the ring goes.
  ~Reader() { os.EndReader(); }
  ThreadedOs os;
  InputRing ring;
};

std::string Pattern(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The host thread's loop: takes up to `most` bytes at a time (some calls
// fewer), sleeps when nothing is held, and returns what it took once the
// input has ended.
std::string TakeAll(InputRing& ring, std::mt19937& random, size_t most, int* sleeps = nullptr,
                    const InputShortcut* shortcut = nullptr) {
  std::string taken;
  std::vector<char> buffer(most);
  const auto start = Clock::now();
  for (;;) {
    uint32_t held = 0;
    if (!ring.Available(&held)) return taken;
    if (held == 0) {
      if (sleeps != nullptr) ++*sleeps;
      ring.Wait(shortcut);
    } else {
      size_t n = ring.Take(buffer.data(), 1 + random() % most);
      taken.append(buffer.data(), n);
      // Now and then the host is busy elsewhere, and the reader fills the ring.
      if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (Clock::now() - start > kPatience) {
      ADD_FAILURE() << "the input never ended";
      return taken;
    }
  }
}

// Writes of every size come out in order and whole: around the ring many
// times, each take in at most two pieces, the reader waiting for room while
// the ring is full (as it is first: the host thread starts late).
TEST(InputRing, CarriesAStreamInOrderAcrossItsEndWithRealThreads) {
  Reader r;
  const std::string stream = Pattern(5 * InputRing::kCapacity + 12345, 1);
  std::thread browser([&] {
    std::mt19937 random(2);
    size_t at = 3 * InputRing::kCapacity;
    r.os.Write(stream.substr(0, at));
    while (at < stream.size()) {
      size_t n = std::min<size_t>(stream.size() - at, 1 + random() % 300000);
      r.os.Write(stream.substr(at, n));
      at += n;
      if (random() % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.os.ClosePipe();
  });
  r.os.AwaitReaderWaits(1);
  std::mt19937 random(3);
  int sleeps = 0;
  std::string taken = TakeAll(r.ring, random, 70000, &sleeps);
  browser.join();
  EXPECT_EQ(taken.size(), stream.size());
  EXPECT_TRUE(taken == stream) << "the bytes came out of order or altered";
  EXPECT_GT(r.os.SpaceSignals(), 0);
  // Woken only when it slept, never more often.
  EXPECT_LE(r.os.ReadySignals(), sleeps);
}

// A host thread that never sleeps is never signalled, however many bytes
// come; one that sleeps is woken by the next byte, and by the end.
TEST(InputRing, SignalsOnlyASleepingHostThread) {
  Reader r;
  const std::string stream = Pattern(2 * InputRing::kCapacity, 4);
  std::thread browser([&] {
    for (size_t at = 0; at < stream.size(); at += 4096) r.os.Write(stream.substr(at, 4096));
  });
  std::string taken;
  std::vector<char> buffer(65536);
  const auto start = Clock::now();
  while (taken.size() < stream.size() && Clock::now() - start < kPatience) {
    taken.append(buffer.data(), r.ring.Take(buffer.data(), buffer.size()));
  }
  browser.join();
  EXPECT_TRUE(taken == stream);
  EXPECT_EQ(r.os.ReadySignals(), 0);

  // Asleep now: a byte wakes it, then the end.
  std::thread late([&] {
    r.os.AwaitHostSleeps(1);
    r.os.Write("x");
    r.os.AwaitHostSleeps(2);
    r.os.ClosePipe();
  });
  std::mt19937 random(5);
  int sleeps = 0;
  EXPECT_EQ(TakeAll(r.ring, random, 16, &sleeps), "x");
  late.join();
  EXPECT_EQ(r.os.ReadySignals(), 2);
  EXPECT_EQ(sleeps, 2);
}

// A window message ends the host thread's sleep as bytes do.
TEST(InputRing, AWindowMessageEndsTheSleep) {
  Reader r;
  std::thread poster([&] {
    r.os.AwaitHostSleeps(1);
    r.os.PostMessage();
  });
  r.ring.Wait(nullptr);
  poster.join();
  uint32_t held = 1;
  EXPECT_TRUE(r.ring.Available(&held));
  EXPECT_EQ(held, 0u);
  EXPECT_EQ(r.os.ReadySignals(), 0);
}

// The shortcut: a request that comes alone while the host thread sleeps is
// answered on the reader's thread, before the reader reads on, and the host
// thread sleeps on. Anything behind it in the same read, and anything that
// comes while the host thread is awake, is the host's.
std::atomic<int> g_answers{0};
std::atomic<bool> g_answeredOnReader{true};
std::thread::id g_readerThread;

size_t ClaimPing(const char* bytes, size_t size) {
  return std::string(bytes, size) == "PING" ? size : 0;
}
void AnswerPing(const char* bytes, size_t size) {
  if (std::string(bytes, size) != "PING" || std::this_thread::get_id() != g_readerThread) {
    g_answeredOnReader = false;
  }
  ++g_answers;
}
const InputShortcut kShortcut{&ClaimPing, &AnswerPing};

TEST(InputRing, AnswersALoneRequestWhileTheHostThreadSleeps) {
  Reader r;
  g_answers = 0;
  g_answeredOnReader = true;
  std::thread browser([&] {
    // Each ping alone while the host thread sleeps: after an answer it still
    // does.
    r.os.AwaitHostSleeps(1);
    for (int i = 0; i < 50; ++i) {
      r.os.Write("PING");
      const auto start = Clock::now();
      while (g_answers.load() <= i && Clock::now() - start < kPatience) std::this_thread::yield();
    }
    r.os.Write("PINGx");  // a ping with a byte behind it, in one read
    r.os.AwaitHostSleeps(2);
    r.os.ClosePipe();
  });
  // The reader's thread is known once it has started.
  while (r.os.ReaderThread() == std::thread::id()) std::this_thread::yield();
  g_readerThread = r.os.ReaderThread();
  std::mt19937 random(6);
  int sleeps = 0;
  std::string taken = TakeAll(r.ring, random, 16, &sleeps, &kShortcut);
  browser.join();
  EXPECT_EQ(g_answers.load(), 50);
  EXPECT_TRUE(g_answeredOnReader.load());
  EXPECT_EQ(taken, "PINGx");
  // Woken for the ping with a byte behind it, and for the end.
  EXPECT_EQ(r.os.ReadySignals(), 2);
}

TEST(InputRing, LeavesRequestsToAnAwakeHostThread) {
  Reader r;
  g_answers = 0;
  // Once asleep with the shortcut and woken by a window message, the host
  // thread takes what comes next itself.
  std::atomic<bool> awake{false};
  std::thread browser([&] {
    r.os.AwaitHostSleeps(1);
    r.os.PostMessage();
    while (!awake.load()) std::this_thread::yield();
    r.os.Write("PING");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    r.os.ClosePipe();
  });
  r.ring.Wait(&kShortcut);
  awake = true;
  std::string taken;
  char buffer[16];
  const auto start = Clock::now();
  uint32_t held = 0;
  while (r.ring.Available(&held) && Clock::now() - start < kPatience) {
    taken.append(buffer, r.ring.Take(buffer, sizeof(buffer)));
  }
  browser.join();
  EXPECT_EQ(taken, "PING");
  EXPECT_EQ(g_answers.load(), 0);
}

}  // namespace
}  // namespace lumiclip::testing
