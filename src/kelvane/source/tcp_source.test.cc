#include "kelvane/source/tcp_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "kelvane/kvlx/encoder.h"

namespace kelvane {
namespace {

// A loopback listener on an ephemeral port that serves one connection from a thread.
class LoopbackServer {
 public:
  LoopbackServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd_, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackServer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Accepts one connection and sends `bytes` in pieces of `chunk`, then closes it.
  void serve(std::vector<std::uint8_t> bytes, std::size_t chunk) {
    thread_ = std::thread([this, bytes = std::move(bytes), chunk] {
      int c = ::accept(fd_, nullptr, nullptr);
      for (std::size_t i = 0; i < bytes.size(); i += chunk) {
        ::send(c, bytes.data() + i, std::min(chunk, bytes.size() - i), MSG_NOSIGNAL);
        if (chunk < 8) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      ::close(c);
    });
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

std::vector<std::uint8_t> stream_bytes(int frames) {
  std::vector<std::uint8_t> out = encode_file_header(FileHeader{});
  for (int i = 0; i < frames; ++i) {
    FrameSpec s;
    s.header.frame_id = static_cast<std::uint64_t>(10 + i);
    s.header.ancilla_count = 6;
    s.detector_events = {1, 0, 0, 1, 1, static_cast<std::uint8_t>(i & 1)};
    s.meas_results.assign(6, static_cast<std::int8_t>(i));
    EXPECT_TRUE(append_frame(out, s).has_value());
  }
  return out;
}

TEST(SplitHostPort, AcceptsAndRefuses) {
  struct Case {
    const char* text;
    const char* host;
    const char* port;
    const char* error;
  };
  const Case cases[] = {
      {"127.0.0.1:9000", "127.0.0.1", "9000", nullptr},
      {"localhost:0", "localhost", "0", nullptr},
      {"[::1]:65535", "::1", "65535", nullptr},
      {"::1:80", "::1", "80", nullptr},
      {"", nullptr, nullptr, "i/o error: invalid socket address '': missing port"},
      {"localhost", nullptr, nullptr, "i/o error: invalid socket address 'localhost': missing port"},
      {"localhost:", nullptr, nullptr, "i/o error: invalid socket address 'localhost:': missing port"},
      {"h:65536", nullptr, nullptr, "i/o error: invalid socket address 'h:65536': invalid port"},
      {"h:-1", nullptr, nullptr, "i/o error: invalid socket address 'h:-1': invalid port"},
      {"h:80x", nullptr, nullptr, "i/o error: invalid socket address 'h:80x': invalid port"},
      {"[::1]", nullptr, nullptr, "i/o error: invalid socket address '[::1]': missing port"},
      {":9000", nullptr, nullptr, "i/o error: invalid socket address ':9000': missing host"},
      {"[]:9000", nullptr, nullptr, "i/o error: invalid socket address '[]:9000': missing host"},
  };
  for (const Case& c : cases) {
    auto hp = split_host_port(c.text);
    if (c.error) {
      ASSERT_FALSE(hp.has_value()) << c.text;
      EXPECT_EQ(hp.error().to_string(), c.error);
    } else {
      ASSERT_TRUE(hp.has_value()) << c.text;
      EXPECT_EQ(hp->host, c.host);
      EXPECT_EQ(hp->port, c.port);
    }
  }
}

TEST(TcpSource, ReadsFramesSentInAnyPieces) {
  for (std::size_t chunk : {1u, 5u, 100000u}) {
    auto rt = Runtime::create();
    ASSERT_TRUE(rt.has_value());
    LoopbackServer server;
    server.serve(stream_bytes(5), chunk);
    auto src = TcpSource::connect(*rt, server.address());
    ASSERT_TRUE(src.has_value()) << src.error().to_string();
    for (int i = 0; i < 5; ++i) {
      auto f = (*src)->next_owned();
      ASSERT_TRUE(f.has_value() && f->has_value()) << chunk << "/" << i;
      EXPECT_EQ((*f)->frame_id, static_cast<std::uint64_t>(10 + i));
      EXPECT_EQ((*f)->detector_events, (std::vector<std::uint8_t>{1, 0, 0, 1, 1, static_cast<std::uint8_t>(i & 1)}));
    }
    for (int i = 0; i < 2; ++i) {  // the peer has closed: the end, again and again
      auto end = (*src)->next_owned();
      ASSERT_TRUE(end.has_value());
      EXPECT_FALSE(end->has_value());
    }
  }
}

TEST(TcpSource, PeerClosingMidFrameIsAPayloadError) {
  auto rt = Runtime::create();
  ASSERT_TRUE(rt.has_value());
  LoopbackServer server;
  auto bytes = stream_bytes(1);
  bytes.resize(kFileHeaderSize + kFrameHeaderSize + 1);
  server.serve(bytes, 3);
  auto src = TcpSource::connect(*rt, server.address());
  ASSERT_TRUE(src.has_value());
  auto f = (*src)->next_owned();
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().to_string(), "payload length mismatch: header declares 2 bytes, found 1");
}

TEST(TcpSource, ConnectionRefusedIsTheOsError) {
  auto rt = Runtime::create();
  ASSERT_TRUE(rt.has_value());
  std::string address;
  { LoopbackServer closed; address = closed.address(); }  // nothing listens there any more
  auto src = TcpSource::connect(*rt, address);
  ASSERT_FALSE(src.has_value());
  EXPECT_EQ(src.error().to_string(), "i/o error: Connection refused (os error 111)");
}

}  // namespace
}  // namespace kelvane
