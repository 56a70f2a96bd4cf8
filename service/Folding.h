// The keys headwords are compared by (ICU): a case-folded key and an
// accent-insensitive one, for UTF-8 text in any script. Safe to call from
// several threads at once.
#pragma once

#include <string>
#include <string_view>

namespace service {

enum class CaseRules {
    kDefault,
    kTurkic, // Turkish and Azeri: I folds to dotless ı, İ to i
};

// The case rules of a client's language code ("tr": kTurkic).
CaseRules CaseRulesFor(std::string_view code);

// text in Unicode normal form C; text that is not valid UTF-8 is returned as
// it is.
std::string Nfc(std::string_view text);

// Full Unicode case folding of text in normal form C ("Straße" and "STRASSE"
// both fold to "strasse", "ΦΩΣ" and "φως" to "φωσ"), with Turkic rules on
// request. Text that is not valid UTF-8 has only its ASCII letters folded,
// every other byte kept, so that it matches only itself.
std::string FoldCase(std::string_view text, CaseRules rules = CaseRules::kDefault);

// The accent-insensitive key of a case-folded text: the nonspacing marks on
// Latin, Greek, Cyrillic and Arabic letters removed ("école" -> "ecole",
// "πότε" -> "ποτε"), and the letters a learner types as plain ones replaced
// by them (æ -> ae, ø -> o, œ -> oe, ł -> l, đ and ð -> d, þ -> th, ı -> i).
// Marks of other scripts stay (Japanese voicing marks tell words apart).
// Text that is not valid UTF-8 is returned as it is.
std::string FoldAccents(std::string_view folded);

} // namespace service
