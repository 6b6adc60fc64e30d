#pragma once
// What code running on a connection's thread may ask of its connection: handlers
// whose answer is too large to build stream it, and bus transfers that wait on
// hardware learn whether their client is still there.
//
// Thread-safety: a connection is used only by its own thread; current() is that
// thread's connection.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/error.h"

namespace protocol {

class Connection {
 public:
  virtual ~Connection() = default;

  // Sends a success frame of `length` payload bytes, asking fill(dst, n) for the
  // next n of them as the socket takes them, so the connection holds one chunk
  // whatever the length. fill returns how many it wrote: fewer than n sends what
  // the connection holds at once, then it asks for the rest (a producer whose
  // next bytes may take long lets the finished ones go). The answer is then
  // sent: the handler returns an empty result, which is dropped. Fails when the
  // client has gone, also when fill found it gone through client_gone(); the
  // connection then ends.
  //
  // `chunk` bounds the bytes gathered between two sends (0: the connection's
  // own choice, a few MiB): an answer that is produced slowly, such as a batch
  // of captures, goes out in smaller pieces, so the kernel sends one while the
  // next is made, and the answers held back before it are sent first instead of
  // with its first piece.
  virtual base::Result<void> stream_answer(std::uint64_t length,
                                           const std::function<std::size_t(std::uint8_t*, std::size_t)>& fill,
                                           std::size_t chunk = 0) = 0;

  // For a transfer about to sleep: tells whether the client has reset or closed
  // the connection (or only shut down its sending side, which looks the same
  // from here). Once true, the answer of the running request is dropped and the
  // connection ends.
  virtual bool client_gone() = 0;

  // The calling thread's connection, null outside connection threads.
  static Connection* current();
};

// Connection::current()->client_gone(), false outside connection threads.
bool client_gone();

}  // namespace protocol
