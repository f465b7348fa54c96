#include "stage/arguments.h"

#include <cstdlib>

#include "target/target.h"

const char kStageUsage[] =
    "usage: relayhive-stage [--target windows|linux] [--code-page CP] [--layout windows|wine]\n"
    "                       [--install-dir-length N] [--strict] [--json] [--]\n"
    "                       OLD NEW OUT\n"
    "       relayhive-stage --help | --version\n"
    "Writes OUT/download/: the files of the release tree NEW whose content differs from the\n"
    "installed tree OLD (an empty OLD: a full update), and the autoupdate.ini that lists them;\n"
    "then runs relayhive's own plan on a copy of OLD with that download/ in it and checks\n"
    "that the result is NEW, file by file. Whatever relayhive cannot do (delete a file, make\n"
    "a directory, replace a file outside skin/, logo/ and the main file, take a name) is an\n"
    "error naming the file. --target defaults to this build's platform. --code-page (874,\n"
    "932, 936, 949, 950, 1250-1258 or utf-8) defaults for windows to the system's ANSI code\n"
    "page on Windows and to 936 elsewhere, for linux to utf-8. --layout: how download/ spells\n"
    "a windows target's names, as the code page's bytes (windows, the default) or as Wine\n"
    "keeps them (wine: UTF-8), for a test installation under Wine. --install-dir-length (default 52, the length of\n"
    "C:\\Users\\<a user name of 20 characters, Windows' longest>\\AppData\\Local\\Quillmon,\n"
    "the per-user install directory that docs/integrating.md recommends)\n"
    "is the install directory's length in bytes that path limits are counted from.\n"
    "Exit status: 0 the staged update reproduces NEW, 1 it does not (with --strict: or\n"
    "relayhive-check warns about it), 2 bad usage, a tree that cannot be read or an OUT\n"
    "that cannot be written, 3 the report could not be written, 4 memory ran out.\n"
    "-- ends the options.\n";


StageArguments ParseStageArguments(const std::vector<std::string>& arguments, const Host& host) {
    StageArguments parsed;
    parsed.options.style = host.style;
    bool codePageGiven = false;
    std::vector<std::string> trees;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        std::string refusal;
        bool missing = false;
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            trees.push_back(argument);
        } else if (EndsOptions(argument)) {
            optionsEnded = true;  // what follows are the trees, whatever they start with
        } else if (EndsParse(argument, &parsed)) {
            return parsed;
        } else if (argument == "--json") {
            parsed.json = true;
        } else if (argument == "--strict") {
            parsed.options.strict = true;
        } else if (OptionValue(arguments, &i, "--layout", &value, &missing)) {
            const LayoutRule* layout = RuleValue("--layout", kLayouts, value, missing, &refusal);
            if (layout == nullptr) return Refused(parsed, refusal);
            parsed.options.layout = layout->layout;
        } else if (OptionValue(arguments, &i, "--target", &value, &missing)) {
            const TargetRule* target = RuleValue("--target", kTargets, value, missing, &refusal);
            if (target == nullptr) return Refused(parsed, refusal);
            parsed.options.style = target->style;
        } else if (OptionValue(arguments, &i, "--code-page", &value, &missing)) {
            const CodePageRule* codePage = RuleValue("--code-page", kCodePages, value, missing, &refusal);
            if (codePage == nullptr) return Refused(parsed, refusal);
            parsed.codePage = codePage->number;
            codePageGiven = true;
        } else if (OptionValue(arguments, &i, "--install-dir-length", &value, &missing)) {
            // Digits only: strtoul would also take blanks and a sign in front.
            const unsigned long length = std::strtoul(value.c_str(), nullptr, 10);
            if (missing) return Refused(parsed, MissingValue("--install-dir-length"));
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                length > 65536) {
                return Refused(parsed, "--install-dir-length takes a number of bytes up to 65536");
            }
            parsed.options.installDirLength = length;
        } else {
            return Refused(parsed, "unknown option '" + argument + "'");
        }
    }
    if (trees.size() != 3) return Refused(parsed, "needs OLD, NEW and OUT");
    if (const char* refusal = LayoutRefusal(parsed.options.layout, host.style)) return Refused(parsed, refusal);
    if (parsed.options.installDirLength < ShortestInstallDirectory(parsed.options.style)) {
        return Refused(parsed,
                       "--install-dir-length is shorter than any install directory of the target");
    }
    if (!codePageGiven) parsed.codePage = DefaultCodePage(parsed.options.style, host);
    parsed.old = trees[0];
    parsed.release = trees[1];
    parsed.out = trees[2];
    return parsed;
}
