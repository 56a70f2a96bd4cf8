// Text conversions between UTF-16 and code pages, and the system's error
// texts. Each conversion asks the platform for the exact size first, then
// converts once; every temporary is held by a unique_ptr, so it is released
// on every path, std::bad_alloc included.
#include "basiccpp/BasicString.h"

#include "basiccpp/Log.h"
#include "platform/Platform.h"

#include <cstring>
#include <memory>

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
// FORMAT_MESSAGE_FROM_SYSTEM.
const uint32_t kSystemMessageFlags = 0x1300;
// Neutral language, default sub-language: the user's default language.
const uint32_t kUserDefaultLanguage = 0x0400;

// Releases a buffer the system's message formatting allocated.
struct LocalBufferRelease {
    void operator()(char16_t* buffer) const { platform::LocalFreeBuffer(buffer); }
};

} // namespace

int32_t WideLength(const char16_t* text) {
    if (text == nullptr) {
        return 0;
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return static_cast<int32_t>(length);
}

char16_t* WideCopy(const char16_t* source, char16_t* destination, int32_t limit) {
    if (source == nullptr) {
        return nullptr;
    }
    const int32_t length = WideLength(source);
    if (destination == nullptr) {
        destination = new char16_t[static_cast<size_t>(length) + 1];
    }
    // -1 (or any negative limit) copies the whole text.
    const int32_t count = limit >= 0 && limit < length ? limit : length;
    std::memcpy(destination, source, static_cast<size_t>(count) * sizeof(char16_t));
    destination[count] = 0;
    return destination;
}

char16_t* MultiByteToWide(uint32_t codePage, const char* source, char16_t* destination,
                          int32_t count) {
    const int needed = platform::MultiByteToWideChar(codePage, 0, source, count, nullptr, 0);
    if (needed <= 0) {
        return nullptr;
    }
    // One unit more than the conversion needs, for a terminator when the
    // count leaves the source's own out: nothing reads past what was converted.
    std::unique_ptr<char16_t[]> converted(new char16_t[static_cast<size_t>(needed) + 1]);
    const int written =
        platform::MultiByteToWideChar(codePage, 0, source, count, converted.get(), needed);
    if (written <= 0) {
        return nullptr;
    }
    converted[written < needed ? written : needed] = 0;
    return WideCopy(converted.get(), destination, count);
}

char* WideToMultiByte(uint32_t codePage, const char16_t* source, char* destination, int32_t count) {
    std::unique_ptr<char16_t[]> copy(WideCopy(source, nullptr, -1));
    if (!copy) {
        return nullptr;
    }
    // A count beyond the text would read past the copy: it stands for the
    // whole text then.
    const int32_t length = WideLength(copy.get());
    if (count < 0 || count > length) {
        count = -1;
    }
    const int needed = platform::WideCharToMultiByte(codePage, 0, copy.get(), -1, nullptr, 0);
    if (needed <= 0) {
        return nullptr;
    }
    std::unique_ptr<char[]> bytes(new char[static_cast<size_t>(needed)]);
    const int written =
        platform::WideCharToMultiByte(codePage, 0, copy.get(), count, bytes.get(), needed);
    // The whole text ends in its own zero byte; a shorter or failed conversion
    // is terminated after what it wrote.
    if (written <= 0) {
        bytes[0] = 0;
    } else if (written < needed) {
        bytes[written] = 0;
    }
    copy.reset();
    if (destination == nullptr) {
        return bytes.release();
    }
    std::strcpy(destination, bytes.get());
    return destination;
}

BasicString Utf8ToWide(const char* source) {
    BasicString result;
    const int needed =
        platform::MultiByteToWideChar(platform::kCodePageUtf8, 0, source, -1, nullptr, 0);
    if (needed > 0) {
        std::unique_ptr<char16_t[]> converted(new char16_t[static_cast<size_t>(needed) + 1]);
        const int written = platform::MultiByteToWideChar(platform::kCodePageUtf8, 0, source, -1,
                                                          converted.get(), needed);
        converted[needed] = 0;
        ReportAssert(written > 0, "basiccpp\\BasicString", 382);
        // A conversion that failed may have written part of its output, or
        // nothing: the array is not read then, and the result stays empty.
        if (written > 0) {
            result.Assign(converted.get());
        }
        return result;
    }
    const uint32_t code = platform::LastError();
    if (CAbstractLog* log = basiccpp::GetLog()) {
        const BasicString systemText = SystemErrorText(code);
        log->FormattedEntry(u"basiccpp\\BasicString", 390, 1, u"String conversion error: (%d) %s",
                            static_cast<int32_t>(code), systemText.GetString());
    }
    return result;
}

BasicString SystemErrorText(uint32_t code) {
    char16_t* raw = nullptr;
    const uint32_t length =
        platform::FormatSystemMessage(kSystemMessageFlags, code, kUserDefaultLanguage, &raw);
    std::unique_ptr<char16_t, LocalBufferRelease> buffer(raw);
    if (length == 0 || !buffer) {
        return BasicString(u"");
    }
    BasicString text(buffer.get());
    buffer.reset();
    text.TrimRight();
    // The copy of a text that was only white space is the shared empty value.
    return BasicString(text);
}
