#include "sim/display.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "base/log.h"

namespace sim {
namespace {

constexpr std::string_view TARGET = "sim::display";

// Parameters that follow each multi-byte command.
std::size_t parameter_count(std::uint8_t command) {
  switch (command) {
    case 0x20: case 0x81: case 0x8D: case 0xA8: case 0xD3: case 0xD5: case 0xD9: case 0xDA:
    case 0xDB:
      return 1;
    case 0x21: case 0x22: case 0xA3:
      return 2;
    case 0x29: case 0x2A:
      return 5;
    case 0x26: case 0x27:
      return 6;
    default:
      return 0;
  }
}

Screen::Rect clip(Screen::Rect r) {
  return {std::clamp(r.x0, 0, DISPLAY_WIDTH), std::clamp(r.y0, 0, DISPLAY_HEIGHT),
          std::clamp(r.x1, 0, DISPLAY_WIDTH), std::clamp(r.y1, 0, DISPLAY_HEIGHT)};
}

int write_all(int fd, const std::uint8_t* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

bool Screen::pixel(int x, int y) const {
  if (x < 0 || x >= DISPLAY_WIDTH || y < 0 || y >= DISPLAY_HEIGHT) return false;
  return (ram[(y / 8) * DISPLAY_WIDTH + x] >> (y % 8)) & 1;
}

std::size_t Screen::lit_count(Rect r) const {
  r = clip(r);
  std::size_t n = 0;
  for (int y = r.y0; y < r.y1; ++y)
    for (int x = r.x0; x < r.x1; ++x) n += pixel(x, y) ? 1 : 0;
  return n;
}

std::optional<Screen::Rect> Screen::lit_bounds(Rect r) const {
  r = clip(r);
  std::optional<Rect> out;
  for (int y = r.y0; y < r.y1; ++y)
    for (int x = r.x0; x < r.x1; ++x) {
      if (!pixel(x, y)) continue;
      if (!out) out = Rect{x, y, x + 1, y + 1};
      out->x0 = std::min(out->x0, x);
      out->y0 = std::min(out->y0, y);
      out->x1 = std::max(out->x1, x + 1);
      out->y1 = std::max(out->y1, y + 1);
    }
  return out;
}

bool Screen::same(const Screen& other, Rect r) const {
  r = clip(r);
  for (int y = r.y0; y < r.y1; ++y)
    for (int x = r.x0; x < r.x1; ++x)
      if (pixel(x, y) != other.pixel(x, y)) return false;
  return true;
}

std::string Screen::picture(Rect r) const {
  r = clip(r);
  std::string out;
  for (int y = r.y0; y < r.y1; ++y) {
    for (int x = r.x0; x < r.x1; ++x) out.push_back(pixel(x, y) ? '#' : '.');
    out.push_back('\n');
  }
  return out;
}

void Display::on_line(std::uint32_t line, std::uint8_t value) {
  if (line != SCL_LINE && line != SDA_LINE) return;
  const std::uint8_t level = value != 0 ? 1 : 0;
  std::lock_guard lock(mu_);
  if (line == SCL_LINE) {
    const bool rising = scl_ == 0 && level == 1;
    scl_ = level;
    if (!rising || !in_transaction_) return;
    if (bits_ < 8) {
      shift_ = static_cast<std::uint8_t>((shift_ << 1) | sda_);
      ++bits_;
    } else {  // the acknowledge clock completes the byte
      const std::uint8_t byte = shift_;
      bits_ = 0;
      shift_ = 0;
      on_byte(byte);
    }
    return;
  }
  const std::uint8_t old = sda_;
  sda_ = level;
  // SDA may only change while SCL is low, except to mark a start or a stop.
  if (scl_ == 0 || old == level) return;
  if (level == 0)
    on_start();
  else
    on_stop();
}

void Display::on_start() {
  if (in_transaction_) on_stop();  // a repeated start ends the transaction before it
  in_transaction_ = true;
  bits_ = 0;
  shift_ = 0;
  byte_index_ = 0;
  addressed_ = false;
  expect_ = Expect::Control;
  current_.clear();
}

void Display::on_stop() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  // The clock edge that raises SCL for the stop itself reads as one bit; more than
  // that is a byte cut short.
  if (bits_ > 1) ++bus_errors_;
  bits_ = 0;
  if (!addressed_) return;
  ++transactions_;
  if (recording_)
    for (auto& t : current_) transfers_.push_back(std::move(t));
  current_.clear();
  if (!output_path_.empty()) {
    auto written = write_image_locked();
    if (!written && !output_failing_)
      base::log::warn(TARGET, "Writing the screen to {}: {}", output_path_, written.error().describe());
    output_failing_ = !written;
  }
}

void Display::on_byte(std::uint8_t byte) {
  if (byte_index_++ == 0) {
    addressed_ = byte == ADDRESS_BYTE;
    return;
  }
  if (!addressed_) return;
  switch (expect_) {
    case Expect::Control: {
      // Co (bit 7) set: one byte follows, then another control byte. D/C# (bit 6)
      // tells data from commands.
      const bool single = (byte & 0x80) != 0;
      const bool data = (byte & 0x40) != 0;
      expect_ = data ? (single ? Expect::OneData : Expect::Data)
                     : (single ? Expect::OneCommand : Expect::Command);
      if (recording_) current_.push_back({data ? Transfer::Kind::Data : Transfer::Kind::Command, {}});
      break;
    }
    case Expect::Command:
      on_command(byte);
      break;
    case Expect::Data:
      on_data(byte);
      break;
    case Expect::OneCommand:
      on_command(byte);
      expect_ = Expect::Control;
      break;
    case Expect::OneData:
      on_data(byte);
      expect_ = Expect::Control;
      break;
  }
}

void Display::record(std::uint8_t byte) {
  if (recording_ && !current_.empty()) current_.back().bytes.push_back(byte);
}

// A parameter may come in a later transaction than its command: the controller's
// command decoder keeps waiting for it across transactions.
void Display::on_command(std::uint8_t byte) {
  record(byte);
  if (pending_need_ > 0) {
    pending_.push_back(byte);
    if (pending_.size() <= pending_need_) return;
    const std::uint8_t cmd = pending_[0];
    const std::uint8_t p0 = pending_[1];
    const std::uint8_t p1 = pending_.size() > 2 ? pending_[2] : 0;
    pending_.clear();
    pending_need_ = 0;
    switch (cmd) {
      case 0x20: st_.addressing = p0 & 0x03; break;
      case 0x21:
        column_lo_ = p0 & 0x7F;
        column_hi_ = p1 & 0x7F;
        st_.column = column_lo_;
        break;
      case 0x22:
        page_lo_ = p0 & 0x07;
        page_hi_ = p1 & 0x07;
        st_.page = page_lo_;
        break;
      case 0x81: st_.contrast = p0; break;
      case 0x8D: st_.charge_pump = (p0 & 0x04) != 0; break;
      case 0xA8: st_.multiplex = p0 & 0x3F; break;
      case 0xD3: st_.offset = p0 & 0x3F; break;
      case 0xD5: st_.clock = p0; break;
      case 0xD9: st_.precharge = p0; break;
      case 0xDA: st_.com_pins = p0; break;
      case 0xDB: st_.vcomh = p0; break;
      default: break;  // scrolling set-ups: the panel does not scroll here
    }
    return;
  }
  if (const std::size_t need = parameter_count(byte); need > 0) {
    pending_.assign(1, byte);
    pending_need_ = need;
    return;
  }
  if (byte <= 0x0F) {
    st_.column = static_cast<std::uint8_t>((st_.column & 0x70) | byte);
    column_start_ = st_.column;
  } else if (byte <= 0x1F) {
    st_.column = static_cast<std::uint8_t>(((byte & 0x07) << 4) | (st_.column & 0x0F));
    column_start_ = st_.column;
  } else if (byte >= 0x40 && byte <= 0x7F) {
    st_.start_line = byte & 0x3F;
  } else if (byte >= 0xB0 && byte <= 0xB7) {
    st_.page = byte & 0x07;
  } else if (byte >= 0xC0 && byte <= 0xCF) {
    st_.com_reversed = (byte & 0x08) != 0;
  } else {
    switch (byte) {
      case 0xA0: case 0xA1: st_.segment_remap = byte == 0xA1; break;
      case 0xA4: case 0xA5: st_.entire_on = byte == 0xA5; break;
      case 0xA6: case 0xA7: st_.inverted = byte == 0xA7; break;
      case 0xAE: case 0xAF: st_.display_on = byte == 0xAF; break;
      default: break;  // NOP (E3), scroll on/off and unknown bytes
    }
  }
}

void Display::on_data(std::uint8_t byte) {
  record(byte);
  ram_.ram[st_.page * DISPLAY_WIDTH + st_.column] = byte;
  int column = st_.column;
  int page = st_.page;
  switch (st_.addressing) {
    case 0:  // horizontal
      if (++column > column_hi_) {
        column = column_lo_;
        if (++page > page_hi_) page = page_lo_;
      }
      break;
    case 1:  // vertical
      if (++page > page_hi_) {
        page = page_lo_;
        if (++column > column_hi_) column = column_lo_;
      }
      break;
    default:  // page addressing: the page stays, the column wraps to its start
      if (++column >= DISPLAY_WIDTH) column = column_start_;
      break;
  }
  st_.column = static_cast<std::uint8_t>(column);
  st_.page = static_cast<std::uint8_t>(page);
}

Screen Display::screen() const {
  std::lock_guard lock(mu_);
  return ram_;
}

bool Display::pixel(int x, int y) const {
  std::lock_guard lock(mu_);
  return ram_.pixel(x, y);
}

Screen Display::visible_locked() const {
  Screen out;
  // Without its charge pump the panel has no drive voltage and stays dark.
  if (!st_.display_on || !st_.charge_pump) return out;
  for (int y = 0; y < DISPLAY_HEIGHT; ++y)
    for (int x = 0; x < DISPLAY_WIDTH; ++x) {
      // Mounted upright for segment re-map and reversed COM scan; either one left
      // out mirrors the picture.
      const int column = st_.segment_remap ? x : DISPLAY_WIDTH - 1 - x;
      const int row = st_.com_reversed ? y : DISPLAY_HEIGHT - 1 - y;
      const bool lit = st_.entire_on || (ram_.pixel(column, row) != st_.inverted);
      if (lit) out.ram[(y / 8) * DISPLAY_WIDTH + x] |= static_cast<std::uint8_t>(1u << (y % 8));
    }
  return out;
}

Screen Display::visible() const {
  std::lock_guard lock(mu_);
  return visible_locked();
}

bool Display::display_on() const {
  std::lock_guard lock(mu_);
  return st_.display_on;
}

ControllerState Display::state() const {
  std::lock_guard lock(mu_);
  return st_;
}

std::uint64_t Display::transactions() const {
  std::lock_guard lock(mu_);
  return transactions_;
}

std::uint64_t Display::bus_errors() const {
  std::lock_guard lock(mu_);
  return bus_errors_;
}

void Display::set_recording(bool on) {
  std::lock_guard lock(mu_);
  recording_ = on;
}

std::vector<Transfer> Display::transfers() const {
  std::lock_guard lock(mu_);
  return transfers_;
}

std::vector<std::uint8_t> Display::commands() const {
  std::lock_guard lock(mu_);
  std::vector<std::uint8_t> out;
  for (const auto& t : transfers_)
    if (t.kind == Transfer::Kind::Command) out.insert(out.end(), t.bytes.begin(), t.bytes.end());
  return out;
}

void Display::clear_transfers() {
  std::lock_guard lock(mu_);
  transfers_.clear();
}

base::Result<void> Display::set_output_path(std::string path) {
  std::lock_guard lock(mu_);
  output_path_ = std::move(path);
  output_failing_ = false;
  if (output_path_.empty()) return {};
  auto written = write_image_locked();
  if (!written) output_path_.clear();
  return written;
}

base::Result<void> Display::write_image_locked() const {
  std::vector<std::uint8_t> image;
  const std::string header = "P4\n128 64\n";
  image.assign(header.begin(), header.end());
  const Screen shown = visible_locked();
  for (int y = 0; y < DISPLAY_HEIGHT; ++y)
    for (int byte = 0; byte < DISPLAY_WIDTH / 8; ++byte) {
      std::uint8_t bits = 0;
      for (int i = 0; i < 8; ++i)
        if (shown.pixel(byte * 8 + i, y)) bits |= static_cast<std::uint8_t>(0x80 >> i);
      image.push_back(bits);
    }
  // Readers never see a half-written image: they get the old file or the new one.
  const std::string tmp = output_path_ + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return std::unexpected(base::os_error("open " + tmp, errno));
  int err = write_all(fd, image.data(), image.size());
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), output_path_.c_str()) != 0) {
    err = errno;
    ::unlink(tmp.c_str());
    return std::unexpected(base::os_error("rename " + tmp + " to " + output_path_, err));
  }
  if (err != 0) {
    ::unlink(tmp.c_str());
    return std::unexpected(base::os_error("write " + tmp, err));
  }
  return {};
}

namespace {

struct Attached {
  std::weak_ptr<const Instrument> instrument;  // empty when not owned by a shared_ptr
  bool owned = false;
  std::weak_ptr<Display> display;
};

std::mutex registry_mu;
std::map<const Instrument*, Attached> registry;

}  // namespace

std::shared_ptr<Display> attach_display(Instrument& instrument) {
  auto display = std::make_shared<Display>();
  instrument.add_line_listener(display);
  std::weak_ptr<const Instrument> self = instrument.weak_from_this();
  const bool owned = !self.expired();
  std::lock_guard lock(registry_mu);
  std::erase_if(registry, [](const auto& entry) { return entry.second.display.expired(); });
  registry[&instrument] = {std::move(self), owned, display};
  return display;
}

Display* display_of(const Instrument& instrument) {
  std::lock_guard lock(registry_mu);
  auto it = registry.find(&instrument);
  if (it == registry.end()) return nullptr;
  // An entry left by an earlier instrument at the same address does not count.
  if (it->second.owned && it->second.instrument.lock().get() != &instrument) return nullptr;
  return it->second.display.lock().get();
}

}  // namespace sim
