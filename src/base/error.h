#pragma once
// The error value passed up by drivers and handlers: a message and an optional cause.
// context() wraps an error in a more specific message and never replaces it; the
// short text is the outermost message, the whole chain goes to the log.
#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace base {

class Error {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }

  // A new error with `message` as its own text and this error as its cause.
  Error context(std::string message) const { return Error(std::move(message), *this); }

  // Every message, outermost first.
  std::vector<std::string> chain() const;
  // The chain on one line, "outer: inner: innermost", for reports and tests.
  std::string describe() const;

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error(std::move(message)));
}

// The operating system's description of an error number ("No such file or directory").
std::string errno_description(int err);
// Its symbolic name and description ("EINVAL: Invalid argument").
std::string errno_text(int err);
// An error for a failed system call, naming the call: "bind 0.0.0.0:9761: Address already in use".
Error os_error(std::string_view call, int err);

}  // namespace base
