#pragma once
// The event-text catalogue: the readable text of every event id, compiled into the program,
// with a formatter for its inserts. A text file named by PARLO_MSG_CATALOG may replace or add
// texts ("0xID<TAB>text" a line, '#' starts a comment); when that file cannot be read the
// catalogue does not load, as a missing message library would not.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class MsgCatalog {
public:
    // A new catalogue, the caller's to delete: the built-in texts plus the override file, if
    // one is named. Null when the override file cannot be read; the reason is the last error.
    [[nodiscard]] static MsgCatalog* Load();

    // The format of an id, or null when the catalogue has none; it lives as long as the
    // catalogue.
    const char* Find(uint32_t id) const;

    // Every id of the built-in texts.
    static std::vector<uint32_t> BuiltInIds();

private:
    std::unordered_map<uint32_t, std::string> texts_;
};

// Result of formatting a message text.
enum class MsgFormatResult {
    Ok,
    // The text asks for an insert that was not given, or an insert format it cannot take:
    // the counterpart of a fault inside the platform's formatter.
    Fault,
};

// Formats a message text with its inserts:
//   %1 .. %99      the insert (its text), optionally followed by !printf-format!
//   %%  %.  %!     a literal '%', '.', '!'
//   %n             a line break;  %r a carriage return;  %t a tab;  %b a space
//   %0             ends the text without a final line break
// Line breaks written in the text itself are ignored (a space inside, nothing at the end),
// as with a maximum line width of 0xFF. With ignoreInserts the inserts are copied as written.
// The result is at most maxLength characters (longer results are cut).
MsgFormatResult MsgFormat(const char* format, const char* const* inserts, int insertCount,
                          bool ignoreInserts, std::string* out, size_t maxLength = 65535);
