#include "kelvane/source/tcp_source.h"

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>

#include <cerrno>
#include <system_error>

namespace kelvane {

struct SocketReader::Socket {
  explicit Socket(asio::io_context& io) : socket(io) {}
  asio::ip::tcp::socket socket;
};

namespace {

KelvaneError invalid_address(std::string_view text, const char* problem) {
  return KelvaneError::io("invalid socket address '" + std::string(text) + "': " + problem);
}

// An operating-system error as Io with its errno; other Asio errors by their message.
KelvaneError from_asio(const asio::error_code& ec) {
  if (ec.category() == asio::error::get_system_category()) return KelvaneError::from_errno(ec.value());
  return KelvaneError::io(ec.message());
}

}  // namespace

Result<HostPort> split_host_port(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return fail(invalid_address(text, "missing port"));
  std::string_view host = text.substr(0, colon);
  std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
      std::stoul(std::string(port)) > 65535) {
    return fail(invalid_address(text, port.empty() ? "missing port" : "invalid port"));
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return HostPort{std::string(host), std::string(port)};
}

SocketReader::SocketReader(Runtime& runtime, std::unique_ptr<Socket> socket)
    : runtime_(&runtime), socket_(std::move(socket)) {}
SocketReader::SocketReader(SocketReader&&) noexcept = default;
SocketReader& SocketReader::operator=(SocketReader&&) noexcept = default;

SocketReader::~SocketReader() {
  if (!socket_) return;
  asio::error_code ignored;
  socket_->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_->socket.close(ignored);
}

Result<std::size_t> SocketReader::read(std::span<std::uint8_t> buf) {
  // After the peer's end of stream the socket has nothing more to give; another read would
  // wait for readiness that never comes.
  if (buf.empty() || peer_closed_) return 0;
  Completion<std::pair<asio::error_code, std::size_t>> done;
  // The read is started on the io_context's own thread, like every other use of the socket
  // while it is open, so the reactor sees all of the socket's operations from one thread.
  asio::post(runtime_->io_context(), [this, buf, &done] {
    socket_->socket.async_read_some(asio::buffer(buf.data(), buf.size()),
                                    [&done](const asio::error_code& ec, std::size_t n) { done.set({ec, n}); });
  });
  auto [ec, n] = done.wait();
  if (ec == asio::error::eof) {
    peer_closed_ = true;
    return 0;
  }
  if (ec) return fail(from_asio(ec));
  return n;
}

TcpSource::TcpSource(SocketReader reader, StreamConfig config) : stream_(std::move(reader), std::move(config)) {}

Result<std::unique_ptr<TcpSource>> TcpSource::connect(Runtime& runtime, std::string_view address,
                                                      StreamConfig config) {
  Result<HostPort> hp = split_host_port(address);
  if (!hp) return fail(std::move(hp.error()));

  auto socket = std::make_unique<SocketReader::Socket>(runtime.io_context());
  asio::ip::tcp::resolver resolver(runtime.io_context());
  Completion<Status> done;
  resolver.async_resolve(
      hp->host, hp->port, asio::ip::tcp::resolver::numeric_service,
      [&](const asio::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
        if (ec) {
          done.set(fail(KelvaneError::io("failed to resolve '" + hp->host + "': " + ec.message())));
          return;
        }
        if (results.empty()) {
          done.set(fail(KelvaneError::io("could not resolve to any address")));
          return;
        }
        // Tries each address in order; on total failure the last attempt's error comes back.
        asio::async_connect(socket->socket, results,
                            [&done](const asio::error_code& cec, const asio::ip::tcp::endpoint&) {
                              done.set(cec ? Status(fail(from_asio(cec))) : Status());
                            });
      });
  Status connected = done.wait();
  if (!connected) return fail(std::move(connected.error()));
  return std::unique_ptr<TcpSource>(
      new TcpSource(SocketReader(runtime, std::move(socket)), std::move(config)));
}

Result<std::optional<OwnedFrame>> TcpSource::next_owned() {
  return next_owned_frame(stream_);
}

Status TcpSource::read_batch(std::size_t max_frames, FrameBatch& out) {
  return read_frame_batch(stream_, max_frames, out, batch_scratch_);
}

}  // namespace kelvane
