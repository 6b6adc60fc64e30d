#include "base/format.h"

#include <cstdio>

namespace base::detail {

void append_value(std::string& out, double v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

bool copy_until_placeholder(std::string& out, std::string_view fmt, std::size_t& pos) {
  while (pos < fmt.size()) {
    char c = fmt[pos];
    if (c == '{' && pos + 1 < fmt.size()) {
      if (fmt[pos + 1] == '}') {
        pos += 2;
        return true;
      }
      if (fmt[pos + 1] == '{') {
        out.push_back('{');
        pos += 2;
        continue;
      }
    } else if (c == '}' && pos + 1 < fmt.size() && fmt[pos + 1] == '}') {
      out.push_back('}');
      pos += 2;
      continue;
    }
    out.push_back(c);
    ++pos;
  }
  return false;
}

}  // namespace base::detail
