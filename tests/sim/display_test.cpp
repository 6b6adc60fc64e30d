// The simulated display decoding the bus line by line, the way the driver and any
// other bus master would drive it, and its screen image on disk.
#include "sim/display.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "support/loopback.h"
#include "support/sim_fixture.h"

namespace {

using sim::Display;
using sim::Transfer;
using Kind = sim::Transfer::Kind;
using Bytes = std::vector<std::uint8_t>;

// Drives SCL (12) and SDA (13) of a display directly.
class Bus {
 public:
  explicit Bus(Display& d) : d_(d) {}
  void scl(int v) { d_.on_line(12, static_cast<std::uint8_t>(v)); }
  void sda(int v) { d_.on_line(13, static_cast<std::uint8_t>(v)); }
  void start() { sda(1), scl(1), sda(0), scl(0); }
  void stop() { sda(0), scl(1), sda(1); }
  void bits(std::uint8_t byte, int count = 8) {
    for (int bit = 7; bit > 7 - count; --bit) sda((byte >> bit) & 1), scl(1), scl(0);
  }
  void ack() { sda(1), scl(1), scl(0); }
  void byte(std::uint8_t b) { bits(b), ack(); }
  void transaction(std::uint8_t address, const Bytes& bytes) {
    start();
    byte(address);
    for (auto b : bytes) byte(b);
    stop();
  }
  void command(std::uint8_t c) { transaction(0x78, {0x00, c}); }
  void data(Bytes bytes) {
    bytes.insert(bytes.begin(), 0x40);
    transaction(0x78, bytes);
  }

 private:
  Display& d_;
};

TEST(DisplayDecoder, DecodesTransactionsAndIgnoresOtherAddresses) {
  Display d;
  d.set_recording(true);
  Bus bus(d);

  // Lines start low; a stray stop while idle and a level written twice are no edges.
  bus.sda(1);
  bus.sda(1);
  bus.scl(1);
  EXPECT_EQ(d.transactions(), 0u);

  bus.command(0xAF);
  EXPECT_TRUE(d.display_on());
  EXPECT_EQ(d.transactions(), 1u);
  EXPECT_EQ(d.transfers(), (std::vector<Transfer>{{Kind::Command, {0xAF}}}));

  // Another device's address: not acknowledged, nothing applied or counted.
  bus.transaction(0x7A, {0x00, 0xAE});
  EXPECT_TRUE(d.display_on());
  EXPECT_EQ(d.transactions(), 1u);

  EXPECT_EQ(d.bus_errors(), 0u);
  // A stop in the middle of a byte drops the byte and counts as a bus error.
  bus.start();
  bus.byte(0x78);
  bus.byte(0x00);
  bus.bits(0xAE, 5);
  bus.stop();
  EXPECT_TRUE(d.display_on());
  EXPECT_EQ(d.bus_errors(), 1u);
  EXPECT_EQ(d.transactions(), 2u);
  // A repeated start ends one transaction and begins the next.
  bus.start();
  bus.byte(0x78);
  bus.byte(0x00);
  bus.byte(0xAE);
  bus.start();
  bus.byte(0x78);
  bus.byte(0x80);
  bus.byte(0xAF);
  bus.stop();
  EXPECT_TRUE(d.display_on());
  EXPECT_EQ(d.transactions(), 4u);
  EXPECT_EQ(d.bus_errors(), 1u);

  // Several commands after one control byte, and Co-flagged single bytes mixing
  // commands and data in one transaction.
  d.clear_transfers();
  bus.transaction(0x78, {0x00, 0xB3, 0x05, 0x12});
  bus.transaction(0x78, {0x80, 0xA7, 0xC0, 0x5A, 0x40, 0x01, 0x02});
  EXPECT_EQ(d.transfers(), (std::vector<Transfer>{{Kind::Command, {0xB3, 0x05, 0x12}},
                                                  {Kind::Command, {0xA7}},
                                                  {Kind::Data, {0x5A}},
                                                  {Kind::Data, {0x01, 0x02}}}));
  EXPECT_TRUE(d.state().inverted);
  const auto ram = d.screen().ram;
  EXPECT_EQ(ram[3 * 128 + 0x25], 0x5A);
  EXPECT_EQ(ram[3 * 128 + 0x26], 0x01);
  EXPECT_EQ(ram[3 * 128 + 0x27], 0x02);
}

TEST(DisplayDecoder, ParametersMayComeInLaterTransactions) {
  Display d;
  d.set_recording(true);
  Bus bus(d);
  // 0xAE here is the contrast value, not "display off".
  bus.command(0xAF);
  bus.command(0x81);
  bus.command(0xAE);
  EXPECT_TRUE(d.display_on());
  EXPECT_EQ(d.state().contrast, 0xAE);

  const Bytes pairs = {0xA8, 0x1F, 0xD3, 0x08, 0xD5, 0xF0, 0xD9, 0x22, 0xDA, 0x02,
                       0xDB, 0x30, 0x8D, 0x14, 0x20, 0x00};
  for (auto b : pairs) bus.command(b);
  const auto st = d.state();
  EXPECT_EQ(st.multiplex, 0x1F);
  EXPECT_EQ(st.offset, 0x08);
  EXPECT_EQ(st.clock, 0xF0);
  EXPECT_EQ(st.precharge, 0x22);
  EXPECT_EQ(st.com_pins, 0x02);
  EXPECT_EQ(st.vcomh, 0x30);
  EXPECT_TRUE(st.charge_pump);
  EXPECT_EQ(st.addressing, 0);
  EXPECT_TRUE(st.display_on);
  EXPECT_EQ(d.commands().size(), 3 + pairs.size());
}

TEST(DisplayDecoder, DataAdvancesTheColumnByAddressingMode) {
  Display d;
  Bus bus(d);

  // Page addressing: the column auto-increments inside the page.
  bus.command(0xB0);
  bus.command(0x00);
  bus.command(0x10);
  bus.data({0x01, 0x80});
  auto ram = d.screen().ram;
  EXPECT_EQ(ram[0], 0x01);
  EXPECT_EQ(ram[1], 0x80);
  EXPECT_TRUE(d.pixel(0, 0));
  EXPECT_FALSE(d.pixel(0, 1));
  EXPECT_TRUE(d.pixel(1, 7));
  EXPECT_FALSE(d.pixel(1, 6));

  // Horizontal addressing inside a window of columns 10..11 and pages 2..3.
  bus.command(0x20);
  bus.command(0x00);
  for (auto b : Bytes{0x21, 10, 11, 0x22, 2, 3}) bus.command(b);
  bus.data({1, 2, 3, 4, 5});
  ram = d.screen().ram;
  EXPECT_EQ(ram[2 * 128 + 10], 5);  // wrapped back to the window's first cell
  EXPECT_EQ(ram[2 * 128 + 11], 2);
  EXPECT_EQ(ram[3 * 128 + 10], 3);
  EXPECT_EQ(ram[3 * 128 + 11], 4);
}

TEST(DisplayDecoder, PageModeWrapsToTheStartColumn) {
  Display d;
  Bus bus(d);
  bus.command(0xB6);
  bus.command(0x0E);
  bus.command(0x17);
  bus.data({0x11, 0x22, 0x33});
  const auto ram = d.screen().ram;
  EXPECT_EQ(ram[6 * 128 + 126], 0x33);
  EXPECT_EQ(ram[6 * 128 + 127], 0x22);
  EXPECT_EQ(ram[5 * 128 + 0], 0x00);
  EXPECT_EQ(ram[7 * 128 + 0], 0x00);
}

TEST(DisplayDecoder, GlassShowsRamOnlyWhenPoweredAndFollowsRemap) {
  Display d;
  Bus bus(d);
  bus.command(0xB0);
  bus.command(0x00);
  bus.command(0x10);
  bus.data({0x01});  // pixel (0, 0) in RAM
  EXPECT_EQ(d.visible().lit_count(), 0u) << "display still off";
  bus.command(0xAF);
  EXPECT_EQ(d.visible().lit_count(), 0u) << "no panel voltage without the charge pump";
  bus.command(0x8D);
  bus.command(0x14);
  // Without segment re-map and COM reversal the mounted panel shows it mirrored.
  EXPECT_TRUE(d.visible().pixel(127, 63));
  bus.command(0xA1);
  bus.command(0xC8);
  auto shown = d.visible();
  EXPECT_TRUE(shown.pixel(0, 0));
  EXPECT_EQ(shown.lit_count(), 1u);
  bus.command(0xA7);
  EXPECT_EQ(d.visible().lit_count(), 128u * 64u - 1u);
  bus.command(0xA5);
  EXPECT_EQ(d.visible().lit_count(), 128u * 64u);
  EXPECT_EQ(d.screen().lit_count(), 1u) << "RAM is unchanged by how it is shown";
}

TEST(DisplayDecoder, ScreenRegionsCompareWithoutText) {
  sim::Screen a;
  sim::Screen b;
  a.ram[1 * 128 + 5] = 0x81;  // pixels (5, 8) and (5, 15)
  EXPECT_EQ(a.lit_count(), 2u);
  auto bounds = a.lit_bounds();
  ASSERT_TRUE(bounds);
  EXPECT_EQ(bounds->x0, 5);
  EXPECT_EQ(bounds->y0, 8);
  EXPECT_EQ(bounds->x1, 6);
  EXPECT_EQ(bounds->y1, 16);
  EXPECT_FALSE(a.lit_bounds({0, 0, 5, 64}));
  EXPECT_TRUE(a.same(b, {0, 0, 5, 64}));
  EXPECT_FALSE(a.same(b, {5, 15, 6, 16}));
  EXPECT_TRUE(a.same(b, {-10, 16, 500, 500})) << "rectangles are clipped to the screen";
  EXPECT_EQ(a.picture({4, 7, 7, 9}), "...\n.#.\n");
}

class DisplayImage : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("valdrix-display-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    fds_before_ = support::count_open_fds();
  }
  void TearDown() override {
    EXPECT_EQ(support::count_open_fds(), fds_before_);
    std::filesystem::remove_all(dir_);
  }
  static Bytes read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir_;
  int fds_before_ = 0;
};

TEST_F(DisplayImage, WritesAPbmAfterEveryTransaction) {
  Display d;
  Bus bus(d);
  const auto path = dir_ / "screen.pbm";
  ASSERT_TRUE(d.set_output_path(path.string()));
  const std::string header = "P4\n128 64\n";
  auto image = read_file(path);
  ASSERT_EQ(image.size(), header.size() + 16 * 64);
  EXPECT_EQ(std::string(image.begin(), image.begin() + header.size()), header);

  for (auto c : Bytes{0x8D, 0x14, 0xA1, 0xC8, 0xAF, 0xB1, 0x02, 0x10}) bus.command(c);
  bus.data({0x01, 0xFF});  // (2, 8) and column 3 rows 8..15
  image = read_file(path);
  ASSERT_EQ(image.size(), header.size() + 16 * 64);
  const std::uint8_t* rows = image.data() + header.size();
  EXPECT_EQ(rows[8 * 16 + 0], 0x30);  // columns 2 and 3 of row 8, MSB leftmost
  for (int y = 9; y < 16; ++y) EXPECT_EQ(rows[y * 16 + 0], 0x10) << "row " << y;
  int lit = 0;
  for (int i = 0; i < 16 * 64; ++i) lit += __builtin_popcount(rows[i]);
  EXPECT_EQ(lit, 9);
  // Only the image is left in the directory: the temporary file was renamed over it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);

  ASSERT_TRUE(d.set_output_path(""));
  bus.command(0xAE);
  EXPECT_EQ(read_file(path), image) << "output turned off";
}

TEST_F(DisplayImage, AnUnwritablePathIsRefused) {
  Display d;
  auto r = d.set_output_path((dir_ / "missing" / "screen.pbm").string());
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message().find("No such file or directory"), std::string::npos)
      << r.error().describe();
  Bus(d).command(0xAF);  // no output path left behind to fail on
  EXPECT_TRUE(d.display_on());
}

TEST(DisplayOfInstrument, EveryBuiltInstrumentHasOneOnItsLines) {
  auto instrument = sim::Instrument::create();
  Display* d = sim::display_of(*instrument);
  ASSERT_NE(d, nullptr);
  auto other = sim::Instrument::create();
  ASSERT_NE(sim::display_of(*other), nullptr);
  EXPECT_NE(sim::display_of(*other), d);

  // Through the instrument's own GPIO chip, as the driver reaches it.
  auto chip = instrument->open_gpio_chip();
  ASSERT_TRUE(chip);
  const int scl = (*chip)->request_output(12).value();
  const int sda = (*chip)->request_output(13).value();
  auto set = [&](int h, int v) { ASSERT_TRUE((*chip)->set_value(h, static_cast<std::uint8_t>(v))); };
  auto byte = [&](std::uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) set(sda, (b >> bit) & 1), set(scl, 1), set(scl, 0);
    set(sda, 1), set(scl, 1), set(scl, 0);
  };
  set(sda, 1), set(scl, 1), set(sda, 0), set(scl, 0);
  byte(0x78), byte(0x00), byte(0xAF);
  set(sda, 0), set(scl, 1), set(sda, 1);
  EXPECT_TRUE(d->display_on());
  EXPECT_EQ(d->transactions(), 1u);
  EXPECT_FALSE(sim::display_of(*other)->display_on());
  EXPECT_EQ((*chip)->close_handle(scl), 0);
  EXPECT_EQ((*chip)->close_handle(sda), 0);
  EXPECT_EQ((*chip)->close(), 0);
}

}  // namespace
