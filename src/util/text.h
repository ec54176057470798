// Texts from recordings and command lines, made fit for other readers.
#pragma once

#include <string>

namespace varnek {

// The text as valid UTF-8: sequences that are valid UTF-8 stay as they are,
// every other byte is read as ISO 8859-1 (the usual encoding of receivers'
// texts) and converted.
std::string utf8_text(const std::string& text);

}  // namespace varnek
