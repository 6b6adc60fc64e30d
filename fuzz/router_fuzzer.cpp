// The command router over a fresh simulated instrument, fed arbitrary requests:
// the input is a run of request frames (header, then as much of the declared
// payload as the input still holds). Every answer must become a well-formed
// response frame, exactly the codes without a handler must be answered 0x8001,
// and nothing may crash or leak.
//
// A few arguments make the hardware wait in real time (transfer time-outs chosen
// by the host, bus clocks and delays that stretch a transfer past the drivers' one
// second limit) or allocate in proportion to a number (wave lengths up to 256 MiB,
// captures of that many samples). Those are clamped before the request is routed,
// so one input costs milliseconds, not minutes; everything else passes unchanged.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "base/log.h"
#include "driver/core/hal.h"
#include "protocol/commands.h"
#include "protocol/error.h"
#include "protocol/frame.h"
#include "server/command.h"
#include "server/driver_set.h"
#include "sim/instrument.h"

namespace {

namespace cmd = protocol::command;

constexpr std::size_t MAX_REQUESTS = 16;
constexpr std::uint32_t MAX_SAMPLES = 65536;
constexpr std::uint32_t MAX_BUS_DELAY = 1000;  // controller cycles
constexpr std::uint16_t MAX_SPI_PSC = 15;
constexpr std::uint16_t MAX_RX_LEN = 1024;
constexpr std::uint16_t MAX_I2C_LEN = 64;
constexpr std::uint32_t MAX_UART_TIMEOUT_MS = 20;
constexpr std::uint32_t MAX_BATCH_COUNT = 4;
// Raw writes into the power and bus block keep 9 bits: setpoints and control words
// stay expressible, byte counts and prescalers stay small.
constexpr std::uint32_t POWER_BUS_MASK = 0x1FF;

constexpr std::uint64_t POWER_BUS_BASE = 0x43C10000, POWER_BUS_SIZE = 0x10000;
constexpr std::uint64_t OSC_CTL_BASE = 0x43C20000, OSC_CTL_SIZE = 0x1000;
constexpr std::uint64_t OSC_SAMPLE_LENGTH = OSC_CTL_BASE + 0x14;

[[noreturn]] void fail(const char* what, std::uint16_t command) {
  std::fprintf(stderr, "router fuzzer: command 0x%04x: %s\n", command, what);
  std::abort();
}

void clamp_be32(base::Bytes& p, std::size_t at, std::uint32_t max) {
  if (p.size() >= at + 4 && base::load_be32(p.data() + at) > max) base::store_be32(p.data() + at, max);
}
void clamp_be16(base::Bytes& p, std::size_t at, std::uint16_t max) {
  if (p.size() >= at + 2 && base::load_be16(p.data() + at) > max) base::store_be16(p.data() + at, max);
}

void clamp(std::uint16_t command, base::Bytes& p) {
  switch (command) {
    case cmd::write_register:  // base_addr, offset, value
      if (p.size() >= 12) {
        const std::uint64_t addr = std::uint64_t{base::load_be32(p.data())} + base::load_be32(p.data() + 4);
        std::uint32_t value = base::load_be32(p.data() + 8);
        if (addr == OSC_SAMPLE_LENGTH) value = std::min(value, MAX_SAMPLES);
        if (addr >= POWER_BUS_BASE && addr < POWER_BUS_BASE + POWER_BUS_SIZE) value &= POWER_BUS_MASK;
        base::store_be32(p.data() + 8, value);
      }
      break;
    case cmd::osc_set_sample_length: clamp_be32(p, 0, MAX_SAMPLES); break;
    case cmd::osc_get_channel_wave: clamp_be32(p, 5, MAX_SAMPLES); break;  // length
    case cmd::spi_transceive:  // delay, rx_len
      clamp_be32(p, 1, MAX_BUS_DELAY);
      clamp_be16(p, 5, MAX_RX_LEN);
      break;
    case cmd::spi_config: clamp_be16(p, 0, MAX_SPI_PSC); break;  // psc
    case cmd::i2c_transceive:  // delay, tsf_lens
      clamp_be32(p, 1, MAX_BUS_DELAY);
      for (std::size_t at = 8; at < 24; at += 2) clamp_be16(p, at, MAX_I2C_LEN);
      break;
    case cmd::uart_transceive:  // rx_len, timeout
      clamp_be16(p, 0, MAX_RX_LEN);
      clamp_be32(p, 3, MAX_UART_TIMEOUT_MS);
      break;
    case cmd::capture_batch:  // window length, rx_len, count, per-trace time-out
      clamp_be32(p, 6, MAX_SAMPLES);
      clamp_be16(p, 12, MAX_RX_LEN);
      clamp_be32(p, 14, MAX_BATCH_COUNT);
      clamp_be32(p, 18, MAX_UART_TIMEOUT_MS);
      break;
    default: break;
  }
}

void check_frame(const base::Bytes& f, std::uint16_t command) {
  if (f.size() < protocol::RESPONSE_HEADER_SIZE) fail("answer shorter than a header", command);
  if (f[0] != 'V' || f[1] != 'L' || f[2] != 'D' || f[3] != 'X') fail("bad magic", command);
  if (base::load_be16(f.data() + 4) != 1) fail("bad version", command);
  if (f[6] != 'R') fail("bad direction", command);
  const std::uint16_t status = base::load_be16(f.data() + 7);
  const std::uint32_t length = base::load_be32(f.data() + 9);
  if (length != f.size() - protocol::RESPONSE_HEADER_SIZE) fail("length field differs from the payload", command);
  switch (status) {
    case 0x0000:
    case 0x8000: break;
    case 0x0001:
    case 0x0002:
    case 0x8001:
      if (length != 0) fail("payload on an error without text", command);
      break;
    default: fail("unknown status", command);
  }
  // No handler answers Unsupport itself, so the status tells whether the router
  // found one.
  const bool known = cmd::find(command) != nullptr;
  if (!known && status != 0x8001) fail("a code without a handler was not refused", command);
  if (known && status == 0x8001) fail("a command was answered as unsupported", command);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Handlers and drivers log at debug: format every line, write none.
  base::log::set_threshold(base::log::Level::Trace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  driver::core::install_platform(sim::Instrument::create());
  server::testing::reset_driver();

  std::size_t pos = 0;
  for (std::size_t n = 0; n < MAX_REQUESTS && size - pos >= protocol::REQUEST_HEADER_SIZE; ++n) {
    auto header = protocol::RequestHeader::parse(std::span<const std::uint8_t>(data + pos, size - pos));
    if (!header) fail("15 bytes refused by the header parser", 0);
    pos += protocol::REQUEST_HEADER_SIZE;
    const std::size_t length = std::min<std::size_t>(header->length, size - pos);
    protocol::Request request{*header, base::Bytes(data + pos, data + pos + length)};
    pos += length;
    request.header.length = static_cast<std::uint32_t>(length);
    const std::uint16_t command = request.header.command;
    clamp(command, request.payload);
    check_frame(protocol::to_response_bytes(server::Cmd::router(std::move(request))), command);
  }

  // The next input starts from a new instrument; the old one goes with the drivers.
  server::testing::reset_driver();
  return 0;
}
