#include "transport/PATHMONSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "transport/DebugTrace.h"

namespace pathmon {
namespace {

constexpr const char* kModule = "PATHMONSocket";
constexpr int kWaitMs = 1000;
constexpr auto kStopWait = std::chrono::milliseconds(5000);

}  // namespace

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
  const int fd = socket_.load();
  while (!stop_.load()) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, kWaitMs);
    if (ready > 0 && (p.revents & POLLIN)) DispatchDatagram();
  }
}

void TestSocket::DispatchDatagram() {
  uint8_t buffer[kReceiveBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  sockaddr_in sender{};
  socklen_t senderLength = sizeof sender;
  // MSG_TRUNC makes recvfrom report the datagram's real length, so an over-long one is
  // dropped whole instead of being delivered cut short.
  ssize_t n = ::recvfrom(socket_.load(), buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (n <= 0 || n > kReceiveBufferSize || sender.sin_family != AF_INET) return;
  sink_.Dispatch(sender.sin_addr.s_addr, buffer, static_cast<int>(n));
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

uint16_t TestSocket::LocalPort() const {
  int fd = socket_.load();
  if (fd < 0) return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace pathmon
