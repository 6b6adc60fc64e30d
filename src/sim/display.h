#pragma once
// The simulated status display: listens to GPIO lines 12 (SCL) and 13 (SDA), decodes
// the two-wire bus the way the SSD1306 on the instrument does and keeps its 128 x 64
// display RAM. Transactions addressed to 0x3C (address byte 0x78) are acknowledged;
// others are ignored. The panel is mounted so that, with the segment re-map and COM
// scan reversal the driver sets, RAM column 0 / page 0 is the top-left corner.
//
// Thread-safety: every member takes the display's lock. Line changes arrive on the
// connection threads that drive the lines.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "sim/instrument.h"

namespace sim {

inline constexpr int DISPLAY_WIDTH = 128;
inline constexpr int DISPLAY_HEIGHT = 64;
inline constexpr int DISPLAY_PAGES = DISPLAY_HEIGHT / 8;

// A copy of display RAM, index page * 128 + column, bit k = row page * 8 + k.
struct Screen {
  std::array<std::uint8_t, DISPLAY_WIDTH * DISPLAY_PAGES> ram{};

  bool pixel(int x, int y) const;
  // A rectangle of pixels, columns x0..x1 - 1, rows y0..y1 - 1 (clipped to the screen).
  struct Rect {
    int x0, y0, x1, y1;
  };
  static constexpr Rect WHOLE{0, 0, DISPLAY_WIDTH, DISPLAY_HEIGHT};
  std::size_t lit_count(Rect r = WHOLE) const;
  // Smallest rectangle holding every lit pixel inside `r`; nullopt when none is lit.
  std::optional<Rect> lit_bounds(Rect r = WHOLE) const;
  // True when both screens show the same pixels inside `r`.
  bool same(const Screen& other, Rect r) const;
  // One text row per pixel row, '#' lit and '.' dark; for failure messages.
  std::string picture(Rect r = WHOLE) const;
};

// One run of bytes of a transaction, sent after one control byte.
struct Transfer {
  enum class Kind : std::uint8_t { Command, Data };
  Kind kind;
  std::vector<std::uint8_t> bytes;
  bool operator==(const Transfer&) const = default;
};

// Controller registers other than the RAM and its pointers.
struct ControllerState {
  bool display_on = false;
  bool inverted = false;      // A7
  bool entire_on = false;     // A5: every pixel lit whatever the RAM holds
  bool segment_remap = false;  // A1
  bool com_reversed = false;  // C8
  bool charge_pump = false;   // 8D 14
  std::uint8_t contrast = 0x7F;
  std::uint8_t multiplex = 0x3F;
  std::uint8_t offset = 0;
  std::uint8_t start_line = 0;
  std::uint8_t clock = 0x80;
  std::uint8_t precharge = 0x22;
  std::uint8_t com_pins = 0x12;
  std::uint8_t vcomh = 0x20;
  std::uint8_t addressing = 0x02;  // 0 horizontal, 1 vertical, 2 page
  std::uint8_t page = 0;
  std::uint8_t column = 0;
};

class Display final : public LineListener {
 public:
  static constexpr std::uint32_t SCL_LINE = 12;
  static constexpr std::uint32_t SDA_LINE = 13;
  static constexpr std::uint8_t ADDRESS_BYTE = 0x78;

  Display() = default;

  void on_line(std::uint32_t line, std::uint8_t value) override;

  Screen screen() const;
  bool pixel(int x, int y) const;
  // What the glass shows: dark while off, all lit for A5, inverted for A7.
  Screen visible() const;
  bool display_on() const;
  ControllerState state() const;

  // Completed transactions (ended by a stop) addressed to the display.
  std::uint64_t transactions() const;
  // Transactions cut short by a stop or start in the middle of a byte; the bits of
  // the broken byte are dropped.
  std::uint64_t bus_errors() const;
  // The transfers of completed transactions, in order, while recording is on.
  void set_recording(bool on);
  std::vector<Transfer> transfers() const;
  // Every command byte recorded, parameters included, in order.
  std::vector<std::uint8_t> commands() const;
  void clear_transfers();

  // From now on writes the visible screen as a binary PBM (P4, 128 x 64, 1 = lit)
  // to `path` after every completed transaction, through a temporary file in the
  // same directory renamed over it. Writes it once at once; fails when that fails.
  // An empty path turns the output off.
  base::Result<void> set_output_path(std::string path);

 private:
  void on_start();
  void on_stop();
  void on_byte(std::uint8_t byte);
  void on_command(std::uint8_t byte);
  void on_data(std::uint8_t byte);
  void record(std::uint8_t byte);  // into the open transfer, while recording
  Screen visible_locked() const;
  base::Result<void> write_image_locked() const;

  mutable std::mutex mu_;
  // Bus.
  std::uint8_t scl_ = 0;
  std::uint8_t sda_ = 0;
  bool in_transaction_ = false;
  int bits_ = 0;  // bits of the current byte clocked in; 8: waiting for the ack clock
  std::uint8_t shift_ = 0;
  int byte_index_ = 0;  // bytes of the transaction so far
  bool addressed_ = false;
  enum class Expect : std::uint8_t { Control, Command, Data, OneCommand, OneData } expect_ = Expect::Control;
  // Controller.
  Screen ram_;
  ControllerState st_;
  std::vector<std::uint8_t> pending_;  // a multi-byte command waiting for parameters
  std::size_t pending_need_ = 0;
  std::uint8_t column_start_ = 0;
  std::uint8_t column_lo_ = 0, column_hi_ = 127, page_lo_ = 0, page_hi_ = 7;
  // Record.
  std::uint64_t transactions_ = 0;
  std::uint64_t bus_errors_ = 0;
  bool recording_ = false;
  std::vector<Transfer> current_;
  std::vector<Transfer> transfers_;
  std::string output_path_;
  mutable bool output_failing_ = false;
};

// Creates a display, registers it on the instrument's GPIO lines and remembers it
// for display_of(). build_models() does this for every instrument it builds.
std::shared_ptr<Display> attach_display(Instrument& instrument);
// The display attached to `instrument`, or null.
Display* display_of(const Instrument& instrument);

}  // namespace sim
