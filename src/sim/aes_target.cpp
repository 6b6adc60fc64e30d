#include "sim/aes_target.h"

#include <algorithm>
#include <array>
#include <bit>

#include "sim/random.h"

namespace sim {

namespace {

constexpr AesProfileInfo PROFILES[] = {
    {"classroom", {}, "every knob off: the whole key from about 10 traces"},
    {"noisy", {.noise = 24000, .background = true}, "--aes-noise 24000 --aes-background"},
    {"desync", {.jitter = 50}, "--aes-jitter 50"},
    {"masked", {.noise = 4000, .mask = true}, "--aes-mask --aes-noise 4000"},
    {"shuffled", {.shuffle = true}, "--aes-shuffle"},
};

// Keeps the random streams of the device apart from the capture core's noise.
constexpr std::uint64_t STREAM_SALT = 0xAE5C0DE5EEDull;

// Every intermediate byte of one block, in computation order.
class Collector : public aes::Observer {
 public:
  struct Byte {
    aes::Step step;
    std::uint8_t round, index, value;
  };
  void on_byte(aes::Step step, unsigned round, unsigned index, std::uint8_t value) override {
    bytes[n++] = {step, static_cast<std::uint8_t>(round), static_cast<std::uint8_t>(index), value};
  }
  std::array<Byte, AesTarget::DRAWS> bytes{};
  std::size_t n = 0;
};

// The state byte that ShiftRows moves to position p: s'[r][c] = s[r][(c + r) mod 4].
constexpr unsigned shift_rows_source(unsigned p) {
  const unsigned r = p % 4, c = p / 4;
  return r + 4 * ((c + r) % 4);
}

// Random bytes, eight to a draw of the stream.
class ByteSource {
 public:
  explicit ByteSource(RandomStream& rng) : rng_(rng) {}
  std::uint8_t next() {
    if (left_ == 0) {
      bits_ = rng_.next();
      left_ = 8;
    }
    --left_;
    const auto b = static_cast<std::uint8_t>(bits_);
    bits_ >>= 8;
    return b;
  }

 private:
  RandomStream& rng_;
  std::uint64_t bits_ = 0;
  int left_ = 0;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::span<const AesProfileInfo> aes_profiles() { return PROFILES; }

std::optional<AesProfile> aes_profile_named(std::string_view name) {
  for (const auto& p : PROFILES)
    if (p.name == name) return p.profile;
  return std::nullopt;
}

AesTarget::AesTarget(const aes::Key& key, const AesProfile& profile, std::uint64_t seed)
    : key_(key), round_keys_(aes::expand_key(key)), profile_(profile), seed_(seed) {}

std::vector<std::uint8_t> AesTarget::transfer(std::span<const std::uint8_t> received, std::size_t rx_len,
                                              std::vector<Draw>& draws) {
  if (received.size() != BLOCK || rx_len != BLOCK) return std::vector<std::uint8_t>(rx_len, 0xFF);
  aes::Block plaintext;
  std::copy(received.begin(), received.end(), plaintext.begin());
  Collector collector;
  const aes::Block ciphertext = aes::encrypt(round_keys_, plaintext, &collector);

  // The stream's draws are taken in a fixed order (start, masks, orders, background),
  // so a block's randomness depends only on the seed and the block's number.
  RandomStream rng(mix64(seed_ ^ STREAM_SALT) ^ mix64(blocks_++));
  ByteSource random_byte(rng);
  const std::uint32_t start = START_CYCLES + (profile_.jitter ? rng.up_to(profile_.jitter) : 0);

  std::array<std::uint8_t, DRAWS> value{};
  for (std::size_t n = 0; n < DRAWS; ++n) value[n] = collector.bytes[n].value;

  std::size_t slot = 0;
  auto draw = [&](std::uint8_t v) {
    draws.push_back({static_cast<std::uint32_t>(start + INTERVAL_CYCLES * slot++), DRAW_CYCLES,
                     static_cast<std::uint8_t>(std::popcount(v))});
  };
  draws.reserve(draws.size() + DRAWS + MASK_SLOTS +
                (profile_.background ? (start + INTERVAL_CYCLES * (DRAWS + MASK_SLOTS)) / DRAW_CYCLES : 0));

  if (profile_.mask) {
    // Each round's S-box outputs carry masks of their own, which ShiftRows moves
    // along with them; every other intermediate carries a fresh one. Round 1's are
    // loaded first, each in its own slot.
    std::array<std::array<std::uint8_t, 16>, aes::ROUNDS + 1> sbox_masks{};
    for (auto& round : sbox_masks)
      for (auto& m : round) m = random_byte.next();
    for (std::uint8_t m : sbox_masks[1]) draw(m);
    for (std::size_t n = 0; n < DRAWS; ++n) {
      const auto& b = collector.bytes[n];
      std::uint8_t mask;
      if (b.step == aes::Step::SubBytes)
        mask = sbox_masks[b.round][b.index];
      else if (b.step == aes::Step::ShiftRows)
        mask = sbox_masks[b.round][shift_rows_source(b.index)];
      else
        mask = random_byte.next();
      value[n] ^= mask;
    }
  }

  if (profile_.shuffle) {
    // SubBytes and ShiftRows, 16 bytes each, visit their bytes in random orders.
    for (std::size_t n = 0; n < DRAWS; n += 16) {
      const aes::Step step = collector.bytes[n].step;
      if (step != aes::Step::SubBytes && step != aes::Step::ShiftRows) continue;
      for (std::uint32_t i = 15; i > 0; --i) std::swap(value[n + i], value[n + rng.up_to(i)]);
    }
  }

  for (std::uint8_t v : value) draw(v);

  if (profile_.background) {
    const std::uint32_t end = start + INTERVAL_CYCLES * static_cast<std::uint32_t>(slot);
    for (std::uint32_t at = 0; at < end; at += DRAW_CYCLES)
      draws.push_back({at, DRAW_CYCLES, static_cast<std::uint8_t>(std::popcount(random_byte.next()))});
  }
  return {ciphertext.begin(), ciphertext.end()};
}

std::vector<LeakageEntry> AesTarget::leakage_map(const AesProfile& profile) {
  const std::size_t first = profile.mask ? MASK_SLOTS : 0;
  auto cycle = [&](std::size_t slot) { return static_cast<std::uint32_t>(START_CYCLES + INTERVAL_CYCLES * slot); };
  auto name = [&](std::string_view plain, std::string_view masked) { return profile.mask ? masked : plain; };
  std::vector<LeakageEntry> map;
  auto add = [&](unsigned byte, std::string_view intermediate, std::size_t slot) {
    map.push_back({byte, intermediate, cycle(slot), DRAW_CYCLES});
  };
  // A shuffled step's byte may be drawn in any of its 16 slots.
  auto add_step = [&](unsigned byte, unsigned position, std::string_view intermediate, std::size_t step_slot) {
    if (profile.shuffle)
      map.push_back({byte, intermediate, cycle(step_slot), INTERVAL_CYCLES * 15 + DRAW_CYCLES});
    else
      add(byte, intermediate, step_slot + position);
  };
  for (unsigned i = 0; i < 16; ++i) {
    if (profile.mask) add(i, "mask", i);
    add(i, name("pt_xor_key", "masked_pt_xor_key"), first + i);
    add_step(i, i, name("sbox_out", "masked_sbox_out"), first + 16);
    // ShiftRows draws byte i's S-box output again where it moves it.
    for (unsigned p = 0; p < 16; ++p)
      if (shift_rows_source(p) == i) add_step(i, p, name("sbox_out", "masked_sbox_out"), first + 32);
    add(i, name("mix_columns_out", "masked_mix_columns_out"), first + 48 + i);
    add(i, name("add_round_key_out", "masked_add_round_key_out"), first + 64 + i);
  }
  std::stable_sort(map.begin(), map.end(), [](const LeakageEntry& a, const LeakageEntry& b) {
    return a.cycle != b.cycle ? a.cycle < b.cycle : a.byte < b.byte;
  });
  return map;
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
