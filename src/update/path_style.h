// How each platform spells paths: every rule takes a style, so the Windows rules run on any host.
#ifndef RELAYHIVE_UPDATE_PATH_STYLE_H
#define RELAYHIVE_UPDATE_PATH_STYLE_H

#include <cstddef>
#include <cstdint>
#include <string>

enum class PathStyle { kWindows, kPosix };

// The bytes that open a double-byte character in a Windows path's ANSI code page: the byte after
// one belongs to it, even a '\' (GBK, Shift-JIS and Big5 all have such characters).
class LeadBytes {
public:
    // No double-byte characters: single-byte code pages, and UTF-8 (no sequence holds ASCII).
    LeadBytes() = default;
    // From (first, last) byte pairs as the system lists them: size bytes, or up to a zero pair.
    static LeadBytes FromRanges(const unsigned char* ranges, std::size_t size);
    // Code page 936 (GBK): 0x81-0xFE.
    static LeadBytes Gbk();

    bool Leads(unsigned char byte) const { return (bits_[byte >> 5] >> (byte & 31)) & 1u; }

private:
    std::uint32_t bits_[8] = {};
};

// This build's path style, and the lead bytes of the code page in force.
PathStyle NativePathStyle();
LeadBytes NativeLeadBytes();

// The separator relayhive writes when it forms a path.
char PathSeparator(PathStyle style);
// True for every byte the platform treats as a separator (where a character starts).
bool IsPathSeparator(char c, PathStyle style);
// Bytes in the character at text[i]: 2 for a Windows lead byte with a byte after it, else 1.
std::size_t CharacterLength(const char* text, std::size_t length, std::size_t i, PathStyle style,
                            const LeadBytes& lead);
// Size of a path buffer, terminating zero included (MAX_PATH, PATH_MAX).
std::size_t PathBufferSize(PathStyle style);
// Size of the manifest path's buffer: it has room beyond the other paths.
std::size_t ManifestPathBufferSize(PathStyle style);
// True when path, with its terminating zero, fits a path buffer.
bool FitsPathBuffer(const std::string& path, PathStyle style);

std::string JoinPath(const std::string& directory, const std::string& name, PathStyle style);
// Everything before the last separator ("" when there is none).
std::string DirectoryOf(const std::string& path, PathStyle style, const LeadBytes& lead);
// The scratch file a copy to destination is written to: same directory, fixed name.
std::string ScratchPathFor(const std::string& destination, PathStyle style, const LeadBytes& lead);

#endif
