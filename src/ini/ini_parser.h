// The INI line grammar, the one place it is written down. The parser pulls
// bytes from a reader, splits them into lines and reports each line to a
// handler: its number and kind, its section, key and value, or the first byte
// that fails the load. It does no I/O of its own and stores nothing.
//
// A line ends at LF; one CR before it is dropped, and a CR alone ends nothing.
// A non-empty line whose first byte is not printable ASCII (0x20-0x7E) fails.
// Otherwise the first of ';', '#', '[' and '=' decides what the line is:
//   ';' or '#'  a comment: the text after the marker;
//   '['         a header: the name up to the last ']', when that comes after
//               the '['; bytes around the brackets do not count;
//   '='         an entry: key before it, value after it, neither trimmed.
// A line with none of them, or a '[' with no ']' after it, is ignored.
#ifndef RELAYHIVE_INI_INI_PARSER_H
#define RELAYHIVE_INI_INI_PARSER_H

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class LineKind {
    kBlank,         // empty
    kComment,       // ';' or '#' comes first
    kSection,       // '[' comes first and a ']' follows it
    kEntry,         // '=' comes first: key=value
    kIgnored,       // no marker at all, or '[' without a ']' after it
    kBadFirstByte,  // the first byte is not printable ASCII: the load stops here
};

// One line as the parser reports it. The views last only while the handler runs.
struct IniLine {
    std::uint32_t number = 0;  // 1-based
    LineKind kind = LineKind::kBlank;
    std::string_view text;     // the line without its LF and its one trailing CR
    // kSection: its name; any other line: the name of the last header before it ("" before any).
    std::string_view section;
    std::string_view key;      // kEntry
    std::string_view value;    // kEntry: the value; kComment: the text after the marker
    int firstByte = 0;         // the first byte as a signed 8-bit value; 0 on a blank line
};

// Where the bytes come from: a file, or a string in memory (ini/ini_reader.h).
class IniReader {
public:
    virtual ~IniReader() = default;
    // Up to size bytes into buffer; 0 at the end of the input or on a read error.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
    // The input ended on a read error: a last line without its LF then does not count.
    virtual bool Failed() const = 0;
};

class IniHandler {
public:
    virtual ~IniHandler() = default;
    // False stops the parse after this line.
    virtual bool Line(const IniLine& line) = 0;
};

enum class ParseEnd {
    kEnd,          // the input ended (or could not be read further)
    kStopped,      // the handler stopped it
    kOutOfMemory,  // a line or the handler's store did not fit in memory
};

// Reads the input in blocks of the parser's own, reporting every line to handler.
ParseEnd ParseIni(IniReader* reader, IniHandler* handler);

// What a line's markers make of it, leaving its first byte unjudged: for a
// line that fails the load, what it would have been. section is set only for
// a header; number and firstByte are left 0. Never kBlank: an empty text is kIgnored.
IniLine ClassifyLine(std::string_view text);

#endif
