// Texts from recordings and command lines, made fit for other readers.
#pragma once

#include <string>

namespace varnek {

// The text as valid UTF-8: sequences that are valid UTF-8 stay as they are,
// every other byte is read as ISO 8859-1 (the usual encoding of receivers'
// texts) and converted.
std::string utf8_text(const std::string& text);

// True when name matches pattern as a shell matches one part of a path:
// '*' stands for any run of characters, '?' for one character (a whole
// UTF-8 sequence), every other byte for itself, letters with their case. A
// name that begins with '.' matches only a pattern that begins with '.'.
bool wildcard_match(const std::string& pattern, const std::string& name);

}  // namespace varnek
