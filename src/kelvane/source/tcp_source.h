// Frames from a TCP connection: a KVLX reader over a connected socket on the runtime's
// io_context.
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
#include "kelvane/source/wait.h"

namespace kelvane {

// "host:port" split at the last colon; an IPv6 host may be given in brackets ("[::1]:9000").
struct HostPort {
  std::string host;
  std::string port;  // decimal digits, value 0..65535
};
// Fails with Io "invalid socket address '{text}': {problem}", the problem being "missing port",
// "invalid port", "missing host" or "host contains a NUL byte".
Result<HostPort> split_host_port(std::string_view text);

// A byte source over a connected socket, read through a 4096-byte buffer of its own that the
// read in flight owns jointly with the reader, so that a wait that stops leaves the read to
// complete later. The socket is used only on the io_context's thread; destruction closes it
// there without waiting.
class SocketReader : public WaitedReads {
 public:
  struct Socket;  // the Asio socket and the read buffer, kept out of this header
  SocketReader(Runtime& runtime, std::shared_ptr<Socket> socket);
  SocketReader(SocketReader&&) noexcept;
  SocketReader& operator=(SocketReader&&) = delete;
  ~SocketReader();

  // True once the peer has closed the connection: the end of the data is final.
  bool finished() const { return peer_closed_; }
  // The bytes in the socket's receive queue (FIONREAD), or nothing when the system does not say.
  std::optional<std::size_t> unread_bytes() const;

  // Waits for at least one byte; 0 once the peer has closed the connection; Io on an error or
  // when the wait stops. The end and errors other than a stopped wait are remembered: every
  // later call returns them at once.
  Result<std::size_t> read(std::span<std::uint8_t> buf);

 private:
  Runtime* runtime_;
  std::shared_ptr<Socket> socket_;
  bool pending_ = false;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool peer_closed_ = false;
  std::optional<KelvaneError> failed_;
};

class TcpSource final : public KvlxFrameSource<SocketReader> {
 public:
  // Resolves `address` ("host:port") and connects, trying each resolved address in order and
  // waiting on the terms of `ctx` until one connection succeeds. Every failure is Io: a
  // malformed address, a failed name lookup ("failed to resolve '{host}': ..."), a name with no
  // addresses ("could not resolve to any address"), the last connection attempt's
  // operating-system error, or the wait's stop error.
  static Result<std::unique_ptr<TcpSource>> connect(std::shared_ptr<Runtime> runtime, std::string_view address,
                                                    StreamConfig config, WaitContext& ctx);
  static Result<std::unique_ptr<TcpSource>> connect(std::shared_ptr<Runtime> runtime, std::string_view address,
                                                    StreamConfig config = {}) {
    WaitContext unlimited;
    return connect(std::move(runtime), address, std::move(config), unlimited);
  }

  std::optional<std::size_t> unread_bytes() const override { return stream_.reader().unread_bytes(); }

 private:
  TcpSource(std::shared_ptr<Runtime> runtime, std::shared_ptr<SocketReader::Socket> socket, StreamConfig config);
};

}  // namespace kelvane
