#include "sim/aes.h"

#include <bit>

namespace sim::aes {

namespace {

// Multiplication by x in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t xtime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  for (; b != 0; b >>= 1, a = xtime(a))
    if (b & 1) product ^= a;
  return product;
}

// a^254 is the inverse of a for a != 0 (the group of units has order 255) and maps
// 0 to 0, as the S-box wants.
constexpr std::uint8_t gf_inverse(std::uint8_t a) {
  std::uint8_t result = 1;
  std::uint8_t power = a;
  for (unsigned e = 254; e != 0; e >>= 1, power = gf_mul(power, power))
    if (e & 1) result = gf_mul(result, power);
  return result;
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    const auto b = gf_inverse(static_cast<std::uint8_t>(i));
    table[i] = static_cast<std::uint8_t>(b ^ std::rotl(b, 1) ^ std::rotl(b, 2) ^ std::rotl(b, 3) ^
                                         std::rotl(b, 4) ^ 0x63);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> SBOX = make_sbox();

void report(Observer* observer, Step step, unsigned round, const Block& state) {
  if (!observer) return;
  for (unsigned i = 0; i < 16; ++i) observer->on_byte(step, round, i, state[i]);
}

// Each step reports the whole state once it is done; since every output byte
// depends only on inputs of the step, reporting afterwards in index order is the
// same sequence a byte-serial implementation produces.
void add_round_key(Block& state, const Block& round_key, unsigned round, Observer* observer) {
  for (unsigned i = 0; i < 16; ++i) state[i] ^= round_key[i];
  report(observer, Step::AddRoundKey, round, state);
}

void sub_bytes(Block& state, unsigned round, Observer* observer) {
  for (auto& b : state) b = SBOX[b];
  report(observer, Step::SubBytes, round, state);
}

// Row r rotates left by r columns: s'[r][c] = s[r][(c + r) mod 4].
void shift_rows(Block& state, unsigned round, Observer* observer) {
  const Block in = state;
  for (unsigned c = 0; c < 4; ++c)
    for (unsigned r = 0; r < 4; ++r) state[r + 4 * c] = in[r + 4 * ((c + r) % 4)];
  report(observer, Step::ShiftRows, round, state);
}

void mix_columns(Block& state, unsigned round, Observer* observer) {
  for (unsigned c = 0; c < 4; ++c) {
    std::uint8_t* col = &state[4 * c];
    const std::uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = static_cast<std::uint8_t>(xtime(a0) ^ gf_mul(a1, 3) ^ a2 ^ a3);
    col[1] = static_cast<std::uint8_t>(a0 ^ xtime(a1) ^ gf_mul(a2, 3) ^ a3);
    col[2] = static_cast<std::uint8_t>(a0 ^ a1 ^ xtime(a2) ^ gf_mul(a3, 3));
    col[3] = static_cast<std::uint8_t>(gf_mul(a0, 3) ^ a1 ^ a2 ^ xtime(a3));
  }
  report(observer, Step::MixColumns, round, state);
}

}  // namespace

const std::array<std::uint8_t, 256>& sbox() { return SBOX; }

RoundKeys expand_key(const Key& key) {
  // Words w[0..43], four bytes each, laid out as the round keys' columns.
  std::array<std::array<std::uint8_t, 4>, 4 * (ROUNDS + 1)> w{};
  for (unsigned i = 0; i < 4; ++i)
    for (unsigned j = 0; j < 4; ++j) w[i][j] = key[4 * i + j];
  std::uint8_t rcon = 0x01;
  for (unsigned i = 4; i < w.size(); ++i) {
    auto temp = w[i - 1];
    if (i % 4 == 0) {
      temp = {static_cast<std::uint8_t>(SBOX[temp[1]] ^ rcon), SBOX[temp[2]], SBOX[temp[3]], SBOX[temp[0]]};
      rcon = xtime(rcon);
    }
    for (unsigned j = 0; j < 4; ++j) w[i][j] = static_cast<std::uint8_t>(w[i - 4][j] ^ temp[j]);
  }
  RoundKeys round_keys{};
  for (unsigned r = 0; r <= ROUNDS; ++r)
    for (unsigned c = 0; c < 4; ++c)
      for (unsigned j = 0; j < 4; ++j) round_keys[r][4 * c + j] = w[4 * r + c][j];
  return round_keys;
}

Block encrypt(const RoundKeys& round_keys, const Block& plaintext, Observer* observer) {
  Block state = plaintext;
  add_round_key(state, round_keys[0], 0, observer);
  for (unsigned round = 1; round <= ROUNDS; ++round) {
    sub_bytes(state, round, observer);
    shift_rows(state, round, observer);
    if (round != ROUNDS) mix_columns(state, round, observer);
    add_round_key(state, round_keys[round], round, observer);
  }
  return state;
}

}  // namespace sim::aes
