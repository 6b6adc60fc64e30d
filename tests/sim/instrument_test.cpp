// The simulated instrument as a platform: its memory map, plain RAM, the GPIO chip
// model and the fault knobs.
#include "sim/instrument.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "support/loopback.h"

namespace {

using driver::core::MapError;
using sim::rd;
using sim::wr;

constexpr std::uint64_t BLOCK_BASE = 0x60000000;  // no model of the logic sits here

std::shared_ptr<sim::Instrument> with_block(sim::Block** out) {
  auto instrument = sim::Instrument::create();
  auto block = std::make_shared<sim::Block>("test", BLOCK_BASE, 0x10000);
  *out = block.get();
  instrument->add_block(std::move(block));
  return instrument;
}

TEST(SimMemory, PlainRamReadsBackAnywhereAndStartsAtZero) {
  auto instrument = sim::Instrument::create();
  auto w = instrument->map(0x50000000, 0x10000).value();
  EXPECT_EQ(w->load32(0x100), 0u);
  w->store32(0x100, 0xCAFEF00D);
  EXPECT_EQ(w->load32(0x100), 0xCAFEF00Du);
  EXPECT_EQ(instrument->ram_read(0x50000100), 0xCAFEF00Du);

  // Another window onto the same memory sees it; so does one at the top of 32 bits.
  auto overlap = instrument->map(0x50000000, 0x1000).value();
  EXPECT_EQ(overlap->load32(0x100), 0xCAFEF00Du);
  auto top = instrument->map(0xFFFF0000, 0x10000).value();
  top->store32(0xFFFC, 7);
  EXPECT_EQ(instrument->ram_read(0xFFFFFFFC), 7u);

  std::uint8_t bytes[6];
  w->copy_out(0xFF, bytes, sizeof bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6), (std::vector<std::uint8_t>{0, 0x0D, 0xF0, 0xFE, 0xCA, 0}));
}

TEST(SimMemory, RefusesMappingsLikeMmap) {
  auto instrument = sim::Instrument::create();
  auto misaligned = instrument->map(0x43C10004, 0x10000);
  ASSERT_FALSE(misaligned);
  EXPECT_EQ(misaligned.error().stage, MapError::Stage::Map);
  EXPECT_EQ(misaligned.error().err, EINVAL);
  EXPECT_EQ(instrument->map(0x50000000, 0).error().err, EINVAL);

  instrument->refuse_map(0x50000000, EPERM);
  EXPECT_EQ(instrument->map(0x50000000, 0x1000).error().err, EPERM);
  EXPECT_TRUE(instrument->map(0x50001000, 0x1000)) << "only that base is refused";
  instrument->refuse_map(0x50000000, 0);
  EXPECT_TRUE(instrument->map(0x50000000, 0x1000));
}

TEST(SimMemory, AccessesGoToTheBlockAtItsOwnOffsetsAndAreLoggedInOrder) {
  sim::Block* block;
  auto instrument = with_block(&block);
  auto w = instrument->map(BLOCK_BASE, 0x10000).value();
  w->store32(8, 1);
  EXPECT_TRUE(block->accesses().empty()) << "recording is off until asked for";

  instrument->set_recording(true);
  w->store32(8, 2);
  EXPECT_EQ(w->load32(8), 2u);
  EXPECT_EQ(w->load32(12), 0u);
  auto inner = instrument->map(BLOCK_BASE + 0x1000, 0x1000).value();
  inner->store32(4, 3);
  EXPECT_EQ(block->accesses(), (std::vector<sim::Access>{wr(8, 2), rd(8, 2), rd(12, 0), wr(0x1004, 3)}));
  EXPECT_EQ(block->writes(), (std::vector<sim::Access>{wr(8, 2), wr(0x1004, 3)}));
  EXPECT_EQ(instrument->ram_read(BLOCK_BASE + 8), 0u) << "block registers are not RAM";

  block->clear_accesses();
  EXPECT_TRUE(block->accesses().empty());
  auto late = std::make_shared<sim::Block>("late", 0x61000000, 0x1000);
  instrument->add_block(late);
  instrument->map(0x61000000, 0x1000).value()->store32(0, 4);
  EXPECT_EQ(late->accesses(), std::vector<sim::Access>{wr(0, 4)}) << "blocks added later record too";
  EXPECT_EQ(instrument->block_at(BLOCK_BASE), block);
  EXPECT_EQ(instrument->block_at(BLOCK_BASE + 4), nullptr);
  EXPECT_THROW(instrument->add_block(std::make_shared<sim::Block>("clash", BLOCK_BASE + 0x8000, 0x1000)),
               std::invalid_argument);
}

// A sample memory stand-in: bulk reads must reach copy_out, at block offsets.
struct Memory : sim::Block {
  Memory() : Block("memory", BLOCK_BASE, 0x10000) {}
  void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len) override {
    calls.emplace_back(offset, len);
    std::memset(dst, 0xAB, len);
  }
  std::vector<std::pair<std::size_t, std::size_t>> calls;
};

TEST(SimMemory, AWindowAcrossABlockEdgeRoutesEveryAccessByAddress) {
  auto instrument = sim::Instrument::create();
  auto memory = std::make_shared<Memory>();
  instrument->add_block(memory);
  auto w = instrument->map(BLOCK_BASE - 0x1000, 0x2000).value();
  w->store32(0xFFC, 0x04030201);  // RAM, just below the block
  w->store32(0x1000, 9);          // the block's first register
  EXPECT_EQ(instrument->ram_read(BLOCK_BASE - 4), 0x04030201u);
  EXPECT_EQ(w->load32(0x1000), 9u);

  std::uint8_t bytes[8];
  w->copy_out(0xFFE, bytes, sizeof bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 8),
            (std::vector<std::uint8_t>{0x03, 0x04, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
  EXPECT_EQ(memory->calls, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 6}}));
}

TEST(SimMemory, DefaultBulkReadAssemblesRegistersLittleEndian) {
  sim::Block* block;
  auto instrument = with_block(&block);
  auto w = instrument->map(BLOCK_BASE, 0x1000).value();
  w->store32(0, 0x44332211);
  w->store32(4, 0x88776655);
  std::uint8_t bytes[6];
  w->copy_out(1, bytes, sizeof bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6), (std::vector<std::uint8_t>{0x22, 0x33, 0x44, 0x55, 0x66, 0x77}));
}

TEST(SimMemory, WindowsKeepTheInstrumentAlive) {
  sim::Block* block;
  auto instrument = with_block(&block);
  auto w = instrument->map(BLOCK_BASE, 0x1000).value();
  std::weak_ptr<sim::Instrument> weak = instrument;
  instrument.reset();
  ASSERT_FALSE(weak.expired());
  w->store32(0, 5);
  EXPECT_EQ(w->load32(0), 5u);
  w.reset();
  EXPECT_TRUE(weak.expired());
}

// Connections share windows without a lock; the block and RAM locks keep every
// access whole, and the log keeps all of them.
TEST(SimMemory, ConcurrentAccessesThroughSharedWindowsAreAllKept) {
  sim::Block* block;
  auto instrument = with_block(&block);
  instrument->set_recording(true);
  auto w = instrument->map(BLOCK_BASE - 0x1000, 0x2000).value();
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t)
    threads.emplace_back([&w, t] {
      for (std::uint32_t i = 0; i < 500; ++i) {
        w->store32(0x1000 + 4 * t, i);
        w->store32(4 * t, i);  // RAM below the block, a word per thread
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(block->writes().size(), 2000u);
  for (std::uint32_t t = 0; t < 4; ++t) {
    EXPECT_EQ(w->load32(0x1000 + 4 * t), 499u);
    EXPECT_EQ(instrument->ram_read(BLOCK_BASE - 0x1000 + 4 * t), 499u);
  }
}

struct Recorder : sim::LineListener {
  void on_line(std::uint32_t line, std::uint8_t value) override { seen.emplace_back(line, value); }
  std::vector<std::pair<std::uint32_t, std::uint8_t>> seen;
};

TEST(SimGpio, HandlesAreRealDescriptorsThatReserveTheirLine) {
  const int fds = support::count_open_fds();
  auto instrument = sim::Instrument::create();
  auto recorder = std::make_shared<Recorder>();
  instrument->add_line_listener(recorder);
  {
    auto chip = instrument->open_gpio_chip().value();
    const int handle = chip->request_output(12).value();
    EXPECT_EQ(support::count_open_fds(), fds + 2);
    EXPECT_EQ(::fcntl(handle, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(chip->request_output(12).error(), EBUSY);

    ASSERT_TRUE(chip->set_value(handle, 5));  // any non-zero value drives high
    EXPECT_EQ(instrument->line_level(12), 1);
    EXPECT_EQ(chip->set_value(handle + 1000, 1).error(), EBADF);
    EXPECT_EQ(instrument->gpio_writes(), 1u);

    EXPECT_EQ(chip->close_handle(handle), 0);
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1) << "the descriptor is closed";
    EXPECT_FALSE(instrument->line_held(12));
    EXPECT_EQ(chip->set_value(handle, 0).error(), EBADF);
    EXPECT_EQ(chip->close_handle(handle), EBADF);

    const int again = chip->request_output(12).value();
    EXPECT_EQ(instrument->line_level(12), 0);
    EXPECT_EQ(chip->close(), 0);
    EXPECT_EQ(chip->request_output(13).error(), EBADF) << "a closed chip grants nothing";
    EXPECT_EQ(chip->close(), EBADF);
    EXPECT_EQ(chip->close_handle(again), 0) << "line handles outlive the chip descriptor";
  }
  using Seen = std::vector<std::pair<std::uint32_t, std::uint8_t>>;
  EXPECT_EQ(recorder->seen, (Seen{{12, 0}, {12, 1}, {12, 0}}));
  EXPECT_EQ(support::count_open_fds(), fds);
}

TEST(SimGpio, KnobsHoldLinesAndRefuseTheChip) {
  auto instrument = sim::Instrument::create();
  auto chip = instrument->open_gpio_chip().value();
  instrument->hold_line(13);
  EXPECT_TRUE(instrument->line_held(13));
  EXPECT_EQ(chip->request_output(13).error(), EBUSY);
  instrument->release_line(13);
  const int handle = chip->request_output(13).value();
  EXPECT_EQ(chip->close_handle(handle), 0);

  instrument->refuse_gpio_chip(ENOENT);
  EXPECT_EQ(instrument->open_gpio_chip().error(), ENOENT);
  instrument->refuse_gpio_chip(0);
  EXPECT_TRUE(instrument->open_gpio_chip());
}

}  // namespace
