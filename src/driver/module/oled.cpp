#include "driver/module/oled.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "base/format.h"
#include "base/log.h"
#include "driver/module/font.h"

// Every bus step is a fallible GPIO write; the first failure ends the operation.
#define OLED_TRY(expr)                                              \
  do {                                                              \
    if (auto oled_try_result = (expr); !oled_try_result)           \
      return std::unexpected(std::move(oled_try_result).error());   \
  } while (0)

namespace driver::module::oled {
namespace {

constexpr std::string_view TARGET = "driver::module::oled";
constexpr int GLYPH_STEP = 8;
constexpr std::uint8_t TEXT_SIZE = 16;

// One display update at a time within the service: the kernel would refuse the
// second holder of the lines anyway, and a busy display is not worth a failed command.
std::mutex& update_mutex() {
  static std::mutex mu;
  return mu;
}

void log_close(int err, std::string_view what) {
  if (err != 0)
    base::log::error(TARGET, "Error closing {} file descriptor: {}", what, base::errno_text(err));
}

// Draws the printable bytes of `text` from buffer column 0 of text line `line`,
// skipping the others without a gap, until the buffer ends.
base::Result<void> draw_text(Oled& oled, std::uint8_t line, std::string_view text) {
  if (line >= TEXT_LINES) return {};
  const auto y = static_cast<std::uint8_t>(line * 16);
  int x = 0;
  for (const char c : text) {
    const auto code = static_cast<std::uint8_t>(c);
    if (code < 32 || code > 126) continue;
    if (x >= COLUMNS) break;
    OLED_TRY(oled.show_char(static_cast<std::uint8_t>(x), y, code, TEXT_SIZE, 1));
    x += GLYPH_STEP;
  }
  return {};
}

}  // namespace

base::Result<Oled> Oled::create() {
  auto chip = core::Gpio::create();
  if (!chip) return std::unexpected(std::move(chip).error());
  auto scl = chip->set_output(SCL_LINE);
  if (!scl) return std::unexpected(std::move(scl).error());
  // From here on the Oled owns what is open and its destruction releases it.
  Oled oled(std::move(*chip), *scl, -1);
  auto sda = oled.chip_.set_output(SDA_LINE);
  if (!sda) return std::unexpected(std::move(sda).error());
  oled.sda_ = *sda;
  for (const std::uint8_t command : INIT_COMMANDS) OLED_TRY(oled.wr_byte(command));
  return oled;
}

Oled::Oled(Oled&& other) noexcept
    : buffer_(other.buffer_),
      chip_(std::move(other.chip_)),
      scl_(std::exchange(other.scl_, -1)),
      sda_(std::exchange(other.sda_, -1)) {}

Oled::~Oled() {
  if (scl_ >= 0) log_close(chip_.close_handle(scl_), "SCL");
  if (sda_ >= 0) log_close(chip_.close_handle(sda_), "SDA");
}

base::Result<void> Oled::i2c_start() {
  OLED_TRY(sda(1));
  OLED_TRY(scl(1));
  OLED_TRY(sda(0));
  return scl(0);
}

base::Result<void> Oled::send_byte(std::uint8_t byte) {
  for (int bit = 7; bit >= 0; --bit) {
    OLED_TRY(sda(static_cast<std::uint8_t>((byte >> bit) & 1)));
    OLED_TRY(scl(1));
    OLED_TRY(scl(0));
  }
  return {};
}

// The acknowledge is never read: both lines are outputs, so a missing display
// goes unnoticed. The clock is still given so the controller can answer.
base::Result<void> Oled::i2c_wait_ack() {
  OLED_TRY(sda(1));
  OLED_TRY(scl(1));
  return scl(0);
}

base::Result<void> Oled::i2c_stop() {
  OLED_TRY(sda(0));
  OLED_TRY(scl(1));
  return sda(1);
}

base::Result<void> Oled::begin(std::uint8_t control) {
  OLED_TRY(i2c_start());
  OLED_TRY(send_byte(ADDRESS_BYTE));
  OLED_TRY(i2c_wait_ack());
  OLED_TRY(send_byte(control));
  return i2c_wait_ack();
}

base::Result<void> Oled::wr_byte(std::uint8_t command) {
  OLED_TRY(begin(CONTROL_COMMAND));
  OLED_TRY(send_byte(command));
  OLED_TRY(i2c_wait_ack());
  return i2c_stop();
}

base::Result<void> Oled::send_page(int page, std::uint8_t start, int count) {
  OLED_TRY(wr_byte(static_cast<std::uint8_t>(0xB0 + page)));
  OLED_TRY(wr_byte(start & 0x0F));
  OLED_TRY(wr_byte(static_cast<std::uint8_t>(0x10 | (start >> 4))));
  OLED_TRY(begin(CONTROL_DATA));
  for (int column = 0; column < count; ++column) {
    OLED_TRY(send_byte(buffer_[column * PAGES + page]));
    OLED_TRY(i2c_wait_ack());
  }
  return i2c_stop();
}

base::Result<void> Oled::refresh_line(std::uint8_t line) {
  for (int page = 2 * line; page <= 2 * line + 1 && page < PAGES; ++page)
    OLED_TRY(send_page(page, 0, COLUMNS));
  return {};
}

base::Result<void> Oled::refresh_partial_line(std::uint8_t line, std::uint8_t start, std::uint8_t end) {
  const int count = std::min<int>(end, COLUMNS) - start;
  if (count <= 0) return {};
  for (int page = 2 * line; page <= 2 * line + 1 && page < PAGES; ++page)
    OLED_TRY(send_page(page, start, count));
  return {};
}

base::Result<void> Oled::show_char(std::uint8_t x, std::uint8_t y, std::uint8_t code, std::uint8_t size,
                                   std::uint8_t mode) {
  const font::Font* f = font::font_for(size);
  if (f == nullptr) return base::fail("Invalid size");
  const auto glyph = f->glyph(code);
  for (std::size_t i = 0; i < glyph.size(); ++i) {
    const int column = x + static_cast<int>(i % f->width);
    if (column >= COLUMNS) continue;
    const int band = static_cast<int>(i / f->width);
    for (int k = 0; k < 8; ++k) {
      const int row = y + band * 8 + k;
      if (row >= ROWS) break;
      const bool bit = (glyph[i] >> k) & 1;
      const bool lit = mode == 0 ? !bit : bit;
      auto& byte = buffer_[column * PAGES + row / 8];
      const auto mask = static_cast<std::uint8_t>(1u << (row % 8));
      byte = lit ? static_cast<std::uint8_t>(byte | mask) : static_cast<std::uint8_t>(byte & ~mask);
    }
  }
  return {};
}

base::Result<void> clear_line_and_display(std::uint8_t line, std::string_view text) {
  base::log::debug(TARGET, "Starting clear_line_and_display with line: {}, text: {}", line, text);
  std::lock_guard lock(update_mutex());
  auto oled = Oled::create();
  if (!oled) return std::unexpected(oled.error().context("Initializing OLED"));
  if (auto r = oled->refresh_line(line); !r) return std::unexpected(r.error().context("Clearing OLED"));
  OLED_TRY(draw_text(*oled, line, text));
  if (auto r = oled->refresh_line(line); !r) return std::unexpected(r.error().context("Refreshing OLED"));
  return {};
}

base::Result<void> clear_partial_line_and_display(std::uint8_t line, std::uint8_t start, std::uint8_t end,
                                                  std::string_view text) {
  base::log::debug(TARGET,
                   "Starting clear_partial_line_and_display with line: {}, start: {}, end: {}, text: {}",
                   line, start, end, text);
  std::lock_guard lock(update_mutex());
  auto oled = Oled::create();
  if (!oled) return std::unexpected(oled.error().context("Initializing OLED"));
  if (auto r = oled->refresh_partial_line(line, start, end); !r)
    return std::unexpected(r.error().context("Clearing OLED"));
  // Drawn from buffer column 0: the partial refresh sends buffer column 0 to
  // display column `start`.
  OLED_TRY(draw_text(*oled, line, text));
  if (auto r = oled->refresh_partial_line(line, start, end); !r)
    return std::unexpected(r.error().context("Refreshing OLED"));
  return {};
}

}  // namespace driver::module::oled
