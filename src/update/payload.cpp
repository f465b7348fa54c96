#include "update/payload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/texts.h"
#include "update/plan.h"
#include "update/report.h"
#include "update/transfer.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal size of at most 19 digits, so it never overflows; no sign, no blanks.
bool ParseSize(const std::string& text, std::uint64_t* size) {
    if (text.empty() || text.size() > 19) return false;
    *size = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        *size = *size * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

bool CarriesDigests(const CIniFile& manifest) {
    return manifest.FindSection(texts::kDigestSection) != CIniFile::npos;
}

std::vector<ListedDigest> ListedDigests(const GroupRule& rule, const CIniFile& manifest) {
    std::vector<ListedDigest> listed;
    if (rule.digestKey == nullptr) return listed;
    const std::size_t names = NamesOf(rule, manifest.LookupValue(rule.section, rule.key, "")).size();
    // Split as the group's list is: the main file's value is one entry.
    const std::vector<std::string> entries =
        NamesOf(rule, manifest.LookupValue(texts::kDigestSection, rule.digestKey, ""));
    listed.resize(names);
    for (std::size_t i = 0; i < names && i < entries.size(); ++i) {
        listed[i].listed = ParseDigestEntry(entries[i], &listed[i].file);
    }
    return listed;
}

std::string DigestEntry(const os::FileDigest256& file) {
    static const char kHex[] = "0123456789abcdef";
    std::string entry = std::to_string(file.size) + texts::kDigestSizeSeparator;
    for (unsigned char byte : file.sha256) {
        entry += kHex[byte >> 4];
        entry += kHex[byte & 0xF];
    }
    return entry;
}

bool ParseDigestEntry(const std::string& entry, os::FileDigest256* file) {
    const std::size_t colon = entry.find(texts::kDigestSizeSeparator);
    if (colon == std::string::npos || entry.size() - colon - 1 != 2 * os::kSha256Size) return false;
    if (!ParseSize(entry.substr(0, colon), &file->size)) return false;
    for (std::size_t i = 0; i < os::kSha256Size; ++i) {
        const int high = HexValue(entry[colon + 1 + 2 * i]);
        const int low = HexValue(entry[colon + 2 + 2 * i]);
        if (high < 0 || low < 0) return false;
        file->sha256[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool MatchesListed(const ListedDigest& listed, const os::FileDigest256& actual, char* why, std::size_t size) {
    if (!listed.listed) {
        std::snprintf(why, size, "%s%s", texts::kMismatchPrefix, texts::kNoDigest);
    } else if (actual.size != listed.file.size) {
        char sizes[64];
        std::snprintf(sizes, sizeof sizes, texts::kSizeDiffersFormat, static_cast<unsigned long long>(actual.size),
                      static_cast<unsigned long long>(listed.file.size));
        std::snprintf(why, size, "%s%s", texts::kMismatchPrefix, sizes);
    } else if (std::memcmp(actual.sha256, listed.file.sha256, os::kSha256Size) != 0) {
        std::snprintf(why, size, "%s%s", texts::kMismatchPrefix, texts::kDigestDiffers);
    } else {
        return true;
    }
    return false;
}

bool StagedMatches(const char* path, const ListedDigest& listed, char* why, std::size_t size) {
    os::FileDigest256 actual;
    bool irregular = false;
    if (listed.listed && !os::DigestFile(path, &actual, &irregular)) {
        const char* reason = irregular ? texts::kNotRegularFile : os::ErrorMessage(errno);
        std::snprintf(why, size, "%s%s", texts::kMismatchPrefix, reason);
        return false;
    }
    return MatchesListed(listed, actual, why, size);
}

bool PayloadMatches(const std::string& workingDirectory, const CIniFile& manifest, PathStyle style,
                    const LeadBytes& lead) {
    bool matches = true;
    for (const GroupRule& rule : kGroupRules) {
        if (rule.digestKey == nullptr) continue;
        const std::vector<PlanStep> steps = PlanGroupSteps(rule.group, workingDirectory, manifest, style, lead);
        const std::vector<ListedDigest> listed = ListedDigests(rule, manifest);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            // A refused or too long name is never copied: the run reports it as it always has.
            if (steps[i].kind != StepKind::kCopy) continue;
            const char* source = steps[i].source.c_str();
            char why[256];
            if (StagedMatches(source, i < listed.size() ? listed[i] : ListedDigest{}, why, sizeof why)) continue;
            ReportMessage(source, why);
            matches = false;
        }
    }
    return matches;
}
