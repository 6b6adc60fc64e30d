#include "base/error.h"

#include <cstring>
#include <string_view>

namespace base {

std::vector<std::string> Error::chain() const {
  std::vector<std::string> out;
  for (const Error* e = this; e != nullptr; e = e->cause()) out.push_back(e->message());
  return out;
}

std::string Error::describe() const {
  std::string out;
  for (const Error* e = this; e != nullptr; e = e->cause()) {
    if (e != this) out += ": ";
    out += e->message();
  }
  return out;
}

std::string errno_description(int err) {
  const char* d = ::strerrordesc_np(err);
  return d != nullptr ? std::string(d) : "Unknown error " + std::to_string(err);
}

std::string errno_text(int err) {
  const char* n = ::strerrorname_np(err);
  std::string name = n != nullptr ? std::string(n) : "E" + std::to_string(err);
  return name + ": " + errno_description(err);
}

Error os_error(std::string_view call, int err) {
  std::string msg(call);
  msg += ": ";
  msg += errno_description(err);
  return Error(std::move(msg));
}

}  // namespace base
