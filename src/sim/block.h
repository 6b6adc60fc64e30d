#pragma once
// A register block of the simulated programmable logic, at its physical address.
// Thread-safe: every access takes the block's lock, so models see one access at a
// time. Unless a model says otherwise, a register reads back the last value written.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

struct Access {
  enum class Op : std::uint8_t { Read, Write };
  Op op;
  std::uint32_t offset;  // byte offset inside the block
  std::uint32_t value;   // value written, or value the read returned
  bool operator==(const Access&) const = default;
};

inline Access rd(std::uint32_t offset, std::uint32_t value) { return {Access::Op::Read, offset, value}; }
inline Access wr(std::uint32_t offset, std::uint32_t value) { return {Access::Op::Write, offset, value}; }

class Block {
 public:
  Block(std::string name, std::uint64_t base, std::size_t size);
  virtual ~Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  const std::string& name() const { return name_; }
  std::uint64_t base() const { return base_; }
  std::size_t size() const { return size_; }

  // One 32-bit access at a byte offset inside the block; recorded in the access log.
  std::uint32_t read(std::size_t offset);
  void write(std::size_t offset, std::uint32_t value);
  // Bulk read-out; not recorded. The default assembles bytes from read-back values.
  virtual void copy_out(std::size_t offset, std::uint8_t* dst, std::size_t len);

  // The ordered access log, recorded while recording is on (it is off unless a test
  // or a tool asks for it, so a long run does not grow it without bound).
  void set_recording(bool on);
  std::vector<Access> accesses() const;
  std::vector<Access> writes() const;
  void clear_accesses();

 protected:
  // Called with mu_ held. Defaults: read back the last value written.
  virtual std::uint32_t on_read(std::size_t offset);
  virtual void on_write(std::size_t offset, std::uint32_t value);

  std::uint32_t reg(std::size_t offset) const;  // last stored value (0 if never)
  void set_reg(std::size_t offset, std::uint32_t value);

  mutable std::mutex mu_;

 private:
  const std::string name_;
  const std::uint64_t base_;
  const std::size_t size_;
  std::unordered_map<std::size_t, std::uint32_t> regs_;
  bool recording_ = false;
  std::vector<Access> log_;
};

}  // namespace sim
