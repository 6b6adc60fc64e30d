// The request header parser, and one connection of the real connection loop fed
// the input as its byte stream through a socket pair, with a small handler whose
// answer depends only on the request. The input is written and its side closed
// before the connection reads, so the loop runs on this thread. Everything the
// connection sends back is compared byte for byte with what a plain reading of
// the frame rules predicts:
// one answer per complete request, in order, and after a frame that cannot be
// accepted exactly one error frame and the end of the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/log.h"
#include "protocol/base_server.h"
#include "protocol/commands.h"
#include "protocol/error.h"
#include "protocol/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using protocol::HandlerResult;
using protocol::ProtocolError;
using protocol::Request;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "frame fuzzer: %s\n", what);
  std::abort();
}

// The handler under the connection: the low three bits of the command pick the
// kind of answer.
HandlerResult handler(Request request) {
  switch (request.header.command % 8) {
    case 0: return std::move(request.payload);
    case 1: return base::Bytes{};
    case 2: return std::unexpected(ProtocolError::busy());
    case 3: return std::unexpected(ProtocolError::time_out());
    case 4: return std::unexpected(ProtocolError::unsupport());
    case 5:
      return std::unexpected(ProtocolError::internal(base::Error(
          "Handling failed", base::Error(std::string(request.payload.begin(), request.payload.end())))));
    case 6: return std::unexpected(ProtocolError::internal(std::string()));
    default: throw std::runtime_error("handler threw");
  }
}

void put_frame(Bytes& out, std::uint16_t status, std::string_view payload) {
  const std::uint8_t head[] = {'V', 'L', 'D', 'X', 0, 1, 'R', static_cast<std::uint8_t>(status >> 8),
                               static_cast<std::uint8_t>(status), 0, 0, 0, 0};
  const std::size_t at = out.size();
  out.insert(out.end(), head, head + sizeof head);
  base::store_be32(out.data() + at + 9, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
}

// What the connection must send for this input. `threw` marks where the handler
// threw: that answer is an internal error whose text the connection chooses.
struct Prediction {
  Bytes bytes;
  std::vector<std::size_t> thrown_at;
};

Prediction predict(const std::uint8_t* data, std::size_t size) {
  Prediction p;
  std::size_t pos = 0;
  for (;;) {
    if (size - pos < protocol::REQUEST_HEADER_SIZE) return p;
    const std::uint8_t* h = data + pos;
    pos += protocol::REQUEST_HEADER_SIZE;
    if (std::memcmp(h, "VLDX", 4) != 0) return put_frame(p.bytes, 0x8000, "Invalid magic code"), p;
    if (h[6] != 'S') return put_frame(p.bytes, 0x8000, "Invalid direction"), p;
    const std::uint32_t length = base::load_be32(h + 11);
    if (length > protocol::MAX_PAYLOAD_LENGTH) return put_frame(p.bytes, 0x8000, "Payload too large"), p;
    if (size - pos < length) return put_frame(p.bytes, 0x8000, "Read payload error"), p;
    const std::string_view payload(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
    switch (base::load_be16(h + 7) % 8) {
      case 0: put_frame(p.bytes, 0, payload); break;
      case 1: put_frame(p.bytes, 0, ""); break;
      case 2: put_frame(p.bytes, protocol::command::get_id, ""); break;
      case 3: put_frame(p.bytes, protocol::command::get_name, ""); break;
      case 4: put_frame(p.bytes, 0x8001, ""); break;
      case 5: put_frame(p.bytes, 0x8000, "Handling failed"); break;
      case 6: put_frame(p.bytes, 0x8000, ""); break;
      default:
        p.thrown_at.push_back(p.bytes.size());
        put_frame(p.bytes, 0x8000, "");
        break;
    }
  }
}

// Compares the stream with the prediction; a thrown handler's frame may carry any
// text, so its length is taken from the stream.
void compare(const Prediction& want, const Bytes& got) {
  std::size_t w = 0, g = 0;
  std::size_t next_throw = 0;
  while (w < want.bytes.size()) {
    if (next_throw < want.thrown_at.size() && want.thrown_at[next_throw] == w) {
      ++next_throw;
      if (got.size() - g < protocol::RESPONSE_HEADER_SIZE) fail("stream ends inside an answer");
      if (std::memcmp(got.data() + g, want.bytes.data() + w, 9) != 0) fail("bad answer to a handler that threw");
      const std::size_t len = base::load_be32(got.data() + g + 9);
      if (got.size() - g - protocol::RESPONSE_HEADER_SIZE < len) fail("stream ends inside an answer");
      g += protocol::RESPONSE_HEADER_SIZE + len;
      w += protocol::RESPONSE_HEADER_SIZE;
      continue;
    }
    const std::size_t end = next_throw < want.thrown_at.size() ? want.thrown_at[next_throw] : want.bytes.size();
    const std::size_t n = end - w;
    if (got.size() - g < n || std::memcmp(got.data() + g, want.bytes.data() + w, n) != 0)
      fail("the connection's answers differ from the prediction");
    w += n;
    g += n;
  }
  if (g != got.size()) fail("the connection sent more than predicted");
}

void check_header_parser(const std::uint8_t* data, std::size_t size) {
  auto h = protocol::RequestHeader::parse(std::span<const std::uint8_t>(data, size));
  if (size < protocol::REQUEST_HEADER_SIZE) {
    if (h || h.error().message() != "Buffer too short") fail("short header not refused");
    return;
  }
  if (!h) fail("15 bytes refused");
  const auto again = h->to_bytes();
  if (std::memcmp(again.data(), data, again.size()) != 0) fail("header does not round-trip");
}

// Room for a whole input one way and every answer to it the other, so that the
// connection can run on this thread: no hand-over between threads per input.
void make_room(int fd) {
  int bytes = 8 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
    bytes = 4 << 20;  // the usual wmem_max
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }
}

Bytes read_to_end(int fd) {
  Bytes got;
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return got;
    if (n < 0) fail("read from the connection failed");
    got.insert(got.end(), buf, buf + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every log statement formats its line; with no pipeline installed nothing is written.
  base::log::set_threshold(base::log::Level::Trace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_header_parser(data, size);

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fail("socketpair");
  make_room(fds[0]);
  make_room(fds[1]);
  for (std::size_t sent = 0; sent < size;) {
    ssize_t n = ::send(fds[0], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("the input does not fit in the socket");
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[0], SHUT_WR);
  protocol::BaseServer::handle_client(fds[1], handler);  // closes fds[1]
  const Bytes got = read_to_end(fds[0]);
  ::close(fds[0]);
  compare(predict(data, size), got);
  return 0;
}
