#include "host/InputWords.h"

#include "basiccpp/Ascii.h"
#include "platform/Platform.h"

namespace host {

namespace {

constexpr size_t kReadSize = 1 << 16;

} // namespace

InputWords::InputWords(Read read) : read_(std::move(read)) {}

bool InputWords::Fill() {
    if (ended_) {
        return false;
    }
    pending_.erase(0, at_);
    at_ = 0;
    const size_t had = pending_.size();
    pending_.resize(had + kReadSize);
    const long n = read_ ? read_(&pending_[had], kReadSize) : -1;
    pending_.resize(had + static_cast<size_t>(n > 0 ? n : 0));
    if (n <= 0) {
        ended_ = true;
        failed_ = n < 0;
        return false;
    }
    return true;
}

bool InputWords::NextLine(std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    size_t scanned = at_;
    for (;;) {
        const size_t end = pending_.find('\n', scanned);
        if (end != std::string::npos) {
            if (!*tooLong) {
                line->assign(pending_, at_, end - at_);
            }
            at_ = end + 1;
            break;
        }
        // A line that cannot fit even with a carriage return to drop: its
        // bytes so far go, the rest up to its line feed follows them.
        if (pending_.size() - at_ > kMaxLineBytes + 1) {
            *tooLong = true;
            at_ = pending_.size();
        }
        // Every unread byte is scanned: after a Fill that reads more they
        // stand at the front.
        const size_t unread = pending_.size() - at_;
        if (!Fill()) {
            // The last line, without a line feed; none after a failed read,
            // which may have cut it.
            if (failed_ || (at_ == pending_.size() && !*tooLong)) {
                return false;
            }
            if (!*tooLong) {
                line->assign(pending_, at_, std::string::npos);
            }
            at_ = pending_.size();
            break;
        }
        scanned = unread;
    }
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    *tooLong = *tooLong || line->size() > kMaxLineBytes;
    return true;
}

InputWords::Next InputWords::Take(std::u16string* word, std::string* problem) {
    word->clear();
    std::string line;
    bool tooLong = false;
    while (NextLine(&line, &tooLong)) {
        ++line_;
        if (line_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        const std::string where = "line " + std::to_string(line_) + " of standard input";
        if (tooLong) {
            *problem = where + " is longer than " + std::to_string(kMaxLineBytes) + " bytes";
            return Next::kRefused;
        }
        const std::string_view text = ascii::Trimmed(line);
        if (text.empty()) {
            continue;
        }
        if (text.find('\0') != std::string_view::npos) {
            *problem = where + " holds a NUL byte";
            return Next::kRefused;
        }
        const int count = static_cast<int>(text.size());
        const int units = platform::MultiByteToWideChar(
            platform::kCodePageUtf8, platform::kMbErrInvalidChars, text.data(), count, nullptr, 0);
        if (units > 0) {
            word->resize(static_cast<size_t>(units));
            if (platform::MultiByteToWideChar(platform::kCodePageUtf8, platform::kMbErrInvalidChars,
                                              text.data(), count, word->data(), units) == units) {
                return Next::kWord;
            }
        }
        word->clear();
        *problem = where + " is not UTF-8";
        return Next::kRefused;
    }
    if (failed_) {
        *problem = "standard input could not be read";
        return Next::kFailed;
    }
    return Next::kEnd;
}

} // namespace host
