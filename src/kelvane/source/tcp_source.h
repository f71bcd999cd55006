// Frames from a TCP connection: a KVLX reader over a connected socket on the runtime's
// io_context, read directly (no buffer beyond the reader's own ring).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kelvane/core/error.h"
#include "kelvane/kvlx/stream.h"
#include "kelvane/source/frame_source.h"
#include "kelvane/source/runtime.h"

namespace kelvane {

// "host:port" split at the last colon; an IPv6 host may be given in brackets ("[::1]:9000").
struct HostPort {
  std::string host;
  std::string port;  // decimal digits, value 0..65535
};
// Fails with Io "invalid socket address '{text}': missing port" or "...: invalid port".
Result<HostPort> split_host_port(std::string_view text);

// A byte source over a connected socket. Closing the socket (destruction) happens on the
// calling thread while no operation is pending on it.
class SocketReader {
 public:
  struct Socket;  // the Asio socket, kept out of this header
  SocketReader(Runtime& runtime, std::unique_ptr<Socket> socket);
  SocketReader(SocketReader&&) noexcept;
  SocketReader& operator=(SocketReader&&) noexcept;
  ~SocketReader();

  // Waits for at least one byte; 0 once the peer has closed the connection (and on every later
  // call); Io on an error.
  Result<std::size_t> read(std::span<std::uint8_t> buf);

 private:
  Runtime* runtime_;
  std::unique_ptr<Socket> socket_;
  bool peer_closed_ = false;
};

class TcpSource final : public FrameSource {
 public:
  // Resolves `address` ("host:port") and connects, trying each resolved address in order and
  // blocking until one connection succeeds. Every failure is Io: a malformed address, a failed
  // name lookup ("failed to resolve '{host}': ..."), a name with no addresses ("could not
  // resolve to any address"), or the last connection attempt's operating-system error.
  static Result<std::unique_ptr<TcpSource>> connect(Runtime& runtime, std::string_view address,
                                                    StreamConfig config = {});

  Result<std::optional<OwnedFrame>> next_owned() override;
  Status read_batch(std::size_t max_frames, FrameBatch& out) override;

 private:
  TcpSource(SocketReader reader, StreamConfig config);

  KvlxStream<SocketReader> stream_;
  std::vector<std::uint8_t> batch_scratch_;
};

}  // namespace kelvane
