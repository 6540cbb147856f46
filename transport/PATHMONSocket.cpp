// SPDX-License-Identifier: Apache-2.0
#include "transport/PATHMONSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "transport/DebugTrace.h"

namespace pathmon {
namespace {

constexpr const char* kModule = "PATHMONSocket";
constexpr int kWaitMs = 1000;
constexpr auto kStopWait = std::chrono::milliseconds(5000);
// Datagrams read by one system call. With 128 tests at 50 frames a second the echoes arrive
// some 150 microseconds apart; one wake-up reads what has queued meanwhile.
constexpr unsigned kBatch = 32;
// The pause between reads in which datagrams gather (see TestSocket).
constexpr auto kGatherPause = std::chrono::milliseconds(1);
// A kernel stamp that would make a datagram older than this is not believed.
constexpr auto kMaxAge = std::chrono::seconds(10);

}  // namespace

// The receive thread's buffers: 32 datagrams, their senders and arrival stamps, about
// 34 kB, made once.
struct ReceiveBatch {
  uint8_t data[kBatch][kReceiveBufferSize];
  iovec iov[kBatch];
  sockaddr_in senders[kBatch];
  alignas(cmsghdr) uint8_t stamps[kBatch][CMSG_SPACE(sizeof(timespec))];
  mmsghdr messages[kBatch];
  // When the last read began, and whether it left datagrams queued: a datagram read now
  // arrived after that read began unless the read was full.
  std::chrono::steady_clock::time_point lastRead{};
  bool lastFull = true;

  // recvmmsg overwrites the lengths: set before each call.
  void Prepare() {
    for (unsigned i = 0; i < kBatch; ++i) {
      iov[i] = {data[i], sizeof data[i]};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_control = stamps[i];
      messages[i].msg_hdr.msg_controllen = sizeof stamps[i];
    }
  }
};

// The receive thread signals its end here, so Stop can bound its wait.
struct ReceiverExit {
  std::mutex mutex;
  std::condition_variable done;
  bool exited = false;
};

TestSocket::TestSocket(DatagramSink& sink) : sink_(sink) {}

TestSocket::~TestSocket() { Stop(); }

int TestSocket::Start() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    DebugTrace(__LINE__, kModule, nullptr, "Failed to create listener socket");
    return -1;
  }
  // The receive thread's reads give up after this long to look at the stop flag.
  const timeval readLimit{kWaitMs / 1000, (kWaitMs % 1000) * 1000};
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof readLimit) != 0) {
    DebugTrace(__LINE__, kModule, nullptr, "Failed to set the listener's read time limit");
    ::close(fd);
    return -1;
  }
  // Every datagram sent, control exchange and test frames alike, carries the class.
  if (::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos_, sizeof tos_) != 0) {
    DebugTrace(__LINE__, kModule, nullptr, "Failed to mark the socket's datagrams");
    ::close(fd);
    return -1;
  }
  // Without the stamps the datagrams' ages are 0: they count from the read.
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
    DebugTrace(__LINE__, kModule, nullptr, "Failed to ask for the arrival stamps");
  }
  socket_.store(fd);
  stop_.store(false);
  exit_ = std::make_shared<ReceiverExit>();
  try {
    receiver_ = std::thread([this, exit = exit_] {
      ReceiveTask();
      std::lock_guard lock(exit->mutex);
      exit->exited = true;
      exit->done.notify_all();
    });
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

void TestSocket::Stop() {
  stop_.store(true);
  if (receiver_.joinable()) {
    bool exited;
    {
      std::unique_lock lock(exit_->mutex);
      exited = exit_->done.wait_for(lock, kStopWait, [&] { return exit_->exited; });
    }
    if (exited) {
      receiver_.join();
    } else {
      // A dispatch that hangs is left behind; it keeps its own state and the socket.
      receiver_.detach();
      return;
    }
  }
  int fd = socket_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void TestSocket::ReceiveTask() {
  auto batch = std::make_unique<ReceiveBatch>();
  // Each read waits for the first datagram, then takes what is queued behind it: one system
  // call a wake-up. The read's time limit lets the thread see the stop flag.
  while (!stop_.load()) {
    if (DispatchDatagrams(*batch) > 0) std::this_thread::sleep_for(kGatherPause);
  }
}

std::chrono::nanoseconds TestSocket::Age(const ReceiveBatch& batch, int i) const {
  const msghdr& header = batch.messages[i].msg_hdr;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    // The stamp is on the calendar clock; a step of that clock since the arrival could make
    // it nonsense, so the age stays within what the steady clock allows.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - stamp.tv_nsec);
    const std::chrono::nanoseconds limit =
        batch.lastFull ? std::chrono::nanoseconds(kMaxAge)
                       : std::chrono::steady_clock::now() - batch.lastRead;
    return std::clamp<std::chrono::nanoseconds>(age, std::chrono::nanoseconds(0), limit);
  }
  return std::chrono::nanoseconds(0);
}

int TestSocket::DispatchDatagrams(ReceiveBatch& batch) {
  batch.Prepare();
  const auto readBegan = std::chrono::steady_clock::now();
  // MSG_TRUNC makes each length the datagram's real one, so an over-long datagram is
  // dropped whole instead of being delivered cut short.
  const int count = ::recvmmsg(socket_.load(), batch.messages, kBatch,
                               MSG_TRUNC | MSG_WAITFORONE, nullptr);
  for (int i = 0; i < count; ++i) {
    const mmsghdr& m = batch.messages[i];
    const auto n = static_cast<int64_t>(m.msg_len);
    if (n <= 0 || n > kReceiveBufferSize || (m.msg_hdr.msg_flags & MSG_TRUNC) != 0 ||
        batch.senders[i].sin_family != AF_INET) {
      continue;
    }
    // The slot held an earlier, maybe longer datagram: what follows this one reads as zero.
    std::memset(batch.data[i] + n, 0, static_cast<std::size_t>(kReceiveBufferSize - n));
    sink_.Dispatch(batch.senders[i].sin_addr.s_addr, batch.data[i], static_cast<int>(n),
                   Age(batch, i));
  }
  batch.lastRead = readBegan;
  batch.lastFull = count == static_cast<int>(kBatch);
  return count;
}

int TestSocket::Send(const uint8_t* data, int length, uint32_t peerAddress) {
  int fd = socket_.load();
  if (fd < 0) return -4;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(kPhoneTestPort);
  peer.sin_addr.s_addr = peerAddress;
  ssize_t n = ::sendto(fd, data, static_cast<std::size_t>(length), 0,
                       reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  if (n == length) return 0;
  DebugTrace(__LINE__, kModule, nullptr, "sendto failed %d", static_cast<int>(n));
  return -4;
}

bool TestSocket::SetDscp(int32_t dscp) {
  tos_ = dscp << 2;
  const int fd = socket_.load();
  return fd < 0 || ::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos_, sizeof tos_) == 0;
}

uint16_t TestSocket::LocalPort() const {
  int fd = socket_.load();
  if (fd < 0) return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace pathmon
