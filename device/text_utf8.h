// UTF-8 text as the programs meet it: names from the network, the command
// line and settings files, which need not be valid UTF-8.
#pragma once

#include <string>
#include <string_view>

// Appends the code point's UTF-8 bytes.
void append_utf8(std::string& out, char32_t c);

// The text with each byte sequence that is not valid UTF-8 (a stray or
// missing continuation byte, an overlong form, a surrogate, a value above
// U+10FFFF) replaced by U+FFFD, one per maximal invalid subpart.
std::string valid_utf8(std::string_view text);

// Decodes UTF-8 into wide text (UTF-16 where wchar_t has 16 bits); a byte that
// is not valid UTF-8 is taken as a character of its own value, so that any
// name can be handed on unchanged in meaning.
std::wstring wide_from_utf8(std::string_view text);
