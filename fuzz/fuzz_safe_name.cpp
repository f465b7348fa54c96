// Whatever name the check accepts, resolved below a base directory the way
// the platform of the style would resolve it, stays below that directory and
// names an ordinary file. Built once per path style; the Windows one reads
// names in code page 936, whose double-byte characters may end in a '\'.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "update/path_style.h"
#include "update/safe_name.h"

#if defined(RELAYHIVE_FUZZ_WINDOWS_STYLE)
constexpr PathStyle kStyle = PathStyle::kWindows;
#else
constexpr PathStyle kStyle = PathStyle::kPosix;
#endif

// Code page 936 as this host's converter reads it.
CodePage Gbk() {
    CodePage gbk;
    if (!LoadCodePage(936, &gbk)) std::abort();
    return gbk;
}
const CodePage kCodePage = Gbk();

// GBK: a byte 0x81-0xFE takes the byte after it into its character.
bool OpensDoubleByteCharacter(const std::string& name, std::size_t i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    return kStyle == PathStyle::kWindows && byte >= 0x81 && byte <= 0xFE && i + 1 < name.size();
}

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return text;
}

// What Windows opens for a component: trailing dots and blanks are dropped.
std::string WindowsNormalised(std::string part) {
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    return part;
}

// A device opens whatever extension or trailing blanks follow its name: the
// product's device list, matched here by the oracle's own spelling rules.
bool WindowsDevice(const std::string& part) {
    std::string base = Upper(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (const char* device : kWindowsDevices) {
        std::string name(device);
        const bool numbered = name.back() == '#';
        if (numbered) name.pop_back();
        if (!numbered && base == name) return true;
        if (numbered && base.size() == name.size() + 1 && base.compare(0, name.size(), name) == 0 &&
            base.back() >= '0' && base.back() <= '9') {
            return true;
        }
    }
    return false;
}

bool ScratchName(const std::string& part) {
    if (kStyle == PathStyle::kWindows) return Upper(WindowsNormalised(part)) == ".RELAYHIVE.TMP";
    return part == ".relayhive.tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    if (name.empty() || name.find('\0') != std::string::npos) return 0;
    if (UnsafeNameReason(name.c_str(), kStyle, kCodePage) != nullptr) return 0;

    if (name[0] == '/' || name[0] == '\\') std::abort();  // rooted
    const char first = static_cast<char>(name[0] | 0x20);
    if (first >= 'a' && first <= 'z' && name.size() > 1 && name[1] == ':') std::abort();  // drive
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) std::abort();  // breaks a one-line report
        if (kStyle == PathStyle::kWindows && c == ':') std::abort();  // a stream or drive
    }

    // Resolve "base/dir/" + name lexically; either separator splits, so a name
    // written for the other platform cannot escape either.
    std::vector<std::string> parts = {"base", "dir"};
    std::string part;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && OpensDoubleByteCharacter(name, i)) {
            part += name.substr(i, 2);
            ++i;
            continue;
        }
        if (i < name.size() && name[i] != '/' && name[i] != '\\') {
            part += name[i];
            continue;
        }
        if (ScratchName(part)) std::abort();
        if (kStyle == PathStyle::kWindows) {
            if (WindowsDevice(part)) std::abort();
            // Dots and blanks alone may climb like "..": take them as doing so.
            const bool onlyDots = part.size() > 1 && part.find_first_not_of(". ") == std::string::npos;
            part = onlyDots ? std::string("..") : WindowsNormalised(part);
        }
        if (part == "..") {
            if (parts.size() <= 2) std::abort();  // climbed out of base/dir
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    }
    return 0;
}
