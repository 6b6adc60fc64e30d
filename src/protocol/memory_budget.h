#pragma once
// What the connections together may hold for request payloads and answers.
//
// The instrument is a 32-bit ARM with a few hundred MiB of memory shared with the
// kernel's socket buffers, and every connection is served by a thread of its own,
// so what a connection holds must follow what its client actually sent or reads,
// and the sum must stay bounded whatever the clients announce.
//
// Each connection may always hold CONNECTION_ALLOWANCE bytes: its read-ahead, its
// held-back answers and the payload of any request but a large upload fit in it,
// so a few large uploads can never starve a connection that only sends commands.
// What a connection holds beyond its allowance comes out of one shared budget of
// MEMORY_BUDGET bytes; a payload that cannot get its next share is refused.
//
// Thread-safe: the shared budget is one atomic counter; an Account belongs to one
// connection thread.
#include <atomic>
#include <cstddef>

namespace protocol {

// 64 MiB: four of the largest uploads (16 MiB each) at once, or sixty-four wave
// read-outs streaming in 1 MiB chunks, and still well under a quarter of what the
// instrument's Linux has, so the kernel keeps room for socket buffers and for the
// system's other processes when clients push as hard as they can.
inline constexpr std::size_t MEMORY_BUDGET = std::size_t{64} << 20;
// 64 KiB: read-ahead and held-back answers (16 KiB each) plus a payload of up to
// 32 KiB, which covers every fixed record and the bus transfers a script sends.
inline constexpr std::size_t CONNECTION_ALLOWANCE = std::size_t{64} << 10;

class MemoryBudget {
 public:
  // The process's budget, MEMORY_BUDGET bytes unless a test set another limit.
  static MemoryBudget& shared();

  bool try_take(std::size_t bytes);
  // For memory that is already committed (an answer to a transfer that ran):
  // counted even when it overdraws the budget, so later payloads wait for it.
  void take_anyway(std::size_t bytes);
  void give_back(std::size_t bytes);

  std::size_t in_use() const { return used_.load(std::memory_order_relaxed); }
  std::size_t limit() const { return limit_.load(std::memory_order_relaxed); }
  // Returns the previous limit.
  std::size_t set_limit(std::size_t bytes) { return limit_.exchange(bytes); }

 private:
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> limit_{MEMORY_BUDGET};
};

// One connection's holdings: the first CONNECTION_ALLOWANCE bytes are its own, the
// rest is drawn from the shared budget and given back as it shrinks.
class Account {
 public:
  explicit Account(MemoryBudget& budget = MemoryBudget::shared()) : budget_(budget) {}
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;
  ~Account() { release(held_); }

  // False, with nothing charged, when the budget cannot supply the part above
  // the allowance.
  bool charge(std::size_t bytes);
  void charge_anyway(std::size_t bytes);
  void release(std::size_t bytes);
  std::size_t held() const { return held_; }

 private:
  std::size_t beyond(std::size_t held) const { return held > CONNECTION_ALLOWANCE ? held - CONNECTION_ALLOWANCE : 0; }
  MemoryBudget& budget_;
  std::size_t held_ = 0;
};

}  // namespace protocol
