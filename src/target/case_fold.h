// Letter case as Windows ignores it in file names: each UTF-16 code unit of the decoded name
// upcased by its one-to-one Unicode mapping, fullwidth, Greek and Cyrillic letters included.
#ifndef RELAYHIVE_TARGET_CASE_FOLD_H
#define RELAYHIVE_TARGET_CASE_FOLD_H

#include <string>

char16_t WindowsUpcase(char16_t unit);
std::u16string WindowsUpcased(std::u16string text);

#endif
