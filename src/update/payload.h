// The staged files' digests: what the manifest's digest section lists for each file a group
// copies, and whether a staged file is that file.
#ifndef RELAYHIVE_UPDATE_PAYLOAD_H
#define RELAYHIVE_UPDATE_PAYLOAD_H

#include <cstddef>
#include <string>
#include <vector>

#include "ini/ini_file.h"
#include "os/os.h"
#include "update/path_style.h"

struct GroupRule;

// What the manifest lists for one staged file; unlisted when it has no well-formed entry.
struct ListedDigest {
    bool listed = false;
    os::FileDigest256 file;
};

// With a digest section, every file a group with digests copies must match its entry.
bool CarriesDigests(const CIniFile& manifest);

// One entry for each name of the group's list, in order (entries past the last name are not
// read); empty for a group without digests.
std::vector<ListedDigest> ListedDigests(const GroupRule& rule, const CIniFile& manifest);

// "SIZE:SHA256", the size in decimal and the digest in lowercase hex; read back in either case.
std::string DigestEntry(const os::FileDigest256& file);
bool ParseDigestEntry(const std::string& entry, os::FileDigest256* file);

// Whether actual is the listed file; if not, the report's message ("does not match the
// manifest: <why>") in why, cut to size.
bool MatchesListed(const ListedDigest& listed, const os::FileDigest256& actual, char* why, std::size_t size);

// Whether the staged file at path is the listed file; if not, the report's message in why.
bool StagedMatches(const char* path, const ListedDigest& listed, char* why, std::size_t size);

// Reads every file the run copies in a group with digests and compares it with its entry:
// each that differs or cannot be read is named on standard error. True when all match.
bool PayloadMatches(const std::string& workingDirectory, const CIniFile& manifest, PathStyle style,
                    const LeadBytes& lead);

#endif
