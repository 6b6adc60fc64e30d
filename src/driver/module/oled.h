#pragma once
// The OLED status display: an SSD1306-class controller at bus address 0x3C on a
// two-wire bus bit-banged over GPIO lines 12 (SCL) and 13 (SDA), no delays. Each
// public call brings the controller up from scratch, redraws one region and releases
// the lines; nothing is cached between calls and the screen keeps what was sent.
//
// Thread-safety: the two public functions take one process-wide lock, so updates from
// different connections run one after the other. A line held by another process
// still fails the call with "Initializing OLED". An Oled is used by one thread.
//
// Clipping: text line n covers pages 2n and 2n + 1; lines above 3 lie off the
// screen, so a call for them brings the controller up and sends no pixels. Columns
// past 127 are not drawn or sent, a region whose start is not below its end (or is
// past 127) is empty, and characters past the region's end are cut off. None of these
// is an error.
#include <array>
#include <cstdint>
#include <string_view>

#include "base/error.h"
#include "driver/core/gpio.h"

namespace driver::module::oled {

inline constexpr std::uint32_t SCL_LINE = 12;
inline constexpr std::uint32_t SDA_LINE = 13;
inline constexpr std::uint8_t ADDRESS_BYTE = 0x78;  // 7-bit address 0x3C, write
inline constexpr std::uint8_t CONTROL_COMMAND = 0x00;
inline constexpr std::uint8_t CONTROL_DATA = 0x40;
inline constexpr int COLUMNS = 128;
inline constexpr int PAGES = 8;
inline constexpr int ROWS = PAGES * 8;
inline constexpr int TEXT_LINES = PAGES / 2;

// Sent in order by Oled::create(), each byte in its own command transaction.
inline constexpr std::array<std::uint8_t, 28> INIT_COMMANDS = {
    0xAE,              // display off
    0x00, 0x10,        // column start 0
    0x40,              // display start line 0
    0x81, 0xCF,        // contrast
    0xA1,              // segment re-map: column 127 on the first segment
    0xC8,              // COM scan reversed
    0xA6,              // not inverted
    0xA8, 0x3F,        // multiplex ratio 64
    0xD3, 0x00,        // display offset 0
    0xD5, 0x80,        // clock divide ratio and oscillator frequency
    0xD9, 0xF1,        // pre-charge period
    0xDA, 0x12,        // COM pin configuration
    0xDB, 0x40,        // VCOMH deselect level
    0x20, 0x02,        // page addressing
    0x8D, 0x14,        // charge pump on
    0xA4,              // show the RAM contents
    0xA6,              // not inverted
    0xAF,              // display on
};

class Oled {
 public:
  // Opens the chip, requests SCL then SDA, zeroes the frame buffer and initialises
  // the controller. Whatever was opened is released again on failure.
  static base::Result<Oled> create();
  Oled(Oled&& other) noexcept;
  Oled& operator=(Oled&&) = delete;
  // Closes the SCL handle, the SDA handle, then the chip; failures are logged only.
  ~Oled();

  // One command transaction carrying `command`.
  base::Result<void> wr_byte(std::uint8_t command);
  // Sends both pages of text line `line`, all 128 columns, to display column 0 on.
  base::Result<void> refresh_line(std::uint8_t line);
  // Sends end - start columns of both pages of text line `line`, read from frame
  // buffer column 0 on, to display columns start on.
  base::Result<void> refresh_partial_line(std::uint8_t line, std::uint8_t start, std::uint8_t end);
  // Draws one glyph with its top-left pixel at (x, y). Mode 0 draws it inverted, any
  // other mode as it is. Codes the font has no glyph for draw nothing.
  // "Invalid size" unless size is 8, 12, 16 or 24.
  base::Result<void> show_char(std::uint8_t x, std::uint8_t y, std::uint8_t code, std::uint8_t size,
                               std::uint8_t mode);

  // Byte index column * 8 + page; bit k is row page * 8 + k.
  const std::array<std::uint8_t, COLUMNS * PAGES>& frame_buffer() const { return buffer_; }

 private:
  Oled(core::Gpio chip, int scl, int sda) : chip_(std::move(chip)), scl_(scl), sda_(sda) {}

  base::Result<void> scl(std::uint8_t value) { return chip_.write(scl_, value); }
  base::Result<void> sda(std::uint8_t value) { return chip_.write(sda_, value); }
  base::Result<void> i2c_start();
  base::Result<void> send_byte(std::uint8_t byte);
  base::Result<void> i2c_wait_ack();
  base::Result<void> i2c_stop();
  // start, address, control byte: the head of every transaction.
  base::Result<void> begin(std::uint8_t control);
  base::Result<void> send_page(int page, std::uint8_t start, int count);

  std::array<std::uint8_t, COLUMNS * PAGES> buffer_{};
  core::Gpio chip_;
  int scl_ = -1;
  int sda_ = -1;
};

// Blanks text line `line` across all 128 columns and writes `text` into it from
// column 0. Bytes outside 32..126 are skipped without leaving a gap.
base::Result<void> clear_line_and_display(std::uint8_t line, std::string_view text);
// Blanks columns start to end - 1 of text line `line` and writes `text` there from
// column `start`, cut off at column end - 1.
base::Result<void> clear_partial_line_and_display(std::uint8_t line, std::uint8_t start,
                                                  std::uint8_t end, std::string_view text);

}  // namespace driver::module::oled
