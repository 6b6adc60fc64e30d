#include <gtest/gtest.h>

#include "base/log.h"
#include "protocol/error.h"
#include "protocol/frame.h"

namespace {

using protocol::ProtocolError;
using Bytes = std::vector<std::uint8_t>;

Bytes plain(const base::Bytes& b) { return Bytes(b.begin(), b.end()); }

TEST(RequestHeader, ParsesFifteenBigEndianBytesWithoutValidating) {
  const std::uint8_t raw[] = {'X', 'Y', 'Z', 'W', 0xAB, 0xCD, 'Q', 0x02, 0x3C,
                              0xFE, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x99, 0x98};
  auto h = protocol::RequestHeader::parse(raw);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->magic, (std::array<std::uint8_t, 4>{'X', 'Y', 'Z', 'W'}));
  EXPECT_EQ(h->version, 0xABCD);
  EXPECT_EQ(h->direction, 'Q');
  EXPECT_EQ(h->command, 0x023C);
  EXPECT_EQ(h->reserved, (std::array<std::uint8_t, 2>{0xFE, 0xFF}));  // as received
  EXPECT_EQ(h->length, 0x01020304u);
  // Only the first fifteen bytes count; the round trip gives them back.
  auto back = h->to_bytes();
  EXPECT_TRUE(std::equal(back.begin(), back.end(), raw));

  auto short_one = protocol::RequestHeader::parse(std::span(raw, 14));
  ASSERT_FALSE(short_one);
  EXPECT_EQ(short_one.error().message(), "Buffer too short");
}

TEST(ResponseBytes, SuccessAndStatusOnlyErrors) {
  base::log::Capture cap;
  EXPECT_EQ(plain(protocol::to_response_bytes(base::Bytes{})),
            (Bytes{'V', 'L', 'D', 'X', 0x00, 0x01, 0x52, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(cap.entries().empty());  // success logs nothing

  struct Case {
    ProtocolError error;
    std::uint8_t hi, lo;
    const char* text;
  } cases[] = {{ProtocolError::busy(), 0x00, 0x01, "Device is busy"},
               {ProtocolError::time_out(), 0x00, 0x02, "Operation timed out"},
               {ProtocolError::unsupport(), 0x80, 0x01, "Unsupported operation"}};
  for (auto& c : cases) {
    cap.clear();
    auto bytes = plain(protocol::to_response_bytes(std::unexpected(c.error)));
    EXPECT_EQ(bytes, (Bytes{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', c.hi, c.lo, 0, 0, 0, 0}));
    ASSERT_EQ(cap.entries().size(), 1u);
    EXPECT_TRUE(cap.contains(base::log::Level::Error, "protocol::error", c.text));
  }
}

TEST(ResponseBytes, InternalErrorSendsOutermostMessageAndLogsTheChain) {
  base::log::Capture cap;
  base::Error e = base::Error("Failed to open AXI device: No such file or directory")
                      .context("Opening Axi");
  auto bytes = plain(protocol::to_response_bytes(std::unexpected(ProtocolError::internal(e))));
  Bytes expected{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', 0x80, 0x00, 0, 0, 0, 11};
  for (char c : std::string("Opening Axi")) expected.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(bytes, expected);
  auto entries = cap.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "Opening Axi");
  EXPECT_EQ(entries[1].message, "Caused by: Failed to open AXI device: No such file or directory");
  for (auto& en : entries) {
    EXPECT_EQ(en.level, base::log::Level::Error);
    EXPECT_EQ(en.target, "protocol::error");
  }

  cap.clear();
  auto three = base::Error("c").context("b").context("a");
  protocol::to_response_bytes(std::unexpected(ProtocolError::internal(three)));
  EXPECT_EQ(cap.messages("protocol::error"),
            (std::vector<std::string>{"a", "Caused by: b", "Caused by: c"}));

  auto empty = plain(protocol::to_response_bytes(std::unexpected(ProtocolError::internal(""))));
  EXPECT_EQ(empty, (Bytes{'V', 'L', 'D', 'X', 0x00, 0x01, 'R', 0x80, 0x00, 0, 0, 0, 0}));
}

TEST(ResponseBytes, LengthIsFourBytes) {
  base::Bytes payload(65536);
  std::fill(payload.begin(), payload.end(), 0x5A);
  auto r = protocol::to_response(base::Bytes(payload));
  EXPECT_EQ(r.length, 65536u);
  auto bytes = r.to_bytes();
  ASSERT_EQ(bytes.size(), 13u + 65536u);
  EXPECT_EQ(plain(base::Bytes(bytes.begin() + 9, bytes.begin() + 13)), (Bytes{0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(bytes.back(), 0x5A);
}

TEST(ProtocolErrorValue, CausesAndStatuses) {
  EXPECT_EQ(ProtocolError::busy().error(), nullptr);
  EXPECT_EQ(ProtocolError::busy().to_error().message(), "Device is busy");
  EXPECT_EQ(ProtocolError::time_out().to_error().message(), "Operation timed out");
  auto ie = ProtocolError::internal(base::Error("x").context("y"));
  ASSERT_NE(ie.error(), nullptr);
  EXPECT_EQ(ie.to_error().describe(), "y: x");
  EXPECT_EQ(ie.text(), "An internal error occurred");
  EXPECT_EQ(ie.status(), 0x8000);
}

}  // namespace
