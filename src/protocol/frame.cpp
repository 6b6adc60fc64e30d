#include "protocol/frame.h"

#include <algorithm>

namespace protocol {

base::Result<RequestHeader> RequestHeader::parse(std::span<const std::uint8_t> b) {
  if (b.size() < REQUEST_HEADER_SIZE) return base::fail("Buffer too short");
  RequestHeader h;
  std::copy_n(b.begin(), 4, h.magic.begin());
  h.version = base::load_be16(&b[4]);
  h.direction = b[6];
  h.command = base::load_be16(&b[7]);
  h.reserved = {b[9], b[10]};
  h.length = base::load_be32(&b[11]);
  return h;
}

RequestHeader RequestHeader::for_command(std::uint16_t command, std::uint32_t length) {
  RequestHeader h;
  h.magic = FRAME_MAGIC;
  h.version = 1;
  h.direction = REQUEST_DIRECTION;
  h.command = command;
  h.length = length;
  return h;
}

std::array<std::uint8_t, REQUEST_HEADER_SIZE> RequestHeader::to_bytes() const {
  std::array<std::uint8_t, REQUEST_HEADER_SIZE> out{};
  std::copy(magic.begin(), magic.end(), out.begin());
  base::store_be16(&out[4], version);
  out[6] = direction;
  base::store_be16(&out[7], command);
  out[9] = reserved[0];
  out[10] = reserved[1];
  base::store_be32(&out[11], length);
  return out;
}

Response Response::with_status(std::uint16_t status, base::Bytes payload) {
  Response r;
  r.status = status;
  r.length = static_cast<std::uint32_t>(payload.size());
  r.payload = std::move(payload);
  return r;
}

std::array<std::uint8_t, RESPONSE_HEADER_SIZE> Response::header_bytes() const {
  std::array<std::uint8_t, RESPONSE_HEADER_SIZE> out{};
  std::copy(magic.begin(), magic.end(), out.begin());
  base::store_be16(&out[4], version);
  out[6] = direction;
  base::store_be16(&out[7], status);
  base::store_be32(&out[9], length);
  return out;
}

base::Bytes Response::to_bytes() const {
  base::Bytes out(RESPONSE_HEADER_SIZE + payload.size());
  auto h = header_bytes();
  std::copy(h.begin(), h.end(), out.begin());
  std::copy(payload.begin(), payload.end(), out.begin() + RESPONSE_HEADER_SIZE);
  return out;
}

}  // namespace protocol
