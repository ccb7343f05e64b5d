#pragma once
// Writing and reading values of desktop entries (autostart entries, the
// camera service's fallback entry), escaped the way freedesktop.org's
// desktop-entry format escapes them. Reentrant.
#include <string>

namespace tovrelle::desktop_entry {

// One Exec argument, always quoted: a literal percent doubled, the quoting
// characters backslash-escaped, then escaped again as a string value.
std::string execArgument(const std::string& argument);

// A string value (TryExec, Name…): backslashes and control characters escaped.
std::string stringValue(const std::string& text);

// Undoes the string-value escapes (\s \n \t \r \\).
std::string unescape(const std::string& value);

// The program named by an Exec value (its first argument, unquoted); empty
// when malformed.
std::string execProgram(const std::string& execValue);

}  // namespace tovrelle::desktop_entry
