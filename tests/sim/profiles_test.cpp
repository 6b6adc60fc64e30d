// The AES target's profiles, each by the property that defines it: noise widens
// channel B, jitter moves the start within its range, masking leaves no first-order
// difference (but a second-order one), shuffling varies the order of the S-box
// look-ups, and the leakage map marks where classroom's correlations peak.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <numeric>
#include <cstdio>
#include <set>
#include <sstream>

#include "sim/aes.h"
#include "sim/aes_target.h"
#include "sim/capture.h"
#include "sim/clock_gen.h"
#include "sim/config.h"
#include "sim/power_bus.h"
#include "sim/random.h"
#include "sim/spi_ctrl.h"
#include "support/process.h"
#include "support/target_power.h"

namespace {

using sim::AesProfile;
using sim::AesTarget;
using sim::aes::Block;

Block random_block(sim::RandomStream& rng) {
  Block b;
  for (auto& x : b) x = static_cast<std::uint8_t>(rng.next());
  return b;
}

std::vector<std::uint8_t> weights(AesTarget& target, const Block& pt) {
  std::vector<sim::Draw> draws;
  target.transfer(pt, 16, draws);
  std::vector<std::uint8_t> w;
  for (const auto& d : draws) w.push_back(d.weight);
  return w;
}

double correlation(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = static_cast<double>(x.size());
  const double mx = std::accumulate(x.begin(), x.end(), 0.0) / n;
  const double my = std::accumulate(y.begin(), y.end(), 0.0) / n;
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0.0;
}

// An instrument with the AES target, powered, its clock at 24 MHz against 48 MHz
// sampling and channel B at full gain; captures of `samples` samples.
class Rig {
 public:
  explicit Rig(const AesProfile& profile, std::size_t samples = 1024)
      : samples_(samples) {
    sim::Config config;
    config.spi_target = sim::Config::SpiDevice::Aes;
    config.aes_profile = profile;
    instrument_ = sim::Instrument::create(config);
    auto& clock = *instrument_->model_at<sim::ClockGen>(sim::ClockGen::NUT_GEN_BASE);
    clock.write(sim::ClockGen::D0_OFFSET, 20);  // 50 MHz x 48 / 5 / 20
    clock.write(sim::ClockGen::LOAD_OFFSET, 3);
    support::power_target(*instrument_);
    power().write(sim::PowerBus::SETPOINT_OFFSET, 255);
    power().write(sim::PowerBus::SETPOINT_OFFSET, 255 | sim::PowerBus::SETPOINT_SEL_GAIN_B);
    power().write(sim::SpiCtrl::ENABLE_OFFSET, 1);
    core().write(sim::CaptureCore::SAMPLE_LENGTH_OFFSET, static_cast<std::uint32_t>(samples));
  }

  // Channel B of a capture triggered by the encryption of `pt`, or forced.
  std::vector<std::int16_t> capture(const Block* pt) {
    core().write(sim::CaptureCore::SINGLE_OFFSET, 1);
    core().write(sim::CaptureCore::SINGLE_OFFSET, 0);
    if (pt) {
      power().write(sim::SpiCtrl::TX_LEN_OFFSET, 16);
      power().write(sim::SpiCtrl::RX_LEN_OFFSET, 16);
      for (auto b : *pt) power().write(sim::SpiCtrl::TX_OFFSET, b);
      power().write(sim::SpiCtrl::CTL_OFFSET, 3);  // start, trigger
    } else {
      core().write(sim::CaptureCore::FORCE_OFFSET, 1);
      core().write(sim::CaptureCore::FORCE_OFFSET, 0);
    }
    EXPECT_TRUE(support::wait_complete(core()));
    std::vector<std::int16_t> b(samples_);
    instrument_->model_at<sim::SampleMemory>(sim::SampleMemory::B_BASE)
        ->copy_out(0, reinterpret_cast<std::uint8_t*>(b.data()), 2 * samples_);
    return b;
  }

 private:
  sim::PowerBus& power() { return *instrument_->model_at<sim::PowerBus>(sim::PowerBus::BASE); }
  sim::CaptureCore& core() { return *instrument_->model_at<sim::CaptureCore>(sim::CaptureCore::BASE); }
  std::size_t samples_;
  std::shared_ptr<sim::Instrument> instrument_;
};

TEST(AesProfiles, NoiseGrowsTheSpreadOfChannelBByItsDeviation) {
  auto spread = [](const AesProfile& profile) {
    const auto b = Rig(profile, 8192).capture(nullptr);
    double mean = 0, sq = 0;
    for (auto v : b) mean += v;
    mean /= static_cast<double>(b.size());
    for (auto v : b) sq += (v - mean) * (v - mean);
    return std::pair{mean, std::sqrt(sq / static_cast<double>(b.size()))};
  };
  const auto [quiet_mean, quiet] = spread({});
  const auto [noisy_mean, noisy] = spread({.noise = 4000});
  EXPECT_NEAR(quiet, 512 / std::sqrt(12.0), 10);  // uniform in [-256, 256)
  EXPECT_NEAR(noisy, std::hypot(4000.0, quiet), 150);
  EXPECT_NEAR(quiet_mean, sim::CaptureCore::B_BASELINE, 10);
  EXPECT_NEAR(noisy_mean, sim::CaptureCore::B_BASELINE, 150);
}

TEST(AesProfiles, JitterMovesTheWholeCipherWithinItsRangeAsTheSeedSays) {
  const Block pt{};
  auto offsets = [&](std::uint64_t seed) {
    AesTarget target(AesTarget::DEFAULT_KEY, {.jitter = 50}, seed);
    std::vector<std::uint32_t> out;
    for (int n = 0; n < 2000; ++n) {
      std::vector<sim::Draw> draws;
      target.transfer(pt, 16, draws);
      const std::uint32_t shift = draws.front().at - AesTarget::START_CYCLES;
      for (std::size_t k = 0; k < draws.size(); ++k)
        EXPECT_EQ(draws[k].at, AesTarget::START_CYCLES + AesTarget::INTERVAL_CYCLES * k + shift);
      out.push_back(shift);
    }
    return out;
  };
  const auto shifts = offsets(1);
  EXPECT_EQ(std::set<std::uint32_t>(shifts.begin(), shifts.end()).size(), 51u);  // every one of 0..50
  EXPECT_EQ(*std::max_element(shifts.begin(), shifts.end()), 50u);
  EXPECT_EQ(offsets(1), shifts);
  EXPECT_NE(offsets(2), shifts);
}

// A fixed-versus-random t-test on every draw, and the second-order path that remains.
TEST(AesProfiles, MaskingLeavesNoFirstOrderDifferenceButTheMaskAndItsOutputPair) {
  const Block key = AesTarget::DEFAULT_KEY;
  auto max_t = [&](const AesProfile& profile) {
    AesTarget target(key, profile, 7);
    sim::RandomStream rng(99);
    const Block fixed = random_block(rng);
    constexpr int N = 3000;
    std::vector<double> sum[2], sq[2];
    for (int n = 0; n < 2 * N; ++n) {
      const int group = n % 2;
      const auto w = weights(target, group ? random_block(rng) : fixed);
      sum[group].resize(w.size());
      sq[group].resize(w.size());
      for (std::size_t k = 0; k < w.size(); ++k) {
        sum[group][k] += w[k];
        sq[group][k] += w[k] * w[k];
      }
    }
    double worst = 0;
    for (std::size_t k = 0; k < sum[0].size(); ++k) {
      double m[2], v[2];
      for (int g = 0; g < 2; ++g) {
        m[g] = sum[g][k] / N;
        v[g] = sq[g][k] / N - m[g] * m[g];
      }
      if (v[0] + v[1] > 0) worst = std::max(worst, std::abs(m[0] - m[1]) / std::sqrt((v[0] + v[1]) / N));
    }
    return worst;
  };
  EXPECT_GT(max_t({}), 50);  // unmasked, the fixed block stands out at once
  EXPECT_LT(max_t({.mask = true}), 5);

  // Mask i (slot i) and byte i's masked S-box output (slot 32 + i): the centred
  // product of their weights follows the S-box output's, 2 - HW / 2 on average.
  AesTarget target(key, {.mask = true}, 7);
  sim::RandomStream rng(5);
  std::vector<double> product[16], model[16];
  for (int n = 0; n < 4000; ++n) {
    const Block pt = random_block(rng);
    const auto w = weights(target, pt);
    for (unsigned i = 0; i < 16; ++i) {
      product[i].push_back((w[i] - 4.0) * (w[AesTarget::MASK_SLOTS + 16 + i] - 4.0));
      model[i].push_back(std::popcount(sim::aes::sbox()[pt[i] ^ key[i]]));
    }
  }
  for (unsigned i = 0; i < 16; ++i) EXPECT_LT(correlation(product[i], model[i]), -0.25) << i;
}

TEST(AesProfiles, ShufflingVariesTheOrderOfEachRoundsLookUpsOnly) {
  sim::RandomStream rng(3);
  const Block pt = random_block(rng);
  AesTarget classroom;
  const auto plain = weights(classroom, pt);
  AesTarget shuffled(AesTarget::DEFAULT_KEY, {.shuffle = true}, 11);
  std::set<std::vector<std::uint8_t>> orders;
  for (int n = 0; n < 200; ++n) {
    const auto w = weights(shuffled, pt);
    ASSERT_EQ(w.size(), plain.size());
    for (std::size_t first = 0; first < w.size(); first += 16) {
      std::vector<std::uint8_t> a(w.begin() + first, w.begin() + first + 16);
      std::vector<std::uint8_t> b(plain.begin() + first, plain.begin() + first + 16);
      // Groups: the initial AddRoundKey, then per round SubBytes, ShiftRows, ...
      const std::size_t group = first / 16;
      const bool moved = group >= 1 && group < 1 + 4 * 9 ? (group - 1) % 4 < 2 : group == 37 || group == 38;
      if (moved) {
        if (group == 1) orders.insert(a);
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
      }
      EXPECT_EQ(a, b) << "group " << group;
    }
  }
  EXPECT_GT(orders.size(), 150u);
}

// The map as valdrixd-sim prints it, against where each named intermediate of
// classroom correlates with channel B.
TEST(AesProfiles, LeakageMapMarksExactlyWhereClassroomCorrelates) {
  struct Entry {
    unsigned byte;
    std::string name;
    std::size_t sample, length;
  };
  auto map_of = [](const std::vector<std::string>& profile_args) {
    std::vector<std::string> args{"--spi-target", "aes", "--leakage-map"};
    args.insert(args.end(), profile_args.begin(), profile_args.end());
    support::Process p(support::bin_dir() + "/valdrixd-sim", args);
    EXPECT_EQ(p.wait(10000), 0);
    std::istringstream out(p.out());
    std::string line;
    std::getline(out, line);
    EXPECT_EQ(line, "[");
    std::vector<Entry> map;
    while (std::getline(out, line) && line != "]") {
      unsigned byte = 0;
      char name[32] = {};
      std::size_t sample = 0, length = 0;
      int end = 0;
      const int fields = std::sscanf(line.c_str(),
                                     "  {\"round\": 1, \"byte\": %u, \"intermediate\": \"%31[a-z_]\", "
                                     "\"sample\": %zu, \"length\": %zu}%n",
                                     &byte, name, &sample, &length, &end);
      const std::string_view rest = fields == 4 ? std::string_view(line).substr(static_cast<std::size_t>(end)) : "?";
      EXPECT_TRUE(rest.empty() || rest == ",") << line;
      map.push_back({byte, name, sample, length});
    }
    EXPECT_EQ(line, "]");
    EXPECT_FALSE(std::getline(out, line));
    return map;
  };

  const auto map = map_of({});
  const Block key = AesTarget::DEFAULT_KEY;
  Rig rig({});
  sim::RandomStream rng(17);
  struct Round1 : sim::aes::Observer {
    void on_byte(sim::aes::Step step, unsigned round, unsigned index, std::uint8_t value) override {
      using sim::aes::Step;
      if (round == 0) values["pt_xor_key"][index] = value;
      if (round != 1) return;
      if (step == Step::SubBytes) values["sbox_out"][index] = value;
      if (step == Step::MixColumns) values["mix_columns_out"][index] = value;
      if (step == Step::AddRoundKey) values["add_round_key_out"][index] = value;
    }
    std::map<std::string, std::array<std::uint8_t, 16>> values;
  };
  std::map<std::pair<std::string, unsigned>, std::vector<double>> model;
  std::vector<std::vector<double>> samples(1024);
  const auto round_keys = sim::aes::expand_key(key);
  for (int n = 0; n < 48; ++n) {
    const Block pt = random_block(rng);
    Round1 r1;
    sim::aes::encrypt(round_keys, pt, &r1);
    for (const auto& [name, bytes] : r1.values)
      for (unsigned i = 0; i < 16; ++i) model[{name, i}].push_back(std::popcount(bytes[i]));
    const auto b = rig.capture(&pt);
    for (std::size_t s = 0; s < b.size(); ++s) samples[s].push_back(b[s]);
  }
  ASSERT_EQ(model.size(), 4u * 16);
  for (const auto& [what, hw] : model) {
    std::set<std::size_t> marked, peaks;
    for (const auto& e : map)
      if (e.name == what.first && e.byte == what.second)
        for (std::size_t s = e.sample; s < e.sample + e.length; ++s) marked.insert(s);
    for (std::size_t s = 0; s < samples.size(); ++s)
      if (std::abs(correlation(hw, samples[s])) > 0.8) peaks.insert(s);
    EXPECT_FALSE(marked.empty()) << what.first << " " << what.second;
    EXPECT_EQ(peaks, marked) << what.first << " " << what.second;
  }

  // Masked, nothing is drawn bare: the masks and masked values only.
  const auto masked = map_of({"--aes-profile", "masked"});
  EXPECT_EQ(std::count_if(masked.begin(), masked.end(), [](const Entry& e) { return e.name == "mask"; }), 16);
  for (const auto& e : masked) EXPECT_TRUE(e.name == "mask" || e.name.starts_with("masked_")) << e.name;
}

}  // namespace
