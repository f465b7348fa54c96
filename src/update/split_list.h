// How a manifest value becomes a list of names.
#ifndef RELAYHIVE_UPDATE_SPLIT_LIST_H
#define RELAYHIVE_UPDATE_SPLIT_LIST_H

#include <string>
#include <vector>

// The maximal non-empty runs of non-delimiter bytes of text, in order, untrimmed.
std::vector<std::string> SplitList(const std::string& delimiters, const std::string& text);

#endif
