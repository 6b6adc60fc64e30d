#include "sim/aes_target.h"

#include <algorithm>
#include <bit>

namespace sim {

namespace {

// Turns each intermediate byte into the next draw of the schedule.
class DrawRecorder : public aes::Observer {
 public:
  explicit DrawRecorder(std::vector<Draw>& draws) : draws_(draws) {}
  void on_byte(aes::Step, unsigned, unsigned, std::uint8_t value) override {
    draws_.push_back({AesTarget::START_CYCLES + AesTarget::INTERVAL_CYCLES * n_++, AesTarget::DRAW_CYCLES,
                      static_cast<std::uint8_t>(std::popcount(value))});
  }

 private:
  std::vector<Draw>& draws_;
  std::uint32_t n_ = 0;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

AesTarget::AesTarget(const aes::Key& key) : key_(key), round_keys_(aes::expand_key(key)) {}

std::vector<std::uint8_t> AesTarget::transfer(std::span<const std::uint8_t> received, std::size_t rx_len,
                                              std::vector<Draw>& draws) {
  if (received.size() != BLOCK || rx_len != BLOCK) return std::vector<std::uint8_t>(rx_len, 0xFF);
  aes::Block plaintext;
  std::copy(received.begin(), received.end(), plaintext.begin());
  draws.reserve(draws.size() + DRAWS);
  DrawRecorder recorder(draws);
  const aes::Block ciphertext = aes::encrypt(round_keys_, plaintext, &recorder);
  return {ciphertext.begin(), ciphertext.end()};
}

std::optional<aes::Key> parse_aes_key(std::string_view hex) {
  if (hex.size() != 2 * sizeof(aes::Key)) return std::nullopt;
  aes::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int hi = hex_digit(hex[2 * i]);
    const int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    key[i] = static_cast<std::uint8_t>(16 * hi + lo);
  }
  return key;
}

}  // namespace sim
