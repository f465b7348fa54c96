// Looks at a staged installation through the OS layer and gathers what the findings are decided
// from: relayhive's loader outcome and plan there, the manifest's lines, the facts of its files.
#ifndef RELAYHIVE_CHECK_SURVEY_H
#define RELAYHIVE_CHECK_SURVEY_H

#include <string>

#include <vector>

#include "check/after.h"
#include "check/installation.h"
#include "update/path_style.h"

// How far a survey looks: at the plan alone, or also at each step's files and below download/,
// which the findings are decided from.
enum class SurveyDepth { kPlan, kFiles };

// False, with a one-line reason, when directory is not a directory that can be looked at.
bool SurveyInstallation(const std::string& directory, PathStyle style, const CodePage& codePage,
                        Layout layout, Installation* installation, std::string* error,
                        SurveyDepth depth = SurveyDepth::kFiles);

// The facts of each step's files, each staged file against its digest, and the files below download/.
void SurveyFiles(Installation* installation);

// After a run: the digest of each copy step's source and destination (one of
// each per plan step, unread for the others), found as the survey found them.
void SurveyDigests(const Installation& installation, std::vector<FileDigest>* sources,
                   std::vector<FileDigest>* destinations);

// After a run: the record relayhive kept of it in the installation (found false when none is read).
record::Read SurveyRecord(const Installation& installation);

#endif
