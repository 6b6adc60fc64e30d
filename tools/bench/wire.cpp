#include "bench/wire.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace bench {

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

long long cpu_ticks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // Fields after the command name start at field 3; utime and stime are 14 and 15.
  const char* p = text.c_str() + close + 1;
  long long utime = 0, stime = 0;
  for (int field = 3; field <= 15 && *p; ++field) {
    while (*p == ' ') ++p;
    if (field == 14) utime = std::strtoll(p, nullptr, 10);
    if (field == 15) stime = std::strtoll(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
  }
  return utime + stime;
}

Bytes request(std::uint16_t command, std::span<const std::uint8_t> payload) {
  const auto head =
      protocol::RequestHeader::for_command(command, static_cast<std::uint32_t>(payload.size()))
          .to_bytes();
  Bytes out(head.size() + payload.size());
  std::memcpy(out.data(), head.data(), head.size());
  if (!payload.empty()) std::memcpy(out.data() + head.size(), payload.data(), payload.size());
  return out;
}

Bytes be32(std::uint32_t v) {
  Bytes b(4);
  base::store_be32(b.data(), v);
  return b;
}

Bytes read_register_frame(std::uint32_t base, std::uint32_t offset) {
  Bytes p(8);
  base::store_be32(p.data(), base);
  base::store_be32(p.data() + 4, offset);
  return request(READ_REGISTER, p);
}

Bytes wave_frame(std::uint8_t channel, std::uint32_t samples) {
  Bytes p(9);
  p[0] = channel;
  base::store_be32(p.data() + 1, 0);
  base::store_be32(p.data() + 5, samples);
  return request(OSC_GET_CHANNEL_WAVE, p);
}

Bytes spi_frame(std::uint16_t bytes, bool trigger) {
  Bytes p(8 + bytes);
  p[0] = 0;  // no delay
  base::store_be32(p.data() + 1, 0);
  base::store_be16(p.data() + 5, bytes);  // read back as many as were sent
  p[7] = trigger ? 1 : 0;
  for (std::size_t i = 0; i < bytes; ++i) p[8 + i] = static_cast<std::uint8_t>(0xA5 ^ i);
  return request(SPI_TRANSCEIVE, p);
}

long status_kib(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
  return -1;
}

long rss_kib(pid_t pid) { return status_kib(pid, "VmRSS:"); }
long peak_rss_kib(pid_t pid) { return status_kib(pid, "VmHWM:"); }

bool parse_u32(std::string_view text, std::uint32_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string fixed(double v, int decimals) {
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string ratio(double a, double b) { return b > 0 ? fixed(a / b, 2) + "x" : "-"; }

}  // namespace bench
