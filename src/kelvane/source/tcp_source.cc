#include "kelvane/source/tcp_source.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <asio/connect.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace kelvane {

struct SocketReader::Socket {
  explicit Socket(asio::io_context& io) : socket(io), resolver(io) {}
  asio::ip::tcp::socket socket;
  asio::ip::tcp::resolver resolver;  // used while connecting
  Completion<Status> connected;
  std::array<std::uint8_t, kReadChunkSize> buffer;
  Completion<std::pair<asio::error_code, std::size_t>> received;
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

bool valid_port(std::string_view port) {
  return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string_view::npos &&
         std::stoul(std::string(port)) <= 65535;
}

}  // namespace

Result<HostPort> split_host_port(std::string_view text) {
  std::string_view host;
  std::string_view port;
  if (text.starts_with('[') && text.find(']') != std::string_view::npos) {
    const std::size_t close = text.find(']');
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (rest.empty() || rest == ":") return fail(invalid_address(text, "missing port"));
    if (rest.front() != ':') return fail(invalid_address(text, "invalid port"));
    port = rest.substr(1);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return fail(invalid_address(text, "missing port"));
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.empty()) return fail(invalid_address(text, "missing port"));
  }
  if (!valid_port(port)) return fail(invalid_address(text, "invalid port"));
  // An empty host would silently mean this machine, and a NUL byte would cut the name short.
  if (host.empty()) return fail(invalid_address(text, "missing host"));
  if (host.find('\0') != std::string_view::npos) return fail(invalid_address(text, "host contains a NUL byte"));
  return HostPort{std::string(host), std::string(port)};
}

SocketReader::SocketReader(Runtime& runtime, std::shared_ptr<Socket> socket)
    : runtime_(&runtime), socket_(std::move(socket)) {}
SocketReader::SocketReader(SocketReader&&) noexcept = default;

SocketReader::~SocketReader() {
  if (!socket_) return;
  if (!runtime_->owned_here()) {
    // A forked child closes its copy of the descriptor only: shutdown() would end the parent's
    // connection, and the reactor belongs to the parent's threads.
    ::close(socket_->socket.native_handle());
    abandon(std::move(socket_));
    return;
  }
  // Closing cancels a read in flight; the socket goes when its handler has run.
  asio::post(runtime_->io_context(), [s = std::move(socket_)] {
    asio::error_code ignored;
    s->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    s->socket.close(ignored);
  });
}

std::optional<std::size_t> SocketReader::unread_bytes() const {
  int n = 0;
  if (!socket_ || ::ioctl(socket_->socket.native_handle(), FIONREAD, &n) != 0 || n < 0) return std::nullopt;
  return static_cast<std::size_t>(n);
}

Result<std::size_t> SocketReader::read(std::span<std::uint8_t> buf) {
  if (buf.empty()) return 0;
  if (pos_ == len_) {
    // After the end or a failure the socket has nothing more to give; another read would wait
    // for readiness that never comes.
    if (failed_) return fail(*failed_);
    if (peer_closed_) return 0;
    if (!pending_) {
      pending_ = true;
      // Started on the io_context's own thread, like every other use of the socket.
      asio::post(runtime_->io_context(), [s = socket_] {
        s->socket.async_read_some(asio::buffer(s->buffer),
                                  [s](const asio::error_code& ec, std::size_t n) { s->received.set({ec, n}); });
      });
    }
    WaitContext unlimited;
    WaitContext& ctx = wait_ ? *wait_ : unlimited;
    auto got = socket_->received.wait(ctx);
    if (!got) return fail(ctx.stopped(ctx.stop));  // still in flight: the next read collects it
    pending_ = false;
    auto [ec, n] = *got;
    if (ec == asio::error::eof) {
      peer_closed_ = true;
      return 0;
    }
    if (ec) {
      failed_ = from_asio(ec);
      return fail(*failed_);
    }
    pos_ = 0;
    len_ = n;
  }
  const std::size_t n = std::min(buf.size(), len_ - pos_);
  std::memcpy(buf.data(), socket_->buffer.data() + pos_, n);
  pos_ += n;
  return n;
}

TcpSource::TcpSource(std::shared_ptr<Runtime> runtime, std::shared_ptr<SocketReader::Socket> socket,
                     StreamConfig config)
    : KvlxFrameSource(runtime, SocketReader(*runtime, std::move(socket)), std::move(config)) {}

Result<std::unique_ptr<TcpSource>> TcpSource::connect(std::shared_ptr<Runtime> runtime, std::string_view address,
                                                      StreamConfig config, WaitContext& ctx) {
  ctx.stop = WaitStop::none;
  Result<HostPort> hp = split_host_port(address);
  if (!hp) return fail(std::move(hp.error()));

  auto s = std::make_shared<SocketReader::Socket>(runtime->io_context());
  asio::post(runtime->io_context(), [s, host = hp->host, port = hp->port] {
    s->resolver.async_resolve(
        host, port, asio::ip::tcp::resolver::numeric_service,
        [s, host](const asio::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
          if (ec) {
            s->connected.set(fail(KelvaneError::io("failed to resolve '" + host + "': " + ec.message())));
            return;
          }
          if (results.empty()) {
            s->connected.set(fail(KelvaneError::io("could not resolve to any address")));
            return;
          }
          // Tries each address in order; on total failure the last attempt's error comes back.
          asio::async_connect(s->socket, results, [s](const asio::error_code& cec, const asio::ip::tcp::endpoint&) {
            s->connected.set(cec ? Status(fail(from_asio(cec))) : Status());
          });
        });
  });
  std::optional<Status> connected = s->connected.wait(ctx);
  if (!connected) {
    // Give up the lookup or the attempt; the handlers still hold the socket until they run.
    asio::post(runtime->io_context(), [s] {
      asio::error_code ignored;
      s->resolver.cancel();
      s->socket.close(ignored);
    });
    return fail(ctx.stopped(ctx.stop));
  }
  if (!*connected) return fail(std::move(connected->error()));
  return std::unique_ptr<TcpSource>(new TcpSource(std::move(runtime), std::move(s), std::move(config)));
}

}  // namespace kelvane
