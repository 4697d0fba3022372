#pragma once
// A new copy of a NUL-terminated text, released by the caller with delete[]; no text gives a
// new empty text.
char* DuplicateString(const char* text);
