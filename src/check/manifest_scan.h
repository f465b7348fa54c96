// The manifest read line by line by relayhive's own parser, keeping what the
// loader forgets: the number of each line and what it meant.
#ifndef RELAYHIVE_CHECK_MANIFEST_SCAN_H
#define RELAYHIVE_CHECK_MANIFEST_SCAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "ini/ini_file.h"
#include "ini/ini_parser.h"

struct ManifestLine {
    std::uint32_t number;  // 1-based
    LineKind kind;         // never kBadFirstByte: such a line has the kind it was meant to have
    std::string section;  // kSection: its name; kEntry: the header it follows ("" before any)
    std::string key;      // kEntry, untrimmed
    std::string value;    // kEntry, untrimmed
    int firstByte;        // the line's first byte, as a signed 8-bit value
    // The line starts with EF BB BF. When the loader stops at a line, its kind and names
    // are those of the line as surely meant: without a byte order mark or control bytes in front.
    bool byteOrderMark;
};

struct ManifestScan {
    // The whole file as if nothing stopped the loader: lines that stop it are
    // read as meant, and a 0x1A byte is one byte like any other.
    std::vector<ManifestLine> lines;
    // The lines relayhive reads: those before the first that stops the loader,
    // and in text mode only what comes before a 0x1A byte.
    std::vector<ManifestLine> read;
    // Text mode: the line holding the 0x1A byte that ends the input; 0 when none.
    std::uint32_t endOfInputLine = 0;
};

// Reads bytes as relayhive's loader reads the manifest, storing what it reads into manifest and
// the loader's outcome into load. textMode: as the Windows runtime's text mode delivers the file
// (CR LF as LF, input ended by 0x1A); otherwise byte for byte, as on Linux.
ManifestScan ScanManifest(const std::string& bytes, bool textMode, CIniFile* manifest, LoadOutcome* load);

#endif
