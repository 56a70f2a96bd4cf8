// A dictionary's key tables, and a reverse's headwords and translations,
// kept in a cache folder between runs: building them reads and folds every
// headword (and, for a reverse, every entry of the text it reverses), while
// reading them back is a copy. Each file names the sources it was built from
// (device, inode, size and modification time of the index and the text),
// and the executable that built it, and ends its header with a CRC-32 of
// the whole file: a file that does not match its sources and its program
// exactly, or fails its CRC-32 or its bounds, is refused and built again.
#include "service/Dictionary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace service {

namespace {

constexpr char kMagic[8] = {'L', 'X', 'G', 'K', 'E', 'Y', 'S', '\n'};
// Changes whenever the layout or the way a table is built changes.
constexpr uint32_t kVersion = 1;

enum Section { kFold, kAccent, kKeys, kNames, kReversed, kPostings, kTypes, kSections };

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t reverse; // 1 for a reverse
    uint32_t rules;
    uint32_t flags; // 1: WikDict's definition lines, 2: commas in names
    uint64_t sources[8];
    uint64_t program[4];          // the executable that built it
    uint64_t sections[kSections]; // byte lengths, in the order of Section
    uint32_t crc;                 // of the header (this field 0) and the sections
    uint32_t zero;
};

void Stamp(const struct stat& info, uint64_t* out) {
    out[0] = static_cast<uint64_t>(info.st_dev);
    out[1] = static_cast<uint64_t>(info.st_ino);
    out[2] = static_cast<uint64_t>(info.st_size);
    out[3] = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
             static_cast<uint64_t>(info.st_mtim.tv_nsec);
}

// The executable running: a new build may fold or read entries otherwise,
// so its tables are its own.
void Program(uint64_t* out) {
    struct stat info {};
    if (stat("/proc/self/exe", &info) == 0) {
        Stamp(info, out);
    }
}

// The CRC-32 of crc's bytes followed by size more at data. (zlib's crc32
// takes a null pointer, as an empty vector's data may be, for a fresh start.)
uLong Crc(uLong crc, const void* data, size_t size) {
    return size == 0 ? crc
                     : crc32(crc, static_cast<const unsigned char*>(data), static_cast<uInt>(size));
}

// A file read from its start, its CRC-32 taken on the way.
struct Reader {
    int fd;
    uint64_t at = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool Read(void* data, size_t size) {
        if (!ReadFully(fd, at, data, size)) {
            return false;
        }
        at += size;
        crc = Crc(crc, data, size);
        return true;
    }
};

template <class T> bool ReadVector(Reader* in, uint64_t bytes, std::vector<T>* out) {
    if (bytes % sizeof(T) != 0) {
        return false;
    }
    out->resize(static_cast<size_t>(bytes / sizeof(T)));
    out->shrink_to_fit();
    return in->Read(out->data(), static_cast<size_t>(bytes));
}

bool ReadString(Reader* in, uint64_t bytes, std::string* out) {
    out->resize(static_cast<size_t>(bytes));
    out->shrink_to_fit();
    return in->Read(out->data(), static_cast<size_t>(bytes));
}

} // namespace

std::string Dictionary::CachePath(const std::string& folder) const {
    return folder + "/" + name_ + (forward_ == nullptr ? ".keys" : ".reverse");
}

void Dictionary::Sources(uint64_t* out) const {
    const Dictionary& files = forward_ == nullptr ? *this : *forward_;
    Stamp(files.indexFile_.info(), out);
    Stamp(files.data_.FileInfo(), out + 4);
}

bool Dictionary::SaveTables(const std::string& folder, std::string* error) const {
    std::string types;
    for (const std::string& type : types_) {
        const uint32_t size = static_cast<uint32_t>(type.size());
        types.append(reinterpret_cast<const char*>(&size), sizeof size);
        types += type;
    }
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.reverse = forward_ == nullptr ? 0 : 1;
    header.rules = static_cast<uint32_t>(rules_);
    header.flags = (definitionLines_ ? 1u : 0u) | (commasInNames_ ? 2u : 0u);
    Sources(header.sources);
    Program(header.program);
    const std::pair<const void*, size_t> sections[kSections] = {
        {fold_.data(), fold_.size() * sizeof(Key)},
        {accent_.data(), accent_.size() * sizeof(Key)},
        {keys_.data(), keys_.size()},
        {names_.data(), names_.size()},
        {reversed_.data(), reversed_.size() * sizeof(Reversed)},
        {postings_.data(), postings_.size() * sizeof(Posting)},
        {types.data(), types.size()},
    };
    uLong crc = crc32(0, nullptr, 0);
    for (size_t i = 0; i < kSections; ++i) {
        header.sections[i] = sections[i].second;
    }
    crc = Crc(crc, &header, sizeof header);
    for (const auto& [data, size] : sections) {
        crc = Crc(crc, data, size);
    }
    header.crc = static_cast<uint32_t>(crc);
    // Written beside its place and renamed into it: a reader sees the old
    // file or the whole new one, never a part.
    const std::string path = CachePath(folder);
    static std::atomic<unsigned> written{0};
    const std::string temporary =
        path + "." + std::to_string(getpid()) + "-" + std::to_string(written++) + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && WriteFully(fd, &header, sizeof header);
    for (size_t i = 0; ok && i < kSections; ++i) {
        ok = WriteFully(fd, sections[i].first, sections[i].second);
    }
    if (fd >= 0) {
        ok = close(fd) == 0 && ok;
    }
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool Dictionary::RestoreTables(const std::string& folder, std::string* why) {
    const std::string path = CachePath(folder);
    Reader in{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) {
        *why = errno == ENOENT ? "" : "cannot read " + path;
        return false;
    }
    struct stat info {};
    Header header{};
    bool ok = fstat(in.fd, &info) == 0 && in.Read(&header, sizeof header);
    uint64_t sources[8] = {}, program[4] = {};
    Sources(sources);
    Program(program);
    uint64_t size = sizeof header;
    for (uint64_t bytes : header.sections) {
        size += bytes < (uint64_t{1} << 40) ? bytes : uint64_t{1} << 40;
    }
    ok = ok && std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
         header.version == kVersion && header.reverse == (forward_ == nullptr ? 0u : 1u) &&
         header.rules == static_cast<uint32_t>(rules_) && header.zero == 0 &&
         size == static_cast<uint64_t>(info.st_size);
    const bool sameSources = std::memcmp(header.sources, sources, sizeof sources) == 0;
    if (!ok || !sameSources || std::memcmp(header.program, program, sizeof program) != 0) {
        close(in.fd);
        *why = path + (!ok            ? " is not a table file of this version for these rules"
                       : !sameSources ? " was built from other files"
                                      : " was built by another build of the service");
        return false;
    }
    // The CRC-32 runs over the header with its own field 0.
    const uint32_t expected = header.crc;
    Header zeroed = header;
    zeroed.crc = 0;
    in.crc = Crc(crc32(0, nullptr, 0), &zeroed, sizeof zeroed);
    std::string types;
    const uint64_t* bytes = header.sections;
    ok = ReadVector(&in, bytes[kFold], &fold_) && ReadVector(&in, bytes[kAccent], &accent_) &&
         ReadString(&in, bytes[kKeys], &keys_) && ReadString(&in, bytes[kNames], &names_) &&
         ReadVector(&in, bytes[kReversed], &reversed_) &&
         ReadVector(&in, bytes[kPostings], &postings_) && ReadString(&in, bytes[kTypes], &types) &&
         static_cast<uint32_t>(in.crc) == expected;
    close(in.fd);
    for (size_t at = 0; ok && at < types.size();) {
        uint32_t length = 0;
        ok = types.size() - at >= sizeof length;
        if (ok) {
            std::memcpy(&length, types.data() + at, sizeof length);
            at += sizeof length;
            ok = types.size() - at >= length;
        }
        if (ok) {
            types_.push_back(types.substr(at, length));
            at += length;
        }
    }
    definitionLines_ = (header.flags & 1u) != 0;
    commasInNames_ = (header.flags & 2u) != 0;
    if (!ok || !TablesInBounds()) {
        ClearTables();
        *why = path + (ok ? " points outside its tables" : " is damaged (its CRC-32 fails)");
        return false;
    }
    return true;
}

bool Dictionary::TablesInBounds() const {
    const size_t text = forward_ == nullptr ? index_.size() : names_.size();
    const size_t headwords = forward_ == nullptr ? index_.size() : reversed_.size();
    for (const std::vector<Key>* table : {&fold_, &accent_}) {
        for (const Key& k : *table) {
            const uint64_t size = k.size & ~kOwnKey;
            const uint64_t limit = (k.size & kOwnKey) != 0 ? keys_.size() : text;
            if (k.at > limit || size > limit - k.at || k.headword >= headwords) {
                return false;
            }
        }
    }
    if (forward_ == nullptr) {
        return names_.empty() && reversed_.empty() && postings_.empty() && types_.empty();
    }
    uint32_t first = 0;
    for (const Reversed& r : reversed_) {
        if (r.at > names_.size() || r.size > names_.size() - r.at || r.first < first ||
            r.first > postings_.size()) {
            return false;
        }
        first = r.first;
    }
    for (const Posting& p : postings_) {
        if (p.line >= forward_->index_.size() || p.type >= types_.size()) {
            return false;
        }
    }
    return true;
}

} // namespace service
