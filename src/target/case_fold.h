// Letter case as Windows ignores it in file names: each UTF-16 code unit of the decoded name
// upcased by its one-to-one Unicode mapping where the lowercase comes back (fullwidth, Greek and
// Cyrillic letters included; dotless i, long s and final sigma kept).
#ifndef RELAYHIVE_TARGET_CASE_FOLD_H
#define RELAYHIVE_TARGET_CASE_FOLD_H

#include <string>

char16_t WindowsUpcase(char16_t unit);
std::u16string WindowsUpcased(std::u16string text);

#endif
