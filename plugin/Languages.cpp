#include "plugin/Languages.h"

#include <string>

const LanguageEntry kLanguages[kLanguageCount] = {
    {u"Chinese (Simplified)", u"zh-cn"},
    {u"Chinese (Traditional)", u"zh-tw"},
    {u"Danish", u"da"},
    {u"Dutch", u"nl"},
    {u"English", u"en"},
    {u"Finnish", u"fi"},
    {u"French", u"fr"},
    {u"German", u"de"},
    {u"Greek", u"el"},
    {u"Hungarian", u"hu"},
    {u"Italian", u"it"},
    {u"Japanese", u"ja"},
    {u"Korean", u"ko"},
    {u"Norwegian", u"no"},
    {u"Polish", u"pl"},
    {u"Portuguese", u"pt"},
    {u"Portuguese (Brazil)", u"pt-br"},
    {u"Russian", u"ru"},
    {u"Slovenian", u"sl"},
    {u"Spanish", u"es"},
    {u"Spanish (Latin America)", u"es"},
    {u"Swedish", u"sv"},
    {u"Thai", u"th"},
    {u"Ukrainian", u"uk"},
    {u"Turkish", u"tr"},
    {u"Urdu", u"ur"},
    {u"Arabic", u"ar"},
};

int AppendLanguageCodes(char16_t* buffer) {
    if (buffer != nullptr) {
        using Traits = std::char_traits<char16_t>;
        char16_t* end = buffer + Traits::length(buffer);
        for (const LanguageEntry& language : kLanguages) {
            const size_t length = Traits::length(language.code);
            Traits::copy(end, language.code, length);
            end += length;
            *end++ = u' ';
        }
        *end = u'\0';
    }
    return static_cast<int>(kLanguageCount);
}
