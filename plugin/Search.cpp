#include "plugin/Search.h"

#include "basiccpp/Log.h"
#include "online/Online.h"
#include "platform/Platform.h"
#include "plugin/ReplyReader.h"
#include "plugin/ReportSites.h"
#include "plugin/SearchContext.h"

#include <memory>
#include <string>

namespace {

// Bytes that travel as themselves; everything else but the space is %XX.
bool IsUnescaped(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == '/' || byte == '\\';
}

// A language code goes out as it is when it holds only ASCII letters, digits
// and "-" (every code the plugin lists).
bool IsPlainCode(const char16_t* code) {
    for (const char16_t* p = code; *p != u'\0'; ++p) {
        const char16_t unit = *p;
        if (!((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
              (unit >= u'0' && unit <= u'9') || unit == u'-')) {
            return false;
        }
    }
    return true;
}

} // namespace

BasicString QueryEncode(const char16_t* word) {
    static const char kHex[] = "0123456789ABCDEF";
    std::unique_ptr<char[]> utf8(WideToMultiByte(platform::kCodePageUtf8, word, nullptr, -1));
    std::string escaped;
    if (utf8) {
        for (const char* p = utf8.get(); *p != '\0'; ++p) {
            const unsigned char byte = static_cast<unsigned char>(*p);
            if (byte == ' ') {
                escaped += '+';
            } else if (IsUnescaped(byte)) {
                escaped += static_cast<char>(byte);
            } else {
                escaped += '%';
                escaped += kHex[byte >> 4];
                escaped += kHex[byte & 0x0F];
            }
        }
    }
    // Pure ASCII, so the ANSI widening keeps every byte as the same character.
    return BasicString(escaped.c_str());
}

BasicString QueryCode(const char16_t* code) {
    if (code == nullptr || IsPlainCode(code)) {
        return BasicString(code);
    }
    return QueryEncode(code);
}

BasicString RequestAddress(const char16_t* from, const char16_t* to, const char16_t* escapedWord) {
    // A missing code stays null, which the formatter writes as "(null)".
    const BasicString fromCode = QueryCode(from);
    const BasicString toCode = QueryCode(to);
    BasicString address;
    address.Format(
        u"http:/"
        u"/" LEXIGROVE_DICTIONARY_HOST u"/serverjobs/dictionary.php?fromlang=%s&tolang=%s&word=%s",
        from != nullptr ? fromCode.GetString() : nullptr,
        to != nullptr ? toCode.GetString() : nullptr, escapedWord);
    return address;
}

int SearchWord(SearchContext& context, const char16_t* from, const char16_t* to,
               const char16_t* word) {
    if (word == nullptr) {
        ReportAssert(0, reportsite::kPluginFile, reportsite::kLineSearchNoWord);
        return 0;
    }
    const BasicString escaped = QueryEncode(word);
    const BasicString address = RequestAddress(from, to, escaped.GetString());
    // Each step that fails raises its failure; the search turns any of them
    // into 0. What earlier steps left (a loaded library, a grown buffer,
    // entries already appended) stays for the next search.
    try {
        if (!online::Prepare(context.binding)) {
            throw 1;
        }
        if (online::Fetch(context.binding, context.buffer, address.GetString(), word) !=
            online::kFetchOk) {
            throw 2;
        }
        if (ReadReply(context) != 0) {
            throw 3;
        }
    } catch (int) {
        return 0;
    }
    return 1;
}
