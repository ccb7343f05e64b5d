#include "shared/DesktopEntry.h"

namespace tovrelle::desktop_entry {

std::string stringValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string execArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';  // a literal percent, not a field code
  }
  quoted += '"';
  return stringValue(quoted);
}

std::string unescape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default:
        out += '\\';
        out += value[i];
        break;
    }
  }
  return out;
}

std::string execProgram(const std::string& execValue) {
  const std::string value = unescape(execValue);
  size_t i = value.find_first_not_of(" \t");
  if (i == std::string::npos) return {};
  std::string program;
  if (value[i] == '"') {
    bool closed = false;
    for (++i; i < value.size(); ++i) {
      char c = value[i];
      if (c == '\\' && i + 1 < value.size()) {
        program += value[++i];
      } else if (c == '"') {
        closed = true;
        break;
      } else {
        program += c;
      }
    }
    if (!closed) return {};
  } else {
    while (i < value.size() && value[i] != ' ' && value[i] != '\t') program += value[i++];
  }
  std::string out;
  for (size_t k = 0; k < program.size(); ++k) {
    out += program[k];
    if (program[k] == '%' && k + 1 < program.size() && program[k + 1] == '%') ++k;
  }
  return out;
}

}  // namespace tovrelle::desktop_entry
