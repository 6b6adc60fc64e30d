// The valdrix command-line client, run as a child process against a spawned
// valdrixd-sim, and against a one-shot fake server for the answers the simulator
// never gives (Busy, broken frames, silence) and for the exact request bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/process.h"

namespace {

using support::ByteVec;
using support::Process;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome valdrix(std::uint16_t port, std::vector<std::string> args) {
  args.insert(args.begin(), {"--port", std::to_string(port)});
  Process p(support::bin_dir() + "/valdrix", args);
  auto status = p.wait(60000);
  if (!status) {
    p.kill(SIGKILL);
    p.wait(5000);
  }
  return {status.value_or(-1), p.out(), p.err()};
}

std::string hex_of(const ByteVec& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string s;
  for (auto b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 0xF]);
  }
  return s;
}

std::string temp_file(const std::string& tag) {
  return "/tmp/valdrix-cli-" + tag + "-" + std::to_string(::getpid());
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The subcommands that valdrix --help lists.
std::set<std::string> listed_commands() {
  Outcome help = valdrix(1, {"--help"});
  std::set<std::string> names;
  bool in_list = false;
  for (const auto& line : lines_of(help.out)) {
    if (line == "Commands:") {
      in_list = true;
      continue;
    }
    if (in_list && line.empty()) break;
    if (in_list) names.insert(line.substr(2, line.find(' ', 2) - 2));
  }
  return names;
}

class ValdrixCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    port_ = support::free_port();
    sim_ = new Process(support::bin_dir() + "/valdrixd-sim", {"--port", std::to_string(port_)}, {"NO_COLOR=1"});
    ASSERT_TRUE(Process::wait_for_port(port_)) << sim_->err();
  }
  static void TearDownTestSuite() {
    sim_->kill(SIGTERM);
    sim_->wait(5000);
    delete sim_;
    sim_ = nullptr;
  }

  static Outcome run(std::vector<std::string> args) { return valdrix(port_, std::move(args)); }

  // Runs a command until its output is `wanted` (bounded); for state that
  // settles behind an answer, like bytes still arriving in the UART's FIFO.
  static Outcome run_until(const std::vector<std::string>& args, const std::string& wanted) {
    Outcome r;
    for (int i = 0; i < 100; ++i) {
      r = run(args);
      if (r.out == wanted) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return r;
  }

  static inline std::uint16_t port_ = 0;
  static inline Process* sim_ = nullptr;
};

struct Case {
  std::vector<std::string> args;
  std::string out;
};

TEST_F(ValdrixCli, EverySubcommandPrintsItsAnswer) {
  const std::string ok = "ok\n";
  // In an order that leaves the instrument in a state for the next one.
  const std::vector<Case> cases = {
      {{"get-id"}, "VALDRIX-M4-123456\n"},
      {{"get-name"}, "Valdrix-M4\n"},
      {{"get-version"}, "0.0.1\n"},
      {{"write-register", "0x40000000", "0x20", "0xCAFEF00D"}, ok},
      {{"read-register", "0x40000000", "32"}, "3405705229 (0xcafef00d)\n"},
      {{"set-log-level", "Info"}, ok},
      {{"osc-set-channel-enable"}, "1 (0x01)\n"},
      {{"osc-set-channel-gain", "1", "100"}, ok},
      {{"osc-set-channel-gain-raw", "2", "0xFF"}, ok},
      {{"osc-set-sample-clock-phase", "45"}, ok},
      {{"osc-set-trigger-delay", "0"}, ok},
      {{"osc-set-sample-rate", "48000"}, ok},
      {{"osc-set-trigger-source", "2"}, ok},
      {{"osc-set-trigger-mode", "0"}, ok},
      {{"osc-set-trigger-edge", "2"}, ok},
      {{"osc-set-trigger-edge-level", "0x8000"}, ok},
      {{"osc-set-sample-length", "1000"}, ok},
      {{"osc-set-single"}, ok},
      {{"osc-set-force"}, ok},
      {{"osc-get-trigger-status"}, "258 (0x00000102)\n"},
      {{"nut-set-voltage-value", "3300"}, ok},
      {{"nut-set-voltage-raw-value", "213"}, ok},
      {{"nut-set-voltage-enable", "1"}, ok},
      {{"nut-set-clock", "24000"}, ok},
      {{"nut-clock-enable", "1"}, ok},
      {{"spi-config", "4", "0", "0"}, ok},
      {{"spi-enable", "1"}, ok},
      {{"spi-transceive", "--rx-len", "4", "DE", "AD", "BE", "EF"},
       "00000000  de ad be ef                                       |....|\n"},
      {{"spi-reset"}, ok},
      {{"i2c-config", "0x50", "1"}, ok},
      {{"i2c-enable", "1"}, ok},
      {{"i2c-reset"}, ok},
      {{"uart-config", "0", "0", "8", "115200"}, ok},
      {{"uart-enable", "1"}, ok},
      {{"uart-reset"}, ok},
      {{"uart-receive-fifo-clear"}, ok},
      {{"uart-transceive", "--rx-len", "5", "--timeout", "100", "--text", "hello"},
       "00000000  68 65 6c 6c 6f                                    |hello|\n"},
      {{"uart-receive-fifo-remained"}, "0 (0x0000)\n"},
      {{"uart-receive-fifo-dump"}, "(no bytes)\n"},
      {{"raw", "0x0002"}, "00000000  56 61 6c 64 72 69 78 2d  4d 34                    |Valdrix-M4|\n"},
  };
  std::set<std::string> covered{"osc-get-channel-wave", "i2c-transceive"};  // own tests below
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    covered.insert(c.args[0]);
  }
  EXPECT_EQ(covered, listed_commands());
  EXPECT_EQ(covered.size(), 42u);
}

TEST_F(ValdrixCli, ErrorAnswersGoToStandardErrorWithTheirExitStatus) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"set-log-level", "off"}, 6, "valdrix: set-log-level: InternalError (status 0x8000): Invalid log level\n"},
      {{"read-register", "0x43C10004", "0"}, 6, "valdrix: read-register: InternalError (status 0x8000): Opening Axi\n"},
      {{"nut-set-voltage-value", "1800"}, 6,
       "valdrix: nut-set-voltage-value: InternalError (status 0x8000): Setting voltage to 1800\n"},
      {{"raw", "0x7777", "01", "02"}, 5, "valdrix: raw: Unsupport (status 0x8001): Unsupported operation\n"},
      {{"raw", "0x0100", "--text", "x"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
  Outcome parse = run({"osc-set-trigger-source", "4"});
  EXPECT_EQ(parse.status, 6);
  EXPECT_EQ(parse.err.rfind("valdrix: osc-set-trigger-source: InternalError (status 0x8000): parse u8 range error:", 0),
            0u)
      << parse.err;
}

TEST_F(ValdrixCli, WaveAsSamplesCsvAndRawFile) {
  ASSERT_EQ(run({"osc-set-channel-gain", "1", "100"}).status, 0);
  ASSERT_EQ(run({"nut-set-clock", "4000"}).status, 0);
  ASSERT_EQ(run({"osc-set-sample-length", "2048"}).status, 0);
  ASSERT_EQ(run({"osc-set-single"}).status, 0);
  ASSERT_EQ(run({"osc-set-force"}).status, 0);
  ASSERT_EQ(run({"osc-get-trigger-status"}).out, "258 (0x00000102)\n");

  const std::string file = temp_file("wave");
  Outcome raw = run({"osc-get-channel-wave", "1", "0", "2048", "-o", file});
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out, "2048 samples (4096 bytes) written to " + file + "\n");
  const std::string bytes = slurp(file);
  ::unlink(file.c_str());
  ASSERT_EQ(bytes.size(), 4096u);
  std::vector<int> samples;
  for (std::size_t i = 0; i < bytes.size(); i += 2)
    samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                                (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));

  Outcome listed = run({"osc-get-channel-wave", "1", "0", "2048"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  auto lines = lines_of(listed.out);
  ASSERT_EQ(lines.size(), 2048u);
  bool negative = false, positive = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], std::to_string(samples[i])) << "sample " << i;
    negative = negative || samples[i] < 0;
    positive = positive || samples[i] > 0;
  }
  EXPECT_TRUE(negative && positive) << "a sine has both signs";

  // The first two samples straight from sample memory: one little-endian word.
  const std::uint32_t word =
      static_cast<std::uint16_t>(samples[0]) | (std::uint32_t{static_cast<std::uint16_t>(samples[1])} << 16);
  char expected[32];
  std::snprintf(expected, sizeof expected, "%u (0x%08x)\n", word, word);
  EXPECT_EQ(run({"read-register", "0x10000000", "0"}).out, expected);

  Outcome csv = run({"osc-get-channel-wave", "1", "2046", "2", "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "sample,value\n2046," + std::to_string(samples[2046]) + "\n2047," +
                         std::to_string(samples[2047]) + "\n");

  Outcome channel_b = run({"osc-get-channel-wave", "2", "0", "4"});
  EXPECT_EQ(channel_b.status, 0);
  EXPECT_EQ(lines_of(channel_b.out).size(), 4u);
  EXPECT_EQ(run({"osc-get-channel-wave", "1", "0", "0"}).out, "");
  EXPECT_EQ(run({"osc-get-channel-wave", "3", "0", "4"}).status, 6);
}

TEST_F(ValdrixCli, I2cMemoryRoundTrip) {
  ASSERT_EQ(run({"i2c-config", "0x50", "1"}).status, 0);
  ASSERT_EQ(run({"i2c-enable", "1"}).status, 0);
  Outcome write = run({"i2c-transceive", "--tsf1-count", "1", "--tsf-lens", "5", "20", "11223344"});
  ASSERT_EQ(write.status, 0) << write.err;
  EXPECT_EQ(write.out, "(no bytes)\n");
  // A write-only transaction answers at once; its controller's status register
  // (0xC0 of the power and bus block) says when it is done.
  EXPECT_EQ(run_until({"read-register", "0x43C10000", "0xC0"}, "0 (0x00000000)\n").out, "0 (0x00000000)\n");
  Outcome read = run({"i2c-transceive", "--tsf1-count=1", "--tsf2-count=1", "--tsf-rw", "2", "--tsf-lens", "1,4", "20"});
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, "00000000  11 22 33 44                                       |.\"3D|\n");
}

TEST_F(ValdrixCli, UartTimeOutLeavesTheBytesInTheFifo) {
  const std::string file = temp_file("uart");
  std::string data;
  for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>('0' + i % 10));
  std::ofstream(file, std::ios::binary) << data;
  ASSERT_EQ(run({"uart-config", "0", "0", "8", "9600"}).status, 0);
  ASSERT_EQ(run({"uart-receive-fifo-clear"}).status, 0);
  Outcome r = run({"uart-transceive", "--rx-len", "100", "--timeout", "20", "@" + file});
  ::unlink(file.c_str());
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "valdrix: uart-transceive: TimeOut (status 0x0002): Operation timed out\n");
  EXPECT_EQ(run_until({"uart-receive-fifo-remained"}, "100 (0x0064)\n").out, "100 (0x0064)\n");
  Outcome dump = run({"uart-receive-fifo-dump"});
  ASSERT_EQ(dump.status, 0);
  auto lines = lines_of(dump.out);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "00000000  30 31 32 33 34 35 36 37  38 39 30 31 32 33 34 35  |0123456789012345|");
  EXPECT_EQ(lines[6], "00000060  36 37 38 39                                       |6789|");
  Outcome bad = run({"uart-config", "0", "0", "8", "4800"});
  EXPECT_EQ(bad.status, 6);
  EXPECT_EQ(bad.err, "valdrix: uart-config: InternalError (status 0x8000): Configuring UART\n");
}

TEST_F(ValdrixCli, HelpForEveryCommand) {
  Outcome main_help = run({"--help"});
  EXPECT_EQ(main_help.status, 0);
  for (const char* line : {"  3  Busy (status 0x0001)", "  4  TimeOut (status 0x0002)", "  5  Unsupport (status 0x8001)",
                           "  6  InternalError (status 0x8000)", "  7  connection failure", "  8  no answer"})
    EXPECT_NE(main_help.out.find(line), std::string::npos) << line;
  const auto names = listed_commands();
  ASSERT_EQ(names.size(), 42u);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    Outcome r = run({name, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: valdrix [--host H] [--port P] [--timeout MS] " + name, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Exit status:"), std::string::npos);
  }
  EXPECT_EQ(run({"help", "spi-transceive"}).out, run({"spi-transceive", "--help"}).out);
}

TEST(ValdrixUsage, MistakesExitTwoWithAClearMessage) {
  const struct {
    std::vector<std::string> args;
    std::string first_line;
  } cases[] = {
      {{}, "valdrix: no command given"},
      {{"get-idd"}, "valdrix: unknown command 'get-idd'"},
      {{"read-register", "0x43C10000"}, "valdrix: read-register: OFFSET is missing"},
      {{"get-id", "extra"}, "valdrix: get-id: unexpected argument 'extra'"},
      {{"osc-set-channel-gain", "256", "1"}, "valdrix: osc-set-channel-gain: CHANNEL: 256 is out of range (at most 255)"},
      {{"osc-set-channel-gain", "1", "150"}, "valdrix: osc-set-channel-gain: GAIN: 150 is out of range (at most 100)"},
      {{"osc-set-channel-gain", "1", "-5"}, "valdrix: osc-set-channel-gain: GAIN: -5 is out of range (0 to 100)"},
      {{"write-register", "-5", "0", "0"}, "valdrix: write-register: BASE: -5 is out of range (0 to 4294967295)"},
      {{"write-register", "0", "0", "0x1FFFFFFFF"}, "valdrix: write-register: VALUE: 0x1FFFFFFFF is out of range (at most 4294967295)"},
      {{"nut-set-clock", "24k"}, "valdrix: nut-set-clock: KHZ: '24k' is not a number (decimal or 0x-hex)"},
      {{"spi-transceive", "XYZ"}, "valdrix: spi-transceive: 'XYZ' is not a hex byte string (like DE, 0xDEAD or @FILE)"},
      {{"spi-transceive", "ABC"}, "valdrix: spi-transceive: 'ABC' is not a hex byte string (like DE, 0xDEAD or @FILE)"},
      {{"spi-transceive", "--rx-len"}, "valdrix: spi-transceive: --rx-len needs a value"},
      {{"spi-transceive", "--rx-len", "65536"}, "valdrix: spi-transceive: --rx-len: 65536 is out of range (at most 65535)"},
      {{"i2c-transceive", "--tsf-lens", "1,2,3,4,5,6,7,8,9"}, "valdrix: i2c-transceive: --tsf-lens: at most 8 segment lengths"},
      {{"uart-transceive", "--bogus"}, "valdrix: uart-transceive: unknown option '--bogus'"},
      {{"osc-get-channel-wave", "1", "0", "4", "--csv", "-o", "x"}, "valdrix: osc-get-channel-wave: -o and --csv exclude each other"},
      {{"set-log-level"}, "valdrix: set-log-level: NAME is missing"},
      {{"--port", "70000", "get-id"}, "valdrix: --port: '70000' is not a port (1 to 65535)"},
      {{"--timeout", "0", "get-id"}, "valdrix: --timeout: '0' is not a number of milliseconds"},
      {{"--verbose", "get-id"}, "valdrix: unknown option '--verbose'"},
      {{"i2c-transceive", "--tsf-rw", "0b10"}, "valdrix: i2c-transceive: --tsf-rw: '0b10' is not a number (decimal or 0x-hex)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_line);
    std::vector<std::string> args = c.args;
    Process p(support::bin_dir() + "/valdrix", args);
    auto status = p.wait(10000);
    EXPECT_EQ(status, 2);
    auto lines = lines_of(p.err());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], c.first_line);
    EXPECT_EQ(p.out(), "");
  }
  Outcome missing = valdrix(1, {"spi-transceive", "@/nonexistent/valdrix-bytes"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "valdrix: spi-transceive: cannot read '/nonexistent/valdrix-bytes'\n");
}

TEST(ValdrixConnection, RefusedConnectionExitsSeven) {
  const std::uint16_t port = support::free_port();
  Outcome r = valdrix(port, {"get-id"});
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "valdrix: get-id: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused\n");
  EXPECT_EQ(r.out, "");
}

// Accepts one connection on 127.0.0.1, records one request frame and answers it
// with `reply`, or never answers when there is none.
class FakeServer {
 public:
  explicit FakeServer(std::optional<ByteVec> reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 1), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() { finish(); }

  std::uint16_t port() const { return port_; }
  // Stops serving; returns the request frame it received.
  ByteVec finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return request_;
  }

 private:
  bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (!stop_)
      if (::poll(&p, 1, 20) > 0) return true;
    return false;
  }
  bool read_exact(int fd, std::size_t n) {
    while (n > 0) {
      if (!wait_readable(fd)) return false;
      std::uint8_t buf[4096];
      ssize_t got = ::recv(fd, buf, std::min(n, sizeof buf), 0);
      if (got <= 0) return false;
      request_.insert(request_.end(), buf, buf + got);
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  void serve() {
    if (!wait_readable(fd_)) return;
    int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    if (read_exact(conn, 15)) {
      const std::size_t length = (std::size_t{request_[11]} << 24) | (request_[12] << 16) | (request_[13] << 8) | request_[14];
      if (read_exact(conn, length) && reply_) {
        ::send(conn, reply_->data(), reply_->size(), MSG_NOSIGNAL);
      } else {
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ::close(conn);
  }

  std::optional<ByteVec> reply_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  ByteVec request_;
  std::thread thread_;
};

ByteVec response(std::uint16_t status, const ByteVec& payload = {}, const char* magic = "VLDX", char direction = 'R') {
  const std::uint8_t header[13] = {static_cast<std::uint8_t>(magic[0]), static_cast<std::uint8_t>(magic[1]),
                                   static_cast<std::uint8_t>(magic[2]), static_cast<std::uint8_t>(magic[3]),
                                   0, 1, static_cast<std::uint8_t>(direction),
                                   static_cast<std::uint8_t>(status >> 8), static_cast<std::uint8_t>(status),
                                   0, 0, static_cast<std::uint8_t>(payload.size() >> 8),
                                   static_cast<std::uint8_t>(payload.size())};
  ByteVec r(sizeof header + payload.size());
  std::copy(std::begin(header), std::end(header), r.begin());
  std::copy(payload.begin(), payload.end(), r.begin() + sizeof header);
  return r;
}

TEST(ValdrixFake, RequestsCarryTheExactPayloadRecords) {
  const std::string file = temp_file("bytes");
  std::ofstream(file, std::ios::binary) << "\x01\x02";
  const struct {
    std::vector<std::string> args;
    std::uint16_t command;
    std::string payload;  // hex
  } cases[] = {
      {{"spi-transceive", "--rx-len", "0x10", "--trigger", "--delay", "5", "DEAD", "be", "--text", "A", "@" + file},
       0x023C, "01 00000005 0010 01 deadbe41 0102"},
      {{"spi-transceive"}, 0x023C, "00 00000000 0000 00"},
      {{"i2c-transceive", "--delay", "0x100", "--tsf1-count", "2", "--tsf2-count", "1", "--tsf-rw", "0x81", "--tsf-lens",
        "2,9,9,9,9,9,9,3", "--trigger", "0x5001"},
       0x024A, "01 00000100 02 01 81 0002 0009 0009 0009 0009 0009 0009 0003 01 5001"},
      {{"i2c-transceive", "--tsf-lens=7"}, 0x024A, "00 00000000 00 00 00 0007 0000 0000 0000 0000 0000 0000 0000 00"},
      {{"uart-transceive", "--rx-len", "5", "--trigger", "--text", "hello"}, 0x0263, "0005 01 000003e8 68656c6c6f"},
      {{"uart-transceive", "--timeout=0", "a"}, 0x0263, "0000 00 00000000 0a"},
      {{"osc-get-channel-wave", "2", "0x10", "65536"}, 0x0130, "02 00000010 00010000"},
      {{"spi-config", "0x1234", "1", "0"}, 0x023F, "1234 01 00"},
      {{"uart-config", "2", "4", "5", "115200"}, 0x0262, "02 04 05 0001c200"},
      {{"osc-set-trigger-edge-level", "65535"}, 0x0153, "ffff"},
      {{"set-log-level", "Warn"}, 0x0006, "5761726e"},
      {{"raw", "0xABCD", "0x0102", "3", "--text", "--"}, 0xABCD, "010203 2d2d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    FakeServer fake(response(0));
    Outcome r = valdrix(fake.port(), c.args);
    EXPECT_NE(r.status, 2) << r.err;
    std::string payload = c.payload;
    std::erase(payload, ' ');
    char header[40];
    std::snprintf(header, sizeof header, "564c4458000153%04x0000%08zx", c.command, payload.size() / 2);
    EXPECT_EQ(hex_of(fake.finish()), header + payload);
  }
  ::unlink(file.c_str());
}

TEST(ValdrixFake, StatusesAndBrokenAnswersHaveTheirOwnExitStatus) {
  const struct {
    std::optional<ByteVec> reply;
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {response(0x0001), {"i2c-transceive"}, 3, "valdrix: i2c-transceive: Busy (status 0x0001): Device is busy\n"},
      {response(0x0002), {"spi-transceive"}, 4, "valdrix: spi-transceive: TimeOut (status 0x0002): Operation timed out\n"},
      {response(0x8000), {"get-id"}, 6, "valdrix: get-id: InternalError (status 0x8000)\n"},
      {response(0, {0, 0, 0, 1}, "VLDY"), {"read-register", "0", "0"}, 9,
       "valdrix: read-register: invalid response from 127.0.0.1:{}: magic 'VLDY' instead of VLDX\n"},
      {response(0, {0, 0, 0, 1}, "VLDX", 'S'), {"read-register", "0", "0"}, 9,
       "valdrix: read-register: invalid response from 127.0.0.1:{}: direction 'S' instead of 'R'\n"},
      {response(0x0003), {"get-id"}, 9, "valdrix: get-id: invalid response from 127.0.0.1:{}: unknown status 0x0003\n"},
      {response(0, {0, 1}), {"read-register", "0", "0"}, 9,
       "valdrix: read-register: invalid response: 2 answer bytes, expected 4\n"},
      {response(0, {1, 0, 2}), {"osc-get-channel-wave", "1", "0", "2"}, 9,
       "valdrix: osc-get-channel-wave: invalid response: 3 answer bytes, expected 4\n"},
      {ByteVec{'V', 'L', 'D', 'X', 0}, {"get-id"}, 7,
       "valdrix: get-id: 127.0.0.1:{} closed the connection before the response header was complete (5 of 13 bytes)\n"},
      {std::nullopt, {"--timeout", "300", "get-id"}, 8,
       "valdrix: get-id: the response header did not arrive from 127.0.0.1:{} within 300 ms\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    FakeServer fake(c.reply);
    std::vector<std::string> args = c.args;
    // --port goes first; global options may follow it.
    Outcome r = valdrix(fake.port(), args);
    fake.finish();
    std::string err = c.err;
    if (auto at = err.find("{}"); at != std::string::npos) err.replace(at, 2, std::to_string(fake.port()));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
