// valdrix: the command-line client of the Valdrix-M4 control service. One
// subcommand per protocol command; answers are printed for people, and error
// answers map to distinct exit statuses so that shell scripts can branch on them.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"
#include "client/text.h"
#include "client/wire.h"
#include "protocol/commands.h"

namespace {

namespace cmd = protocol::command;
using client::Exit;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t DEFAULT_PORT = 9761;
constexpr int DEFAULT_TIMEOUT_MS = 5000;
constexpr std::uint32_t DEFAULT_UART_TIMEOUT_MS = 1000;
// A UART transfer may legitimately keep the service silent for its whole time-out.
constexpr int UART_ANSWER_MARGIN_MS = 2000;

enum class Form { fields, log_level, wave, spi, i2c, uart, raw };
enum class Reply { none, text, u8, u16, u32, bytes, wave, raw };

struct Field {
  std::string_view name;
  int width;  // bytes on the wire
  std::string_view meaning;
};

struct Command {
  std::string_view name;
  std::uint16_t code;
  Form form;
  Reply reply;
  std::vector<Field> fields;
  std::string_view summary;
};

// How the command line fills each command's payload and prints its answer, by
// code; the names and codes come from the service's command table.
struct Usage {
  std::uint16_t code;
  Form form;
  Reply reply;
  std::vector<Field> fields;
  std::string_view summary;
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table = [] {
    const std::vector<Usage> usage = {
        {cmd::get_id, Form::fields, Reply::text, {}, "device identifier"},
        {cmd::get_name, Form::fields, Reply::text, {}, "device name"},
        {cmd::get_version, Form::fields, Reply::text, {}, "service version"},
        {cmd::read_register, Form::fields, Reply::u32,
         {{"BASE", 4, "window base address, a multiple of 4096"},
          {"OFFSET", 4, "byte offset of the register inside the 64 KiB window"}},
         "read a 32-bit register of the programmable logic"},
        {cmd::write_register, Form::fields, Reply::none,
         {{"BASE", 4, "window base address, a multiple of 4096"},
          {"OFFSET", 4, "byte offset of the register inside the 64 KiB window"},
          {"VALUE", 4, "the 32-bit value"}},
         "write a 32-bit register of the programmable logic"},
        {cmd::set_log_level, Form::log_level, Reply::none,
         {{"NAME", 0, "trace, debug, info, warn or error (any case)"}},
         "change the service's log level"},
        {cmd::osc_set_channel_enable, Form::fields, Reply::u8, {},
         "channel enable (answers 1; both channels always capture)"},
        {cmd::osc_set_channel_gain, Form::fields, Reply::none,
         {{"CHANNEL", 1, "1 (A) or 2 (B)"}, {"GAIN", 1, "percent, 0 to 100"}},
         "set a channel's gain in percent"},
        {cmd::osc_set_channel_gain_raw, Form::fields, Reply::none,
         {{"CHANNEL", 1, "1 (A) or 2 (B)"}, {"RAW", 1, "raw 8-bit gain setpoint"}},
         "set a channel's gain as a raw setpoint"},
        {cmd::osc_set_sample_clock_phase, Form::fields, Reply::none,
         {{"DEGREES", 4, "phase of the sample clock in whole degrees"}},
         "shift the sample clock's phase"},
        {cmd::osc_set_trigger_delay, Form::fields, Reply::none,
         {{"DELAY", 4, "delay from trigger to capture, in sample clock cycles"}},
         "set the trigger delay"},
        {cmd::osc_set_sample_length, Form::fields, Reply::none,
         {{"SAMPLES", 4, "samples per capture (rounded up to a multiple of 1024)"}},
         "set the capture length"},
        {cmd::osc_set_single, Form::fields, Reply::none, {}, "arm a single capture"},
        {cmd::osc_get_trigger_status, Form::fields, Reply::u32, {},
         "capture status word (0x102: capture complete)"},
        {cmd::osc_set_sample_rate, Form::fields, Reply::none,
         {{"KHZ", 4, "4000, 8000, 12000, 24000, 48000 or 65000"}}, "set the sample clock"},
        {cmd::osc_set_force, Form::fields, Reply::none, {}, "force a trigger"},
        {cmd::osc_get_channel_wave, Form::wave, Reply::wave,
         {{"CHANNEL", 1, "1 (A) or 2 (B)"},
          {"OFFSET", 4, "first sample"},
          {"LENGTH", 4, "number of samples"}},
         "read captured samples"},
        {cmd::osc_set_trigger_source, Form::fields, Reply::none,
         {{"SOURCE", 1, "0 none, 1 channel A, 2 channel B, 3 pattern (N, A, B, P)"}},
         "select the trigger source"},
        {cmd::osc_set_trigger_mode, Form::fields, Reply::none,
         {{"MODE", 1, "0 edge, 1 pattern (E, P)"}}, "select the trigger mode"},
        {cmd::osc_set_trigger_edge, Form::fields, Reply::none,
         {{"EDGE", 1, "0 up, 1 down, 2 either (U, D, E)"}}, "select the trigger edge"},
        {cmd::osc_set_trigger_edge_level, Form::fields, Reply::none,
         {{"LEVEL", 2, "16-bit trigger level"}}, "set the trigger level"},
        {cmd::nut_set_voltage_enable, Form::fields, Reply::none,
         {{"ON", 1, "0 switches the target's supply off, anything else on"}},
         "switch the target's supply"},
        {cmd::nut_set_voltage_value, Form::fields, Reply::none,
         {{"MILLIVOLTS", 4, "2000 to 4100"}}, "set the target's supply voltage"},
        {cmd::nut_set_clock, Form::fields, Reply::none,
         {{"KHZ", 4, "4000, 8000, 12000, 24000, 48000 or 65000"}}, "set the target's clock"},
        {cmd::nut_set_voltage_raw_value, Form::fields, Reply::none,
         {{"RAW", 1, "raw 8-bit supply setpoint"}}, "set the supply as a raw setpoint"},
        {cmd::nut_clock_enable, Form::fields, Reply::none,
         {{"GATE", 1, "clock gate value"}}, "gate the target's clock"},
        {cmd::spi_transceive, Form::spi, Reply::bytes, {}, "one SPI transfer"},
        {cmd::spi_enable, Form::fields, Reply::none, {{"ON", 1, "0 or 1"}},
         "enable or disable the SPI master"},
        {cmd::spi_reset, Form::fields, Reply::none, {}, "reset the SPI master"},
        {cmd::spi_config, Form::fields, Reply::none,
         {{"PSC", 2, "clock prescaler"}, {"CPOL", 1, "clock polarity, 0 or 1"},
          {"CPHA", 1, "clock phase, 0 or 1"}},
         "configure the SPI master"},
        {cmd::i2c_transceive, Form::i2c, Reply::bytes, {}, "one I2C transaction"},
        {cmd::i2c_enable, Form::fields, Reply::none, {{"ON", 1, "0 or 1"}},
         "enable or disable the I2C master"},
        {cmd::i2c_reset, Form::fields, Reply::none, {}, "reset the I2C master"},
        {cmd::i2c_config, Form::fields, Reply::none,
         {{"ADDR", 1, "target address"}, {"SPEED", 1, "bus speed code, 0 to 4"}},
         "configure the I2C master"},
        {cmd::uart_enable, Form::fields, Reply::none, {{"ON", 1, "0 or 1"}},
         "enable or disable the UART"},
        {cmd::uart_reset, Form::fields, Reply::none, {}, "reset the UART (empties its FIFO)"},
        {cmd::uart_config, Form::fields, Reply::none,
         {{"STOP_BITS", 1, "0 to 2"}, {"PARITY", 1, "0 to 4"}, {"BYTESIZE", 1, "5 to 8"},
          {"BAUDRATE", 4, "bits per second"}},
         "configure the UART"},
        {cmd::uart_transceive, Form::uart, Reply::bytes, {}, "one UART exchange"},
        {cmd::uart_receive_fifo_remained, Form::fields, Reply::u16, {},
         "bytes waiting in the UART's receive FIFO"},
        {cmd::uart_receive_fifo_dump, Form::fields, Reply::bytes, {},
         "read out the UART's receive FIFO"},
        {cmd::uart_receive_fifo_clear, Form::fields, Reply::none, {},
         "empty the UART's receive FIFO"},
    };
    std::vector<Command> out;
    for (const auto& info : cmd::TABLE) {
      if (info.cli_name.empty()) continue;
      const auto u = std::find_if(usage.begin(), usage.end(), [&](const Usage& u) { return u.code == info.code; });
      // A command without a usage of its own takes no arguments and prints its answer's bytes.
      if (u == usage.end())
        out.push_back({info.cli_name, info.code, Form::fields, Reply::bytes, {}, info.name});
      else
        out.push_back({info.cli_name, info.code, u->form, u->reply, u->fields, u->summary});
    }
    out.push_back({"raw", 0, Form::raw, Reply::raw, {{"CODE", 2, "command code"}},
                   "send any command code with any payload"});
    return out;
  }();
  return table;
}

const Command* find_command(std::string_view name) {
  for (const auto& c : commands())
    if (c.name == name) return &c;
  return nullptr;
}

std::string synopsis(const Command& c) {
  std::string s(c.name);
  switch (c.form) {
    case Form::fields:
    case Form::log_level:
      for (const auto& f : c.fields) s += base::format(" {}", f.name);
      break;
    case Form::wave:
      s += " CHANNEL OFFSET LENGTH [-o FILE | --csv]";
      break;
    case Form::spi:
      s += " [--rx-len N] [--trigger] [--delay N] [BYTES...]";
      break;
    case Form::i2c:
      s += " [--tsf1-count N] [--tsf2-count N] [--tsf-rw MASK] [--tsf-lens L,...] [--trigger] [--delay N] [BYTES...]";
      break;
    case Form::uart:
      s += " [--rx-len N] [--trigger] [--timeout MS] [BYTES...]";
      break;
    case Form::raw:
      s += " CODE [BYTES...]";
      break;
  }
  return s;
}

constexpr std::string_view BYTES_HELP =
    "  BYTES          hex bytes (DE AD, 0xDEAD, dead), --text STR for a string's bytes,\n"
    "                 or @FILE for a file's contents; sent in the order given\n";

std::string form_help(const Command& c) {
  switch (c.form) {
    case Form::fields:
    case Form::log_level:
    case Form::raw: {
      std::string s;
      for (const auto& f : c.fields) {
        const std::string_view type = f.width == 1 ? "u8" : f.width == 2 ? "u16" : f.width == 4 ? "u32" : "text";
        s += base::format("  {}{}{}, {}\n", f.name, std::string(15 - std::min<std::size_t>(f.name.size(), 14), ' '),
                          f.meaning, type);
      }
      if (c.form == Form::raw) s += BYTES_HELP;
      return s;
    }
    case Form::wave:
      return "  CHANNEL        1 (A) or 2 (B), u8\n"
             "  OFFSET         first sample, u32\n"
             "  LENGTH         number of samples, u32\n"
             "  -o FILE        write the raw answer bytes (little-endian 16-bit samples) to\n"
             "                 FILE, or to standard output for -\n"
             "  --csv          print CSV lines \"sample,value\" with the sample's number\n"
             "Without -o or --csv the samples are printed as signed numbers, one per line.\n";
    case Form::spi:
      return "  --rx-len N     bytes to clock in after sending, u16 (default 0)\n"
             "  --trigger      set the trigger bit: the transfer triggers an armed capture\n"
             "  --delay N      load the controller's delay register with N, u32\n" +
             std::string(BYTES_HELP);
    case Form::i2c:
      return "  --tsf1-count N segments of the first transfer, u8 (default 0)\n"
             "  --tsf2-count N segments of the second transfer, u8 (default 0)\n"
             "  --tsf-rw MASK  bit i set: segment i reads from the target, u8 (default 0)\n"
             "  --tsf-lens L,...\n"
             "                 lengths of segments 0 to 7, u16 each; missing ones are 0\n"
             "  --trigger      set the trigger bit: the transaction triggers an armed capture\n"
             "  --delay N      load the controller's delay register with N, u32\n" +
             std::string(BYTES_HELP) +
             "\nThe answer holds the bytes of the read segments.\n";
    case Form::uart:
      return "  --rx-len N     bytes to wait for, u16 (default 0)\n"
             "  --trigger      set the trigger bit: the transfer triggers an armed capture\n"
             "  --timeout MS   how long the service waits for them, u32 (default 1000)\n" +
             std::string(BYTES_HELP);
  }
  return {};
}

std::string_view reply_help(Reply r) {
  switch (r) {
    case Reply::none: return "Prints ok.";
    case Reply::text: return "Prints the answer's text.";
    case Reply::u8:
    case Reply::u16:
    case Reply::u32: return "Prints the number in decimal and in hex.";
    case Reply::bytes: return "Prints the answer bytes as a hex dump.";
    case Reply::wave: return "";
    case Reply::raw: return "Prints the answer bytes as a hex dump; error answers as for any command.";
  }
  return "";
}

constexpr std::string_view EXIT_HELP =
    "Exit status:\n"
    "  0  success\n"
    "  1  a local file could not be read or written\n"
    "  2  usage error\n"
    "  3  Busy (status 0x0001): a bus lock is broken\n"
    "  4  TimeOut (status 0x0002): a transfer did not complete in time\n"
    "  5  Unsupport (status 0x8001): the service has no such command\n"
    "  6  InternalError (status 0x8000): the service reported an error\n"
    "  7  connection failure: cannot resolve or connect, or the connection broke\n"
    "  8  no answer within --timeout\n"
    "  9  invalid response: wrong magic, direction, status or length\n";

void print_main_help() {
  std::string s =
      "usage: valdrix [--host H] [--port P] [--timeout MS] COMMAND [ARGS...]\n"
      "       valdrix COMMAND --help\n"
      "\n"
      "Command-line client of the Valdrix-M4 control service.\n"
      "\n"
      "Options, before COMMAND:\n"
      "  --host H       address or name of the instrument (default 127.0.0.1)\n"
      "  --port P       TCP port (default 9761)\n"
      "  --timeout MS   longest wait for the service at any one step (default 5000)\n"
      "  --help         show this text\n"
      "\n"
      "Numbers are decimal or 0x-hex. Byte arguments are hex (DE AD, 0xDEAD, dead),\n"
      "--text STR or @FILE. Error answers print the status and the message on standard\n"
      "error.\n"
      "\n"
      "Commands:\n";
  for (const auto& c : commands()) {
    s += base::format("  {}{}{}\n", c.name, std::string(29 - std::min<std::size_t>(c.name.size(), 28), ' '),
                      c.summary);
  }
  s += "\n";
  s += EXIT_HELP;
  std::fputs(s.c_str(), stdout);
}

void print_command_help(const Command& c) {
  std::string s = base::format("usage: valdrix [--host H] [--port P] [--timeout MS] {}\n\n", synopsis(c));
  if (c.form == Form::raw)
    s += "Sends command CODE with the given payload and prints the answer.\n";
  else
    s += base::format("{}{} (command {}).\n", static_cast<char>(std::toupper(c.summary[0])),
                      c.summary.substr(1), client::hex16(c.code));
  const std::string args = form_help(c);
  if (!args.empty()) s += "\n" + args;
  const std::string_view answer = reply_help(c.reply);
  if (!answer.empty()) s += base::format("\n{}\n", answer);
  s += "\n";
  s += EXIT_HELP;
  std::fputs(s.c_str(), stdout);
}

struct UsageError {
  std::string message;
};

struct Problem {
  Exit exit;
  std::string message;
};

std::unexpected<Problem> usage(std::string message) {
  return std::unexpected(Problem{Exit::usage, std::move(message)});
}

struct Token {
  bool text;  // from --text: the string's bytes, not hex
  std::string_view value;
};

// A subcommand's arguments: positional ones and --text in the order given, other
// options by name.
struct Scanned {
  std::vector<Token> items;
  std::vector<std::pair<std::string_view, std::string_view>> options;
  bool help = false;

  std::optional<std::string_view> option(std::string_view name) const {
    std::optional<std::string_view> last;
    for (const auto& [n, v] : options)
      if (n == name) last = v;
    return last;
  }
};

bool takes_value(Form form, std::string_view opt) {
  switch (form) {
    case Form::wave: return opt == "-o";
    case Form::spi: return opt == "--rx-len" || opt == "--delay" || opt == "--text";
    case Form::i2c:
      return opt == "--delay" || opt == "--text" || opt == "--tsf1-count" || opt == "--tsf2-count" ||
             opt == "--tsf-rw" || opt == "--tsf-lens";
    case Form::uart: return opt == "--rx-len" || opt == "--timeout" || opt == "--text";
    case Form::raw: return opt == "--text";
    default: return false;
  }
}

bool known_flag(Form form, std::string_view opt) {
  switch (form) {
    case Form::wave: return opt == "--csv";
    case Form::spi:
    case Form::i2c:
    case Form::uart: return opt == "--trigger";
    default: return false;
  }
}

std::expected<Scanned, Problem> scan(const Command& c, int argc, char** argv, int first) {
  Scanned s;
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (!options_done && a == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && (a == "--help" || a == "-h")) {
      s.help = true;
      continue;
    }
    // "-5" is a (negative) value, never an option; the field says what it takes.
    const bool negative_number = a.size() >= 2 && a[0] == '-' && a[1] >= '0' && a[1] <= '9';
    if (options_done || a.size() < 2 || a[0] != '-' || negative_number) {
      s.items.push_back({false, a});
      continue;
    }
    std::string_view name = a, value;
    bool inline_value = false;
    if (auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inline_value = true;
    }
    if (takes_value(c.form, name)) {
      if (!inline_value) {
        if (i + 1 >= argc) return usage(base::format("{} needs a value", name));
        value = argv[++i];
      }
      if (name == "--text")
        s.items.push_back({true, value});
      else
        s.options.emplace_back(name, value);
      continue;
    }
    if (known_flag(c.form, name) && !inline_value) {
      s.options.emplace_back(name, std::string_view());
      continue;
    }
    return usage(base::format("unknown option '{}'", a));
  }
  return s;
}

void put_be(Bytes& out, std::uint64_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint64_t max_of(int width) { return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1; }

std::expected<std::uint64_t, Problem> number(std::string_view name, std::string_view text, int width) {
  auto v = client::parse_number(text, max_of(width));
  if (!v) return usage(base::format("{}: {}", name, v.error()));
  return *v;
}

std::expected<std::uint64_t, Problem> option_number(const Scanned& s, std::string_view name, int width,
                                                    std::uint64_t fallback) {
  auto text = s.option(name);
  if (!text) return fallback;
  return number(name, *text, width);
}

// A gain travels in one byte but is a percentage: its range is the unit's, not the byte's.
std::uint64_t field_max(const Field& f) { return f.name == "GAIN" ? 100 : max_of(f.width); }

// Packs the leading positional arguments as the fields' big-endian numbers.
std::expected<void, Problem> pack_fields(const std::vector<Field>& fields, const Scanned& s, Bytes& out) {
  if (s.items.size() < fields.size()) return usage(base::format("{} is missing", fields[s.items.size()].name));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (s.items[i].text) return usage(base::format("{} must be a number, not --text", fields[i].name));
    auto parsed = client::parse_number(s.items[i].value, field_max(fields[i]));
    if (!parsed) return usage(base::format("{}: {}", fields[i].name, parsed.error()));
    put_be(out, *parsed, fields[i].width);
  }
  return {};
}

std::expected<void, Problem> pack_bytes(const Scanned& s, std::size_t first, Bytes& out) {
  for (std::size_t i = first; i < s.items.size(); ++i) {
    const Token& t = s.items[i];
    if (t.text) {
      out.insert(out.end(), t.value.begin(), t.value.end());
      continue;
    }
    if (auto r = client::append_byte_argument(t.value, out); !r)
      return std::unexpected(Problem{t.value.starts_with('@') ? Exit::local : Exit::usage, r.error()});
  }
  return {};
}

struct Plan {
  std::uint16_t code = 0;
  Bytes payload;
  int extra_wait_ms = 0;
  // osc-get-channel-wave
  std::uint32_t wave_offset = 0;
  std::uint32_t wave_length = 0;
  std::optional<std::string> out_file;
  bool csv = false;
};

std::expected<Plan, Problem> plan(const Command& c, const Scanned& s) {
  Plan p;
  p.code = c.code;
  Bytes& out = p.payload;
  auto no_more_than = [&](std::size_t n) -> std::expected<void, Problem> {
    if (s.items.size() > n) return usage(base::format("unexpected argument '{}'", s.items[n].value));
    return {};
  };
  switch (c.form) {
    case Form::fields: {
      if (auto r = pack_fields(c.fields, s, out); !r) return std::unexpected(r.error());
      if (auto r = no_more_than(c.fields.size()); !r) return std::unexpected(r.error());
      break;
    }
    case Form::log_level: {
      if (s.items.empty()) return usage("NAME is missing");
      if (auto r = no_more_than(1); !r) return std::unexpected(r.error());
      out.assign(s.items[0].value.begin(), s.items[0].value.end());
      break;
    }
    case Form::wave: {
      if (auto r = pack_fields(c.fields, s, out); !r) return std::unexpected(r.error());
      if (auto r = no_more_than(c.fields.size()); !r) return std::unexpected(r.error());
      p.wave_offset = base::load_be32(&out[1]);
      p.wave_length = base::load_be32(&out[5]);
      if (auto f = s.option("-o")) p.out_file = std::string(*f);
      p.csv = s.option("--csv").has_value();
      if (p.csv && p.out_file) return usage("-o and --csv exclude each other");
      break;
    }
    case Form::spi: {
      auto rx_len = option_number(s, "--rx-len", 2, 0);
      auto delay = option_number(s, "--delay", 4, 0);
      if (!rx_len) return std::unexpected(rx_len.error());
      if (!delay) return std::unexpected(delay.error());
      put_be(out, s.option("--delay") ? 1 : 0, 1);
      put_be(out, *delay, 4);
      put_be(out, *rx_len, 2);
      put_be(out, s.option("--trigger") ? 1 : 0, 1);
      if (auto r = pack_bytes(s, 0, out); !r) return std::unexpected(r.error());
      break;
    }
    case Form::i2c: {
      auto delay = option_number(s, "--delay", 4, 0);
      auto tsf1 = option_number(s, "--tsf1-count", 1, 0);
      auto tsf2 = option_number(s, "--tsf2-count", 1, 0);
      auto rw = option_number(s, "--tsf-rw", 1, 0);
      for (auto* r : {&delay, &tsf1, &tsf2, &rw})
        if (!*r) return std::unexpected(r->error());
      std::vector<std::uint64_t> lens;
      if (auto text = s.option("--tsf-lens")) {
        std::string_view rest = *text;
        while (true) {
          const auto comma = rest.find(',');
          auto v = number("--tsf-lens", rest.substr(0, comma), 2);
          if (!v) return std::unexpected(v.error());
          lens.push_back(*v);
          if (comma == std::string_view::npos) break;
          rest.remove_prefix(comma + 1);
        }
        if (lens.size() > 8) return usage("--tsf-lens: at most 8 segment lengths");
      }
      lens.resize(8, 0);
      put_be(out, s.option("--delay") ? 1 : 0, 1);
      put_be(out, *delay, 4);
      put_be(out, *tsf1, 1);
      put_be(out, *tsf2, 1);
      put_be(out, *rw, 1);
      for (auto len : lens) put_be(out, len, 2);
      put_be(out, s.option("--trigger") ? 1 : 0, 1);
      if (auto r = pack_bytes(s, 0, out); !r) return std::unexpected(r.error());
      break;
    }
    case Form::uart: {
      auto rx_len = option_number(s, "--rx-len", 2, 0);
      auto timeout = option_number(s, "--timeout", 4, DEFAULT_UART_TIMEOUT_MS);
      if (!rx_len) return std::unexpected(rx_len.error());
      if (!timeout) return std::unexpected(timeout.error());
      put_be(out, *rx_len, 2);
      put_be(out, s.option("--trigger") ? 1 : 0, 1);
      put_be(out, *timeout, 4);
      if (auto r = pack_bytes(s, 0, out); !r) return std::unexpected(r.error());
      p.extra_wait_ms = static_cast<int>(std::min<std::uint64_t>(*timeout, 1u << 30)) + UART_ANSWER_MARGIN_MS;
      break;
    }
    case Form::raw: {
      Bytes code;
      if (auto r = pack_fields(c.fields, s, code); !r) return std::unexpected(r.error());
      p.code = base::load_be16(code.data());
      if (auto r = pack_bytes(s, 1, out); !r) return std::unexpected(r.error());
      break;
    }
  }
  return p;
}

// Writes everything or reports why not.
bool write_all(std::FILE* f, const void* data, std::size_t size) {
  return size == 0 || std::fwrite(data, 1, size, f) == size;
}

std::expected<void, Problem> print_wave(const Plan& p, const Bytes& payload) {
  if (p.out_file) {
    const bool to_stdout = *p.out_file == "-";
    std::FILE* f = to_stdout ? stdout : std::fopen(p.out_file->c_str(), "wb");
    if (f == nullptr)
      return std::unexpected(Problem{Exit::local, base::format("cannot open '{}': {}", *p.out_file,
                                                                std::strerror(errno))});
    bool ok = write_all(f, payload.data(), payload.size());
    ok = (to_stdout ? std::fflush(f) : std::fclose(f)) == 0 && ok;
    if (!ok) return std::unexpected(Problem{Exit::local, base::format("cannot write '{}'", *p.out_file)});
    if (!to_stdout)
      std::printf("%u samples (%zu bytes) written to %s\n", p.wave_length, payload.size(), p.out_file->c_str());
    return {};
  }
  // Samples are little-endian on the wire, as the sample memory holds them.
  std::string text;
  if (p.csv) text = "sample,value\n";
  for (std::size_t i = 0; i + 1 < payload.size(); i += 2) {
    const auto sample = static_cast<std::int16_t>(payload[i] | (payload[i + 1] << 8));
    if (p.csv) text += base::format("{},", std::uint64_t{p.wave_offset} + i / 2);
    text += base::format("{}\n", sample);
    if (text.size() > 60000) {
      write_all(stdout, text.data(), text.size());
      text.clear();
    }
  }
  write_all(stdout, text.data(), text.size());
  return {};
}

std::expected<void, Problem> print_answer(const Command& c, const Plan& p, const Bytes& payload) {
  auto expect_size = [&](std::size_t n) -> std::expected<void, Problem> {
    if (payload.size() != n)
      return std::unexpected(Problem{
          Exit::bad_response, base::format("invalid response: {} answer bytes, expected {}", payload.size(), n)});
    return {};
  };
  switch (c.reply) {
    case Reply::none:
      std::puts("ok");
      return {};
    case Reply::text:
      std::printf("%.*s\n", static_cast<int>(payload.size()), reinterpret_cast<const char*>(payload.data()));
      return {};
    case Reply::u8:
    case Reply::u16:
    case Reply::u32: {
      const int width = c.reply == Reply::u8 ? 1 : c.reply == Reply::u16 ? 2 : 4;
      if (auto r = expect_size(static_cast<std::size_t>(width)); !r) return r;
      std::uint32_t v = 0;
      for (auto b : payload) v = (v << 8) | b;
      std::puts(client::number_text(v, width).c_str());
      return {};
    }
    case Reply::bytes:
    case Reply::raw:
      std::fputs(payload.empty() ? "(no bytes)\n" : client::hex_dump(payload).c_str(), stdout);
      return {};
    case Reply::wave:
      if (auto r = expect_size(std::size_t{p.wave_length} * 2); !r) return r;
      return print_wave(p, payload);
  }
  return {};
}

struct StatusInfo {
  std::string_view name;
  std::string_view text;  // what the service means by it, for answers without a message
  Exit exit;
};

StatusInfo status_info(std::uint16_t status) {
  switch (status) {
    case client::STATUS_BUSY: return {"Busy", "Device is busy", Exit::busy};
    case client::STATUS_TIMEOUT: return {"TimeOut", "Operation timed out", Exit::timeout};
    case client::STATUS_UNSUPPORTED: return {"Unsupport", "Unsupported operation", Exit::unsupported};
    default: return {"InternalError", "", Exit::internal};
  }
}

struct Globals {
  std::string host = "127.0.0.1";
  std::uint16_t port = DEFAULT_PORT;
  int timeout_ms = DEFAULT_TIMEOUT_MS;
};

int report(std::string_view where, const Problem& p) {
  std::fprintf(stderr, "valdrix: %.*s%s%s\n", static_cast<int>(where.size()), where.data(),
               where.empty() ? "" : ": ", p.message.c_str());
  return static_cast<int>(p.exit);
}

int usage_error(const Command* c, const std::string& message) {
  if (c == nullptr) {
    std::fprintf(stderr, "valdrix: %s\nTry 'valdrix --help'.\n", message.c_str());
  } else {
    std::fprintf(stderr, "valdrix: %.*s: %s\nusage: valdrix [OPTIONS] %s\nTry 'valdrix %.*s --help'.\n",
                 static_cast<int>(c->name.size()), c->name.data(), message.c_str(), synopsis(*c).c_str(),
                 static_cast<int>(c->name.size()), c->name.data());
  }
  return static_cast<int>(Exit::usage);
}

int run(const Command& c, const Globals& g, const Plan& p) {
  auto conn = client::Connection::open(g.host, g.port, g.timeout_ms);
  if (!conn) return report(c.name, {conn.error().exit, conn.error().message});
  const int wait_ms = std::max(g.timeout_ms, p.extra_wait_ms);
  auto answer = conn->call(p.code, p.payload, wait_ms);
  if (!answer) return report(c.name, {answer.error().exit, answer.error().message});
  if (answer->status != client::STATUS_OK) {
    const StatusInfo info = status_info(answer->status);
    std::string message(answer->payload.begin(), answer->payload.end());
    if (message.empty()) message = info.text;
    std::fprintf(stderr, "valdrix: %.*s: %.*s (status %s)%s%s\n", static_cast<int>(c.name.size()),
                 c.name.data(), static_cast<int>(info.name.size()), info.name.data(),
                 client::hex16(answer->status).c_str(), message.empty() ? "" : ": ", message.c_str());
    return static_cast<int>(info.exit);
  }
  if (auto r = print_answer(c, p, answer->payload); !r) return report(c.name, r.error());
  return std::fflush(stdout) == 0 ? 0 : static_cast<int>(Exit::local);
}

}  // namespace

int main(int argc, char** argv) {
  Globals g;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.empty() || a[0] != '-') break;
    if (a == "--help" || a == "-h") {
      print_main_help();
      return 0;
    }
    std::string_view name = a, value;
    if (auto eq = a.find('='); eq != std::string_view::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    } else if (a == "--host" || a == "--port" || a == "--timeout") {
      if (i + 1 >= argc) return usage_error(nullptr, base::format("{} needs a value", a));
      value = argv[++i];
    }
    if (name == "--host") {
      if (value.empty()) return usage_error(nullptr, "--host needs a value");
      g.host = std::string(value);
    } else if (name == "--port") {
      auto v = client::parse_number(value, 65535);
      if (!v || *v == 0) return usage_error(nullptr, base::format("--port: '{}' is not a port (1 to 65535)", value));
      g.port = static_cast<std::uint16_t>(*v);
    } else if (name == "--timeout") {
      auto v = client::parse_number(value, 1u << 30);
      if (!v || *v == 0)
        return usage_error(nullptr, base::format("--timeout: '{}' is not a number of milliseconds", value));
      g.timeout_ms = static_cast<int>(*v);
    } else {
      return usage_error(nullptr, base::format("unknown option '{}'", a));
    }
  }
  if (i >= argc) return usage_error(nullptr, "no command given");
  std::string_view name = argv[i];
  if (name == "help") {
    if (i + 1 >= argc) {
      print_main_help();
      return 0;
    }
    name = argv[++i];
    const Command* c = find_command(name);
    if (c == nullptr) return usage_error(nullptr, base::format("unknown command '{}'", name));
    print_command_help(*c);
    return 0;
  }
  const Command* c = find_command(name);
  if (c == nullptr) return usage_error(nullptr, base::format("unknown command '{}'", name));
  auto scanned = scan(*c, argc, argv, i + 1);
  if (!scanned) return usage_error(c, scanned.error().message);
  if (scanned->help) {
    print_command_help(*c);
    return 0;
  }
  auto p = plan(*c, *scanned);
  if (!p) {
    if (p.error().exit == Exit::usage) return usage_error(c, p.error().message);
    return report(c->name, p.error());
  }
  return run(*c, g, *p);
}
