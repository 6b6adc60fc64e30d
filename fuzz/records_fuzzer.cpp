// Every request payload record decoder, chosen by the first input byte and fed the
// rest. Besides not crashing, each result is checked against a plain reading of
// the record's table: where decoding must stop (the first short field or broken
// rule, with its message), the values of a record that decodes, and its debug text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
#include "protocol/packet.h"
#include "protocol/packet_server.h"

namespace {

using base::ByteView;
namespace packet = protocol::packet;
namespace server = protocol::packet::server;

struct Field {
  std::string_view name;
  int width;  // 1, 2 or 4 bytes; 16 for tsf_lens, eight u16 values
  int min = 0;
  int max = -1;  // no rule when max < min
  std::string_view message = {};
};

struct Table {
  std::string_view record;
  std::vector<Field> fields;
  bool tail = false;  // tx_data takes the rest
};

// What the table says the decoder must produce.
struct Expected {
  bool ok = false;
  std::string message;  // outermost message of the error
  std::string cause;    // its cause, if any
  std::vector<std::uint64_t> values;
  std::vector<std::uint8_t> tail;
};

Expected read_by_table(const Table& t, ByteView p) {
  Expected e;
  std::size_t pos = 0;
  for (const Field& f : t.fields) {
    const auto width = static_cast<std::size_t>(f.width);
    if (p.size() - pos < width) {
      e.message = base::format("While parsing field '{}' in {}", f.name, t.record);
      e.cause = "failed to fill whole buffer";
      return e;
    }
    const std::uint8_t* q = p.data() + pos;
    pos += width;
    if (f.width == 16) {
      for (int i = 0; i < 8; ++i) e.values.push_back(base::load_be16(q + 2 * i));
      continue;
    }
    const std::uint64_t v = f.width == 1 ? *q : f.width == 2 ? base::load_be16(q) : base::load_be32(q);
    if (f.max >= f.min && (v < static_cast<std::uint64_t>(f.min) || v > static_cast<std::uint64_t>(f.max))) {
      e.message = base::format("{} at 0x0", f.message);
      return e;
    }
    e.values.push_back(v);
  }
  if (t.tail) e.tail.assign(p.begin() + static_cast<std::ptrdiff_t>(pos), p.end());
  e.ok = true;
  return e;
}

[[noreturn]] void fail(const Table& t, const std::string& what) {
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(t.record.size()), t.record.data(), what.c_str());
  std::abort();
}

template <class Record, class Values>
void check(const Table& t, ByteView p, Values values) {
  const Expected e = read_by_table(t, p);
  auto r = Record::decode(p);
  if (r.has_value() != e.ok) fail(t, e.ok ? "refused a valid payload: " + packet::error_text(r.error()) : "accepted an invalid payload");
  if (!r) {
    const base::Error& err = r.error();
    if (err.message() != e.message) fail(t, "error '" + err.message() + "', expected '" + e.message + "'");
    const std::string cause = err.cause() ? err.cause()->message() : std::string();
    if (cause != e.cause) fail(t, "cause '" + cause + "', expected '" + e.cause + "'");
    if (packet::error_text(err).empty()) fail(t, "empty error text");
    return;
  }
  std::vector<std::uint64_t> got;
  std::vector<std::uint8_t> tail;
  values(*r, got, tail);
  if (got != e.values) fail(t, "decoded values differ from the payload");
  if (tail != e.tail) fail(t, "tx_data differs from the rest of the payload");
}

// The debug text of a bus record, built from the table and the decoded values.
template <class Record>
void check_debug_text(const Table& t, ByteView p) {
  auto r = Record::decode(p);
  if (!r) return;
  const Expected e = read_by_table(t, p);
  std::string text = std::string(t.record) + " {";
  std::size_t v = 0;
  bool first = true;
  for (const Field& f : t.fields) {
    text += first ? " " : ", ";
    first = false;
    text += f.name;
    text += ": ";
    if (f.width == 16) {
      text += '[';
      for (int i = 0; i < 8; ++i) text += (i ? ", " : "") + std::to_string(e.values[v++]);
      text += ']';
    } else {
      text += std::to_string(e.values[v++]);
    }
  }
  if (t.tail) {
    text += ", tx_data: [";
    for (std::size_t i = 0; i < e.tail.size(); ++i) text += (i ? ", " : "") + std::to_string(e.tail[i]);
    text += ']';
  }
  text += " }";
  if (r->debug_text() != text) fail(t, "debug text '" + r->debug_text() + "', expected '" + text + "'");
}

const Field IS_DELAY{"is_delay", 1, 0, 1, "IsDelay must be 0 or 1"};
const Field IS_TRIGGER{"is_trigger", 1, 0, 1, "IsTrigger must be 0 or 1"};
const Field CHANNEL{"channel", 1, 1, 2, "Channel must be 1 or 2"};

using Out = std::vector<std::uint64_t>;
using Tail = std::vector<std::uint8_t>;

void run(std::uint8_t which, ByteView p) {
  switch (which % 16) {
    case 0:
      check<packet::U8Wrapper>({"U8Wrapper", {{"self_0", 1}}}, p,
                               [](auto& r, Out& o, Tail&) { o = {r.self_0}; });
      break;
    case 1:
      check<packet::U16Wrapper>({"U16Wrapper", {{"self_0", 2}}}, p,
                                [](auto& r, Out& o, Tail&) { o = {r.self_0}; });
      break;
    case 2:
      check<packet::U32Wrapper>({"U32Wrapper", {{"self_0", 4}}}, p,
                                [](auto& r, Out& o, Tail&) { o = {r.self_0}; });
      break;
    case 3:
      check<packet::U8Range<0, 1>>({"U8Range", {{"value", 1, 0, 1, "Value must be between 0 and 1"}}}, p,
                                   [](auto& r, Out& o, Tail&) { o = {r.value}; });
      break;
    case 4:
      check<packet::U8Range<0, 2>>({"U8Range", {{"value", 1, 0, 2, "Value must be between 0 and 2"}}}, p,
                                   [](auto& r, Out& o, Tail&) { o = {r.value}; });
      break;
    case 5:
      check<packet::U8Range<0, 3>>({"U8Range", {{"value", 1, 0, 3, "Value must be between 0 and 3"}}}, p,
                                   [](auto& r, Out& o, Tail&) { o = {r.value}; });
      break;
    case 6: {
      const Table t{"I2cConfig", {{"addr", 1}, {"speed", 1, 0, 4, "Speed must be between 0 and 4"}}};
      check<server::I2cConfig>(t, p, [](auto& r, Out& o, Tail&) { o = {r.addr, r.speed}; });
      check_debug_text<server::I2cConfig>(t, p);
      break;
    }
    case 7: {
      const Table t{"SpiConfig",
                    {{"psc", 2}, {"cpol", 1, 0, 1, "Cpol must be 0 or 1"}, {"cpha", 1, 0, 1, "Cpha must be 0 or 1"}}};
      check<server::SpiConfig>(t, p, [](auto& r, Out& o, Tail&) { o = {r.psc, r.cpol, r.cpha}; });
      check_debug_text<server::SpiConfig>(t, p);
      break;
    }
    case 8: {
      const Table t{"UartConfig",
                    {{"stop_bits", 1, 0, 2, "StopBits must be between 0 and 2"},
                     {"parity", 1, 0, 4, "Parity must be between 0 and 4"},
                     {"bytesize", 1, 5, 8, "ByteSize must be between 5 and 8"},
                     {"baudrate", 4}}};
      check<server::UartConfig>(t, p,
                                [](auto& r, Out& o, Tail&) { o = {r.stop_bits, r.parity, r.bytesize, r.baudrate}; });
      check_debug_text<server::UartConfig>(t, p);
      break;
    }
    case 9:
      check<server::ChannelGain>({"ChannelGain", {CHANNEL, {"gain", 1}}}, p,
                                 [](auto& r, Out& o, Tail&) { o = {r.channel, r.gain}; });
      break;
    case 10:
      check<server::ChannelWave>({"ChannelWave", {CHANNEL, {"offset", 4}, {"length", 4}}}, p,
                                 [](auto& r, Out& o, Tail&) { o = {r.channel, r.offset, r.length}; });
      break;
    case 11:
      check<server::ReadRegister>({"ReadRegister", {{"base_addr", 4}, {"offset", 4}}}, p,
                                  [](auto& r, Out& o, Tail&) { o = {r.base_addr, r.offset}; });
      break;
    case 12:
      check<server::WriteRegister>({"WriteRegister", {{"base_addr", 4}, {"offset", 4}, {"value", 4}}}, p,
                                   [](auto& r, Out& o, Tail&) { o = {r.base_addr, r.offset, r.value}; });
      break;
    case 13: {
      const Table t{"SpiTransceive", {IS_DELAY, {"delay", 4}, {"rx_len", 2}, IS_TRIGGER}, true};
      check<server::SpiTransceive>(t, p, [](auto& r, Out& o, Tail& tail) {
        o = {r.is_delay, r.delay, r.rx_len, r.is_trigger};
        tail.assign(r.tx_data.begin(), r.tx_data.end());
      });
      check_debug_text<server::SpiTransceive>(t, p);
      break;
    }
    case 14: {
      const Table t{"I2cTransceive",
                    {IS_DELAY,
                     {"delay", 4},
                     {"tsf1_count", 1},
                     {"tsf2_count", 1},
                     {"tsf_rw", 1},
                     {"tsf_lens", 16},
                     IS_TRIGGER},
                    true};
      check<server::I2cTransceive>(t, p, [](auto& r, Out& o, Tail& tail) {
        o = {r.is_delay, r.delay, r.tsf1_count, r.tsf2_count, r.tsf_rw};
        o.insert(o.end(), r.tsf_lens.begin(), r.tsf_lens.end());
        o.push_back(r.is_trigger);
        tail.assign(r.tx_data.begin(), r.tx_data.end());
      });
      check_debug_text<server::I2cTransceive>(t, p);
      break;
    }
    case 15: {
      const Table t{"UartTransceive", {{"rx_len", 2}, IS_TRIGGER, {"timeout", 4}}, true};
      check<server::UartTransceive>(t, p, [](auto& r, Out& o, Tail& tail) {
        o = {r.rx_len, r.is_trigger, r.timeout};
        tail.assign(r.tx_data.begin(), r.tx_data.end());
      });
      check_debug_text<server::UartTransceive>(t, p);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  run(data[0], ByteView(data + 1, size - 1));
  return 0;
}
