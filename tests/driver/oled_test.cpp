// The status display driver against the simulated instrument: what reaches the
// screen (decoded from the bit-banged bus), what travels on the bus, GPIO costs,
// failures with their descriptors, clipping and concurrent updates.
#include "driver/module/oled.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "driver/core/hal.h"
#include "driver/module/font.h"
#include "sim/display.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"

namespace {

namespace oled = driver::module::oled;
namespace font = driver::module::font;
using sim::Screen;
using sim::Transfer;
using Kind = sim::Transfer::Kind;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t COMMAND_WRITES = 88;
constexpr std::uint64_t data_writes(std::uint64_t n) { return 61 + 27 * n; }

// True when the glyphs of `text` (size 16) are what the screen shows from (x, y).
::testing::AssertionResult shows_text(const Screen& s, int x, int y, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto glyph = font::FONT_16.glyph(static_cast<std::uint8_t>(text[i]));
    for (int col = 0; col < 8; ++col)
      for (int row = 0; row < 16; ++row) {
        const bool want = (glyph[(row / 8) * 8 + col] >> (row % 8)) & 1;
        const int px = x + static_cast<int>(i) * 8 + col;
        if (s.pixel(px, y + row) != want)
          return ::testing::AssertionFailure()
                 << "'" << text[i] << "' differs at (" << px << ", " << y + row << ")\n"
                 << s.picture({x, y, x + static_cast<int>(text.size()) * 8, y + 16});
      }
  }
  return ::testing::AssertionSuccess();
}

class OledTest : public support::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    display_ = sim::display_of(sim());
    ASSERT_NE(display_, nullptr);
    display_->set_recording(true);
    fds_before_ = support::count_open_fds();
  }
  void TearDown() override {
    EXPECT_EQ(support::count_open_fds(), fds_before_) << "descriptor leaked";
    EXPECT_FALSE(sim().line_held(oled::SCL_LINE));
    EXPECT_FALSE(sim().line_held(oled::SDA_LINE));
    if (!cuts_transactions_) {
      EXPECT_EQ(display_->bus_errors(), 0u);
    }
  }

  sim::Display& display() { return *display_; }
  // Every text line filled, so that a test can tell what a call left alone.
  Screen fill_screen() {
    for (std::uint8_t line = 0; line < 4; ++line)
      EXPECT_TRUE(oled::clear_line_and_display(line, "@@@@@@@@@@@@@@@@"));
    display().clear_transfers();
    return display().screen();
  }
  // The transfers of one page refresh: page and column commands, then the data.
  static std::vector<Transfer> page_refresh(std::uint8_t page, std::uint8_t start, Bytes data) {
    return {{Kind::Command, {static_cast<std::uint8_t>(0xB0 + page)}},
            {Kind::Command, {static_cast<std::uint8_t>(start & 0x0F)}},
            {Kind::Command, {static_cast<std::uint8_t>(0x10 | (start >> 4))}},
            {Kind::Data, std::move(data)}};
  }

  sim::Display* display_ = nullptr;
  int fds_before_ = 0;
  bool cuts_transactions_ = false;  // a failed write leaves a byte half sent
};

TEST_F(OledTest, BringsTheControllerUpWithTheInitSequenceEveryCall) {
  const std::uint64_t writes_before = sim().gpio_writes();
  ASSERT_TRUE(oled::clear_line_and_display(1, "V:3.3"));
  EXPECT_EQ(sim().gpio_writes() - writes_before, 17'588u);

  const Bytes init = {0xAE, 0x00, 0x10, 0x40, 0x81, 0xCF, 0xA1, 0xC8, 0xA6, 0xA8,
                      0x3F, 0xD3, 0x00, 0xD5, 0x80, 0xD9, 0xF1, 0xDA, 0x12, 0xDB,
                      0x40, 0x20, 0x02, 0x8D, 0x14, 0xA4, 0xA6, 0xAF};
  std::vector<Transfer> expected;
  for (auto b : init) expected.push_back({Kind::Command, {b}});  // one transaction each
  for (int pass = 0; pass < 2; ++pass)
    for (std::uint8_t page : {2, 3}) {
      auto refresh = page_refresh(page, 0, {});
      expected.insert(expected.end(), refresh.begin(), refresh.end());
    }
  const auto got = display().transfers();
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_EQ(display().transactions(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].kind, expected[i].kind) << "transfer " << i;
    if (expected[i].kind == Kind::Command) {
      EXPECT_EQ(got[i].bytes, expected[i].bytes) << "transfer " << i;
    }
  }
  // Blanking sends zeros; the second pass sends the drawn text.
  EXPECT_EQ(got[31].bytes, Bytes(128, 0));
  EXPECT_EQ(got[35].bytes, Bytes(128, 0));
  EXPECT_EQ(got[39].bytes.size(), 128u);
  EXPECT_NE(got[39].bytes, Bytes(128, 0));

  const auto st = display().state();
  EXPECT_TRUE(st.display_on);
  EXPECT_TRUE(st.charge_pump);
  EXPECT_EQ(st.contrast, 0xCF);
  EXPECT_EQ(st.addressing, 2);
  EXPECT_TRUE(st.segment_remap);
  EXPECT_TRUE(st.com_reversed);
  EXPECT_TRUE(shows_text(display().visible(), 0, 16, "V:3.3")) << "upright on the glass";

  // The next call starts from scratch again: init, then its own region.
  display().clear_transfers();
  ASSERT_TRUE(oled::clear_partial_line_and_display(3, 0, 42, "SR:A"));
  const auto commands = display().commands();
  ASSERT_GE(commands.size(), init.size());
  EXPECT_EQ(Bytes(commands.begin(), commands.begin() + init.size()), init);
}

TEST_F(OledTest, WholeLineUpdatesTouchOnlyTheirLine) {
  {
    SCOPED_TRACE("an empty text blanks line 1 and leaves 0, 2 and 3");
    const Screen before = fill_screen();
    ASSERT_TRUE(oled::clear_line_and_display(1, ""));
    const Screen after = display().screen();
    EXPECT_EQ(after.lit_count({0, 16, 128, 32}), 0u);
    EXPECT_TRUE(after.same(before, {0, 0, 128, 16}));
    EXPECT_TRUE(after.same(before, {0, 32, 128, 64}));
  }
  {
    SCOPED_TRACE("five characters light only columns 0..39 of rows 16..31");
    const Screen before = fill_screen();
    ASSERT_TRUE(oled::clear_line_and_display(1, "V:4.1"));
    const Screen after = display().screen();
    auto bounds = after.lit_bounds({0, 16, 128, 32});
    ASSERT_TRUE(bounds);
    EXPECT_LE(bounds->x1, 40);
    EXPECT_GT(after.lit_count({32, 16, 40, 32}), 0u) << "the fifth character is there";
    EXPECT_TRUE(shows_text(after, 0, 16, "V:4.1"));
    EXPECT_TRUE(after.same(before, {0, 0, 128, 16}));
    EXPECT_TRUE(after.same(before, {0, 32, 128, 64}));
  }
  {
    SCOPED_TRACE("skipped bytes leave no gap");
    ASSERT_TRUE(oled::clear_line_and_display(2, "AB"));
    const Screen plain = display().screen();
    ASSERT_TRUE(oled::clear_line_and_display(2, "A\t\xC3\xA9\x7F\n\x01" "B"));
    EXPECT_TRUE(display().screen().same(plain, Screen::WHOLE)) << display().screen().picture({0, 32, 40, 48});
    EXPECT_TRUE(shows_text(plain, 0, 32, "AB"));
  }
}

TEST_F(OledTest, PartialUpdatesLandAtTheirStartColumn) {
  {
    SCOPED_TRACE("trigger mode field: columns 42..83 of line 3");
    const Screen before = fill_screen();
    ASSERT_TRUE(oled::clear_partial_line_and_display(3, 42, 84, "MD:E"));
    const Screen after = display().screen();
    EXPECT_TRUE(shows_text(after, 42, 48, "MD:E"));
    EXPECT_EQ(after.lit_count({74, 48, 84, 64}), 0u) << "rest of the field blanked";
    EXPECT_TRUE(after.same(before, {0, 48, 42, 64}));
    EXPECT_TRUE(after.same(before, {84, 48, 128, 64}));
    EXPECT_TRUE(after.same(before, {0, 0, 128, 48}));
    // Each page: page and column commands (42 = 0x2A), then 42 columns of data.
    const auto got = display().transfers();
    ASSERT_EQ(got.size(), 28u + 16u);
    EXPECT_EQ(std::vector<Transfer>(got.begin() + 28, got.begin() + 32), page_refresh(6, 42, Bytes(42, 0)));
    EXPECT_EQ(std::vector<Transfer>(got.begin() + 32, got.begin() + 36), page_refresh(7, 42, Bytes(42, 0)));
    EXPECT_EQ(got[39].bytes.size(), 42u);
    EXPECT_EQ(got[43].bytes.size(), 42u);
  }
  {
    SCOPED_TRACE("channel 2 gain: 64 columns per page from column 64");
    const Screen before = fill_screen();
    const std::uint64_t writes_before = sim().gpio_writes();
    ASSERT_TRUE(oled::clear_partial_line_and_display(2, 64, 128, "GB:75"));
    EXPECT_EQ(sim().gpio_writes() - writes_before, 28 * COMMAND_WRITES + 4 * (3 * COMMAND_WRITES + data_writes(64)));
    const auto got = display().transfers();
    ASSERT_EQ(got.size(), 28u + 16u);
    for (std::size_t first : {28u, 32u, 36u, 40u}) {
      EXPECT_EQ(got[first + 1].bytes, Bytes{0x00});
      EXPECT_EQ(got[first + 2].bytes, Bytes{0x14});
      EXPECT_EQ(got[first + 3].bytes.size(), 64u);
    }
    EXPECT_EQ(got[28].bytes, Bytes{0xB4});
    EXPECT_EQ(got[32].bytes, Bytes{0xB5});
    const Screen after = display().screen();
    EXPECT_TRUE(shows_text(after, 64, 32, "GB:75"));
    EXPECT_EQ(after.lit_count({104, 32, 128, 48}), 0u);
    EXPECT_TRUE(after.same(before, {0, 32, 64, 48}));
    EXPECT_TRUE(after.same(before, {0, 0, 128, 32}));
    EXPECT_TRUE(after.same(before, {0, 48, 128, 64}));
  }
  {
    SCOPED_TRACE("text longer than its field is cut off at the field's end");
    const Screen before = fill_screen();
    ASSERT_TRUE(oled::clear_partial_line_and_display(3, 0, 42, "SR:ABCDEF"));
    const Screen after = display().screen();
    EXPECT_TRUE(shows_text(after, 0, 48, "SR:AB"));
    EXPECT_TRUE(after.same(before, {42, 48, 128, 64}));
  }
}

TEST_F(OledTest, ClipsWhatDoesNotFit) {
  {
    SCOPED_TRACE("a line below the screen: controller brought up, no pixels sent");
    const Screen before = fill_screen();
    for (std::uint8_t line : {4, 7, 255}) {
      display().clear_transfers();
      ASSERT_TRUE(oled::clear_line_and_display(line, "XYZ"));
      ASSERT_TRUE(oled::clear_partial_line_and_display(line, 0, 128, "XYZ"));
      EXPECT_EQ(display().transfers().size(), 2u * 28u);
    }
    EXPECT_TRUE(display().screen().same(before, Screen::WHOLE));
  }
  {
    SCOPED_TRACE("empty and inverted regions send nothing");
    const Screen before = fill_screen();
    for (auto [start, end] : {std::pair<int, int>{84, 42}, {50, 50}, {128, 255}, {200, 255}}) {
      display().clear_transfers();
      ASSERT_TRUE(oled::clear_partial_line_and_display(3, static_cast<std::uint8_t>(start),
                                                       static_cast<std::uint8_t>(end), "EG:U"));
      EXPECT_EQ(display().transfers().size(), 28u) << start << ".." << end;
    }
    EXPECT_TRUE(display().screen().same(before, Screen::WHOLE));
  }
  {
    SCOPED_TRACE("an end past 128 stops at the last column");
    const Screen before = fill_screen();
    ASSERT_TRUE(oled::clear_partial_line_and_display(1, 120, 255, "QRS"));
    const Screen after = display().screen();
    EXPECT_TRUE(shows_text(after, 120, 16, "Q"));
    EXPECT_TRUE(after.same(before, {0, 16, 120, 32}));
    EXPECT_EQ(display().transfers().back().bytes.size(), 8u);
  }
  {
    SCOPED_TRACE("more than 16 characters: the first 16 are shown");
    ASSERT_TRUE(oled::clear_line_and_display(0, std::string(40, 'W') + "0123"));
    EXPECT_TRUE(shows_text(display().screen(), 0, 0, std::string(16, 'W')));
  }
}

TEST_F(OledTest, ReleasesEverythingWhenALineIsHeldElsewhere) {
  const Screen before = fill_screen();
  for (std::uint32_t held : {oled::SDA_LINE, oled::SCL_LINE}) {
    sim().hold_line(held);
    const std::uint64_t writes_before = sim().gpio_writes();
    auto r = oled::clear_line_and_display(1, "V:2.0");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Initializing OLED");
    EXPECT_EQ(r.error().describe(), "Initializing OLED: Failed to set GPIO as output:Device or resource busy");
    EXPECT_EQ(sim().gpio_writes(), writes_before);
    EXPECT_EQ(support::count_open_fds(), fds_before_) << "line " << held;
    EXPECT_FALSE(sim().line_held(held == oled::SDA_LINE ? oled::SCL_LINE : oled::SDA_LINE));
    sim().release_line(held);
  }
  EXPECT_TRUE(display().screen().same(before, Screen::WHOLE));

  sim().refuse_gpio_chip(ENOENT);
  auto r = oled::clear_partial_line_and_display(3, 0, 42, "SR:N");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().describe(), "Initializing OLED: Failed to open GPIO chip:No such file or directory");
  sim().refuse_gpio_chip(0);

  ASSERT_TRUE(oled::clear_line_and_display(1, "V:2.0")) << "a later call succeeds";
  EXPECT_TRUE(shows_text(display().screen(), 0, 16, "V:2.0"));
}

// The simulated chip with a write that fails and closes that report an error.
struct Faults {
  std::uint64_t fail_write = 0;  // 1-based number of the failing write; 0: none
  std::uint64_t writes = 0;
  bool close_fails = false;
};

class FaultyChip final : public driver::core::GpioChip {
 public:
  FaultyChip(std::unique_ptr<driver::core::GpioChip> inner, Faults& f) : inner_(std::move(inner)), f_(f) {}
  std::expected<int, int> request_output(std::uint32_t line) override { return inner_->request_output(line); }
  std::expected<void, int> set_value(int handle, std::uint8_t value) override {
    if (++f_.writes == f_.fail_write) return std::unexpected(EIO);
    return inner_->set_value(handle, value);
  }
  int close_handle(int handle) override {
    const int err = inner_->close_handle(handle);  // the line is released all the same
    return f_.close_fails ? EBADF : err;
  }
  int close() override { return inner_->close(); }

 private:
  std::unique_ptr<driver::core::GpioChip> inner_;
  Faults& f_;
};

class FaultyPlatform final : public driver::core::Platform {
 public:
  explicit FaultyPlatform(std::shared_ptr<sim::Instrument> inner) : inner_(std::move(inner)) {}
  std::expected<std::unique_ptr<driver::core::MemoryWindow>, driver::core::MapError> map(
      std::uint64_t base, std::size_t size) override {
    return inner_->map(base, size);
  }
  std::expected<std::unique_ptr<driver::core::GpioChip>, int> open_gpio_chip() override {
    auto chip = inner_->open_gpio_chip();
    if (!chip) return std::unexpected(chip.error());
    return std::make_unique<FaultyChip>(std::move(*chip), faults);
  }
  Faults faults;

 private:
  std::shared_ptr<sim::Instrument> inner_;
};

TEST_F(OledTest, WriteFailuresNameTheirStepAndReleaseTheLines) {
  auto platform = std::make_shared<FaultyPlatform>(sim_);
  driver::core::install_platform(platform);
  cuts_transactions_ = true;
  const std::uint64_t init = 28 * COMMAND_WRITES;
  const std::uint64_t refresh = 2 * (3 * COMMAND_WRITES + data_writes(128));
  struct Case {
    std::uint64_t fail_write;
    const char* message;
  };
  for (const Case& c : {Case{1, "Initializing OLED"}, Case{init, "Initializing OLED"},
                        Case{init + 1, "Clearing OLED"}, Case{init + refresh, "Clearing OLED"},
                        Case{init + refresh + 1, "Refreshing OLED"},
                        Case{init + 2 * refresh, "Refreshing OLED"}}) {
    SCOPED_TRACE(c.fail_write);
    platform->faults = {.fail_write = c.fail_write};
    auto r = oled::clear_line_and_display(2, "GA:50");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
    ASSERT_NE(r.error().cause(), nullptr);
    EXPECT_TRUE(r.error().cause()->message().starts_with("Failed to write GPIO for pin_fd "));
    EXPECT_TRUE(r.error().cause()->message().ends_with(":Input/output error"));
    EXPECT_EQ(platform->faults.writes, c.fail_write) << "nothing is written after a failure";
    EXPECT_EQ(support::count_open_fds(), fds_before_);
    EXPECT_FALSE(sim().line_held(oled::SCL_LINE));
    EXPECT_FALSE(sim().line_held(oled::SDA_LINE));
  }
  // The bus was left mid-transaction; the next start begins afresh.
  platform->faults = {};
  auto r = oled::clear_partial_line_and_display(2, 0, 64, "GA:50");
  ASSERT_TRUE(r) << r.error().describe();
  EXPECT_TRUE(shows_text(display().screen(), 0, 32, "GA:50"));
}

TEST_F(OledTest, FailedClosesAreLoggedNotReturned) {
  auto platform = std::make_shared<FaultyPlatform>(sim_);
  driver::core::install_platform(platform);
  platform->faults.close_fails = true;
  const auto threshold = base::log::threshold();
  base::log::set_threshold(base::log::Level::Trace);
  base::log::Capture capture;
  ASSERT_TRUE(oled::clear_line_and_display(1, "V:3.3"));
  EXPECT_EQ(capture.messages("driver::module::oled"),
            (std::vector<std::string>{"Starting clear_line_and_display with line: 1, text: V:3.3",
                                      "Error closing SCL file descriptor: EBADF: Bad file descriptor",
                                      "Error closing SDA file descriptor: EBADF: Bad file descriptor"}));
  EXPECT_TRUE(capture.contains(base::log::Level::Error, "driver::module::oled",
                               "Error closing SDA file descriptor: EBADF: Bad file descriptor"));
  base::log::set_threshold(threshold);
}

TEST_F(OledTest, ConcurrentUpdatesBothSucceed) {
  constexpr int ROUNDS = 5;
  std::vector<std::string> failures[2];
  auto run = [&](int who) {
    for (int i = 0; i < ROUNDS; ++i) {
      auto r = who == 0 ? oled::clear_line_and_display(1, "V:1.8")
                        : oled::clear_partial_line_and_display(2, 64, 128, "GB:100");
      if (!r) failures[who].push_back(r.error().describe());
    }
  };
  std::thread a(run, 0);
  std::thread b(run, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures[0], std::vector<std::string>{});
  EXPECT_EQ(failures[1], std::vector<std::string>{});
  const Screen s = display().screen();
  EXPECT_TRUE(shows_text(s, 0, 16, "V:1.8"));
  EXPECT_TRUE(shows_text(s, 64, 32, "GB:100"));
  EXPECT_EQ(display().transactions(), 2u * ROUNDS * (28 + 16));
}

TEST_F(OledTest, ShowCharDrawsIntoTheFrameBufferOnly) {
  auto o = oled::Oled::create();
  ASSERT_TRUE(o);
  const auto& fb = o->frame_buffer();
  EXPECT_EQ(std::count(fb.begin(), fb.end(), 0), 1024);

  // Layout: byte column * 8 + page, bit k = row page * 8 + k.
  ASSERT_TRUE(o->show_char(16, 8, '0', 16, 1));
  const auto zero = font::FONT_16.glyph('0');
  for (int col = 0; col < 8; ++col) {
    EXPECT_EQ(fb[(16 + col) * 8 + 1], zero[col]);
    EXPECT_EQ(fb[(16 + col) * 8 + 2], zero[8 + col]);
  }
  ASSERT_TRUE(o->show_char(16, 8, '0', 16, 0));
  for (int col = 0; col < 8; ++col) EXPECT_EQ(fb[(16 + col) * 8 + 1], static_cast<std::uint8_t>(~zero[col]));

  // Off the buffer's edges nothing is written: of a 12 x 24 cell at (124, 60) only
  // columns 124..127 of rows 60..63 (page 7, bits 4..7) lie inside.
  auto copy = fb;
  ASSERT_TRUE(o->show_char(124, 60, 'M', 24, 0));
  const auto m = font::FONT_24.glyph('M');
  for (int col = 0; col < 128; ++col)
    for (int page = 0; page < 8; ++page) {
      const bool inside = col >= 124 && page == 7;
      const int mask = inside ? 0x0F : 0xFF;
      EXPECT_EQ(fb[col * 8 + page] & mask, copy[col * 8 + page] & mask) << col << "," << page;
      for (int k = 0; inside && k < 4; ++k) {
        EXPECT_EQ((fb[col * 8 + 7] >> (4 + k)) & 1, ((m[col - 124] >> k) & 1) ^ 1) << col << "," << k;
      }
    }

  auto r = o->show_char(0, 0, 'A', 10, 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().describe(), "Invalid size");
  copy = fb;
  for (std::uint8_t code : {124, 125, 126, 127, 31, 0})
    ASSERT_TRUE(o->show_char(0, 0, code, 8, 1)) << "no glyph: nothing drawn";
  ASSERT_TRUE(o->show_char(255, 255, 'A', 8, 1));
  ASSERT_TRUE(o->show_char(128, 0, 'A', 16, 1));
  ASSERT_TRUE(o->show_char(0, 64, 'A', 16, 1));
  EXPECT_EQ(fb, copy);
  EXPECT_EQ(display().transactions(), 28u) << "drawing sends nothing";
}

TEST(DisplayFonts, TablesHaveTheirShapeAndPrintableGlyphsAreDrawn) {
  EXPECT_EQ(font::FONT_8.glyph_count(), 92u);
  EXPECT_EQ(font::FONT_12.glyph_count(), 95u);
  EXPECT_EQ(font::FONT_16.glyph_count(), 95u);
  EXPECT_EQ(font::FONT_24.glyph_count(), 95u);
  EXPECT_EQ(font::FONT_24.glyph_bytes(), 36u);
  EXPECT_EQ(font::font_for(16), &font::FONT_16);
  EXPECT_EQ(font::font_for(0), nullptr);

  const auto a = font::FONT_16.glyph('A');
  EXPECT_EQ(Bytes(a.begin(), a.end()),
            (Bytes{0x00, 0x00, 0xC0, 0x38, 0xE0, 0x00, 0x00, 0x00, 0x20, 0x3C, 0x23, 0x02, 0x02, 0x27, 0x38, 0x20}));
  const auto zero = font::FONT_16.glyph('0');
  EXPECT_EQ(Bytes(zero.begin(), zero.end()),
            (Bytes{0x00, 0xE0, 0x10, 0x08, 0x08, 0x10, 0xE0, 0x00, 0x00, 0x0F, 0x10, 0x20, 0x20, 0x10, 0x0F, 0x00}));
  for (const font::Font* f : {&font::FONT_8, &font::FONT_12, &font::FONT_16, &font::FONT_24}) {
    const auto space = f->glyph(' ');
    EXPECT_TRUE(std::all_of(space.begin(), space.end(), [](auto b) { return b == 0; }));
    for (std::size_t code = 33; code < 32 + f->glyph_count(); ++code) {
      const auto g = f->glyph(static_cast<std::uint8_t>(code));
      EXPECT_TRUE(std::any_of(g.begin(), g.end(), [](auto b) { return b != 0; }))
          << "size " << int{f->width} << " glyph '" << static_cast<char>(code) << "' is blank";
    }
  }
  // The 12-row font leaves the lower four rows of its 16-row cell blank.
  for (std::size_t code = 32; code < 127; ++code)
    for (auto b : font::FONT_12.glyph(static_cast<std::uint8_t>(code)).subspan(6)) EXPECT_EQ(b & 0xF0, 0);
}

}  // namespace
