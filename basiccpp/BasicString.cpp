#include "basiccpp/BasicString.h"

#include "basiccpp/FormatParse.h"
#include "basiccpp/Log.h"
#include "basiccpp/WideFormat.h"
#include "platform/Platform.h"

#include <cstring>
#include <memory>

namespace {

const char kSourceFile[] = ".\\BasicString";

// The one shared empty value. Never written: every write goes to a buffer
// Allocate made.
const char16_t kEmptyUnit = 0;

} // namespace

const char16_t* BasicString::EmptyUnit() {
    return &kEmptyUnit;
}

BasicString::BasicString() {
    SetEmpty();
}

BasicString::BasicString(const char16_t* text) {
    if (text == nullptr || basiccpp::SignedWideLength(text) <= 0) {
        SetEmpty();
        return;
    }
    text_ = nullptr;
    Assign(text);
}

BasicString::BasicString(const char* text) {
    if (text == nullptr || basiccpp::SignedNarrowLength(text) <= 0) {
        SetEmpty();
        return;
    }
    text_ = nullptr;
    Assign(text);
}

BasicString::BasicString(const BasicString& other) {
    if (other.GetLength() <= 0) {
        // An empty owned buffer is not copied: the copy is the shared empty value.
        SetEmpty();
        return;
    }
    text_ = nullptr;
    Assign(other.text_);
}

BasicString& BasicString::operator=(const BasicString& other) {
    if (this != &other) {
        // Copy first, so a failed allocation leaves this string as it was.
        BasicString copy(other);
        char16_t* old = text_;
        text_ = copy.text_;
        copy.text_ = old;
    }
    return *this;
}

BasicString::~BasicString() {
    Release();
}

int32_t BasicString::GetLength() const {
    return text_ == nullptr ? 0 : basiccpp::SignedWideLength(text_);
}

void BasicString::SetEmpty() {
    text_ = const_cast<char16_t*>(&kEmptyUnit);
}

void BasicString::Release() {
    if (text_ != nullptr && text_ != &kEmptyUnit) {
        delete[] text_;
    }
    text_ = nullptr;
}

int BasicString::Allocate(int32_t count) {
    ReportAssert(count > 0, kSourceFile, 1928);
    ReportAssert(count < 0x7FFFFFFF, kSourceFile, 1929);
    Release();
    if (count > 0) {
        try {
            text_ = new char16_t[static_cast<size_t>(count) + 1];
        } catch (...) {
            // Out of memory: the string stays usable as the empty value.
            SetEmpty();
            throw;
        }
    }
    if (text_ != nullptr) {
        return 1;
    }
    SetEmpty();
    return 0;
}

void BasicString::Assign(const char16_t* text) {
    const int32_t length = text == nullptr ? 0 : basiccpp::SignedWideLength(text);
    if (length <= 0) {
        SetEmpty();
        return;
    }
    if (Allocate(length) == 0) {
        return;
    }
    std::memcpy(text_, text, static_cast<size_t>(length) * sizeof(char16_t));
    text_[length] = 0;
}

void BasicString::Assign(const char* text) {
    const int32_t length = text == nullptr ? 0 : basiccpp::SignedNarrowLength(text);
    if (length <= 0) {
        SetEmpty();
        return;
    }
    if (Allocate(length) == 0) {
        return;
    }
    std::unique_ptr<char16_t[]> wide;
    try {
        wide.reset(MultiByteToWide(platform::kCodePageAnsi, text, nullptr, -1));
    } catch (...) {
        // The new buffer holds nothing yet: drop it rather than leave it unread.
        Release();
        SetEmpty();
        throw;
    }
    // At most the byte length in units; a conversion that gave nothing (or
    // less) leaves zeros, so nothing unconverted is ever read.
    int32_t converted = wide ? WideLength(wide.get()) : 0;
    if (converted > length) {
        converted = length;
    }
    if (converted > 0) {
        std::memcpy(text_, wide.get(), static_cast<size_t>(converted) * sizeof(char16_t));
    }
    for (int32_t i = converted; i <= length; ++i) {
        text_[i] = 0;
    }
}

int BasicString::IsReadableText(const char16_t* text, uint32_t maxCount) {
    if (text == nullptr) {
        return 0;
    }
    return platform::IsBadStringPtr(text, maxCount) == 0 ? 1 : 0;
}

void BasicString::Format(const char16_t* format, ...) {
    ReportAssert(IsReadableText(format, 0xFFFFFFFFu), kSourceFile, 1472);
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void BasicString::FormatV(const char16_t* format, va_list args) {
    const int readable = IsReadableText(format, 0xFFFFFFFFu);
    ReportAssert(readable, kSourceFile, 1486);
    if (!readable) {
        // A format that cannot be read is left alone, and so is the string.
        return;
    }
    if (format[0] == 0) {
        return;
    }
    // The estimate reads the arguments through its own copy of the list;
    // `args` stays untouched for the formatting.
    const int32_t estimate = basiccpp::EstimateFormat(format, args);
    if (estimate == 0) {
        return;
    }
    if (Allocate(estimate) == 0) {
        return;
    }
    // At most `estimate` units and the terminator: a longer output is cut.
    const size_t written =
        basiccpp::FormatWide(text_, static_cast<size_t>(estimate) + 1, format, args);
    ReportAssert(written <= static_cast<size_t>(estimate), kSourceFile, 1763);
}

void BasicString::TrimRight() {
    if (text_ == nullptr || text_[0] == 0) {
        return;
    }
    char16_t* run = nullptr;
    for (char16_t* p = text_; *p != 0; ++p) {
        if (basiccpp::IsWideSpace(*p)) {
            if (run == nullptr) {
                run = p;
            }
        } else {
            run = nullptr;
        }
    }
    if (run != nullptr) {
        *run = 0;
    }
}
