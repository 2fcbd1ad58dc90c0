#pragma once

#include <string>

namespace Tavix::Testing {

/// True if `text` contains `part`.
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

/// The value of the first report line "  <name>   <value>" in `text`; "" if there is none.
inline std::string Field(const std::string& text, const std::string& name) {
  const std::string start = "\n  " + name + " ";
  const std::size_t at = ("\n" + text).find(start);
  if (at == std::string::npos) return "";
  const std::size_t value = text.find_first_not_of(' ', at + start.size() - 1);
  return text.substr(value, text.find('\n', value) - value);
}

}  // namespace Tavix::Testing
