// What the INI parser reads: a file as the runtime delivers it, or bytes as either platform would.
#ifndef RELAYHIVE_INI_INI_READER_H
#define RELAYHIVE_INI_INI_READER_H

#include <cstdio>
#include <string_view>

#include "ini/ini_parser.h"

// An open file read as it stands: its mode (os::kTextReadMode) decides what arrives.
class FileReader final : public IniReader {
public:
    explicit FileReader(std::FILE* file) : file_(file) {}
    std::size_t Read(char* buffer, std::size_t size) override { return std::fread(buffer, 1, size, file_); }
    bool Failed() const override { return std::ferror(file_) != 0; }

private:
    std::FILE* file_;
};

// How a string's bytes arrive.
struct StringMode {
    bool crLfAsLf;     // CR LF arrives as LF, as in Windows text mode
    bool subEndsInput;  // the first 0x1A byte ends the input, as in Windows text mode
};
constexpr StringMode kAsBytes{false, false};
constexpr StringMode kWindowsText{true, true};

// Bytes in memory; they must outlive the reader.
class StringReader final : public IniReader {
public:
    StringReader(std::string_view bytes, StringMode mode);
    std::size_t Read(char* buffer, std::size_t size) override;
    bool Failed() const override { return false; }

private:
    std::string_view bytes_;  // up to where the input ends
    std::size_t next_ = 0;
    bool crLfAsLf_;
};

#endif
