#pragma once
// Texts between the node's local code page and UTF-8. The local code page is one process-wide
// setting (an iconv name, "CP1252" until set); parlo sets it at start from its configuration.
#include <cstddef>
#include <string>

// Names the local code page (an iconv name such as "CP1252" or "ISO-8859-15"). Returns false
// and keeps the previous one when iconv does not know the name.
[[nodiscard]] bool UTF8UtilsSetLocalCodePage(const std::string& name);
std::string UTF8UtilsLocalCodePage();

// A local-code-page text as UTF-8 for a field of `fieldSize` bytes (terminator included): a
// result longer than fieldSize - 1 bytes is cut before the character that would cross that
// byte, so no character is split. Empty text, fieldSize 0 or a failed conversion give "".
std::string UTF8UtilsConvertToUTF8(const std::string& text, size_t fieldSize);

// A UTF-8 text in the local code page. Invalid UTF-8 fails: it is traced
// ("UTF8UtilsConvertUTF82String: MultiByteToWideChar failed with error %lu") and the result is
// empty. A character the code page lacks becomes '?', as the platform's default character.
// `lengthOut`, when given, receives the converted size with its terminator (0 on failure).
std::string UTF8UtilsConvertUTF82String(const std::string& text, size_t* lengthOut = nullptr);

// Replaces `text` by UTF8UtilsConvertUTF82String(text); a failure leaves it empty, so callers
// that must keep the client's text convert a copy.
void ConvertUTF82String(std::string& text, size_t* lengthOut = nullptr);
