#include "protocol/packet.h"

#include <algorithm>

namespace protocol::packet {

const std::uint8_t* Reader::take(std::string_view name, std::size_t size) {
  if (error_) return nullptr;
  if (payload_.size() - pos_ < size) {
    error_ = base::Error(base::format("While parsing field '{}' in {}", name, record_),
                         base::Error("failed to fill whole buffer"));
    return nullptr;
  }
  const std::uint8_t* p = payload_.data() + pos_;
  pos_ += size;
  return p;
}

bool Reader::field(std::string_view name, std::uint8_t& out) {
  const std::uint8_t* p = take(name, 1);
  if (p == nullptr) return false;
  out = *p;
  return true;
}

bool Reader::field(std::string_view name, std::uint16_t& out) {
  const std::uint8_t* p = take(name, 2);
  if (p == nullptr) return false;
  out = base::load_be16(p);
  return true;
}

bool Reader::field(std::string_view name, std::uint32_t& out) {
  const std::uint8_t* p = take(name, 4);
  if (p == nullptr) return false;
  out = base::load_be32(p);
  return true;
}

bool Reader::field(std::string_view name, std::array<std::uint16_t, 8>& out) {
  const std::uint8_t* p = take(name, 2 * out.size());
  if (p == nullptr) return false;
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = base::load_be16(p + 2 * i);
  return true;
}

bool Reader::rest(base::Bytes& out) {
  if (error_) return false;
  out.resize(payload_.size() - pos_);
  std::copy(payload_.begin() + static_cast<std::ptrdiff_t>(pos_), payload_.end(), out.begin());
  pos_ = payload_.size();
  return true;
}

bool Reader::rule(bool ok, std::string_view message) {
  if (error_) return false;
  if (!ok) error_ = base::Error(base::format("{} at 0x0", message));
  return ok;
}

std::string error_text(const base::Error& error) { return error.describe(); }

base::Result<U8Wrapper> U8Wrapper::decode(base::ByteView payload) {
  Reader r(payload, "U8Wrapper");
  U8Wrapper out;
  r.field("self_0", out.self_0);
  return r.finish(std::move(out));
}

base::Result<U16Wrapper> U16Wrapper::decode(base::ByteView payload) {
  Reader r(payload, "U16Wrapper");
  U16Wrapper out;
  r.field("self_0", out.self_0);
  return r.finish(std::move(out));
}

base::Result<U32Wrapper> U32Wrapper::decode(base::ByteView payload) {
  Reader r(payload, "U32Wrapper");
  U32Wrapper out;
  r.field("self_0", out.self_0);
  return r.finish(std::move(out));
}

}  // namespace protocol::packet
