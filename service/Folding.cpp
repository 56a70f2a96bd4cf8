#include "service/Folding.h"

#include "basiccpp/Ascii.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

namespace service {

namespace {

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool IsValidUtf8(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

icu::UnicodeString Normalized(const icu::UnicodeString& text, bool decompose) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* form = decompose ? icu::Normalizer2::getNFDInstance(status)
                                             : icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return text;
    }
    if (form->isNormalized(text, status) && U_SUCCESS(status)) {
        return text;
    }
    status = U_ZERO_ERROR;
    icu::UnicodeString out = form->normalize(text, status);
    return U_SUCCESS(status) ? out : text;
}

std::string Utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Scripts whose letters carry accents a learner may leave out.
bool DropsMarks(UChar32 c) {
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(c, &status);
    return U_SUCCESS(status) && (script == USCRIPT_LATIN || script == USCRIPT_GREEK ||
                                 script == USCRIPT_CYRILLIC || script == USCRIPT_ARABIC);
}

// The plain letters for a letter that no decomposition takes apart; null
// for every other.
const char16_t* PlainLetters(UChar32 c) {
    switch (c) {
    case 0xDF: // ß, where folding has not made it "ss" already
        return u"ss";
    case 0xE6: // æ
        return u"ae";
    case 0xF0:  // ð
    case 0x111: // đ
        return u"d";
    case 0xF8: // ø
        return u"o";
    case 0xFE: // þ
        return u"th";
    case 0x127: // ħ
        return u"h";
    case 0x131: // ı
        return u"i";
    case 0x140: // ŀ
    case 0x142: // ł
        return u"l";
    case 0x153: // œ
        return u"oe";
    case 0x167: // ŧ
        return u"t";
    default:
        return nullptr;
    }
}

} // namespace

CaseRules CaseRulesFor(std::string_view code) {
    return ascii::EqualsIgnoringCase(code, "tr") || ascii::EqualsIgnoringCase(code, "az")
               ? CaseRules::kTurkic
               : CaseRules::kDefault;
}

std::string Nfc(std::string_view text) {
    if (IsAscii(text) || !IsValidUtf8(text)) {
        return std::string(text);
    }
    return Utf8(Normalized(icu::UnicodeString::fromUTF8(
                               icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))),
                           false));
}

std::string FoldCase(std::string_view text, CaseRules rules) {
    const bool turkic = rules == CaseRules::kTurkic;
    if (IsAscii(text) && !(turkic && text.find('I') != std::string_view::npos)) {
        return ascii::Lowered(text);
    }
    if (!IsValidUtf8(text)) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return out;
    }
    icu::UnicodeString folded = Normalized(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                               text.data(), static_cast<int32_t>(text.size()))),
                                           false);
    folded.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
    // Folding can take a character out of normal form C (ΐ folds to three
    // code points).
    return Utf8(Normalized(folded, false));
}

std::string FoldAccents(std::string_view folded) {
    if (IsAscii(folded) || !IsValidUtf8(folded)) {
        return std::string(folded);
    }
    const icu::UnicodeString decomposed =
        Normalized(icu::UnicodeString::fromUTF8(
                       icu::StringPiece(folded.data(), static_cast<int32_t>(folded.size()))),
                   true);
    icu::UnicodeString plain;
    bool dropMarks = false; // the last letter is one whose marks go
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) == U_NON_SPACING_MARK) {
            if (!dropMarks) {
                plain.append(c);
            }
            continue;
        }
        dropMarks = DropsMarks(c);
        if (const char16_t* letters = PlainLetters(c)) {
            plain.append(icu::UnicodeString(letters));
        } else {
            plain.append(c);
        }
    }
    return Utf8(Normalized(plain, false));
}

} // namespace service
