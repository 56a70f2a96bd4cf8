#include "DictFiles.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>

namespace servicetest {

namespace {
void PutLe16(std::string* out, size_t value) {
    *out += static_cast<char>(value & 0xFF);
    *out += static_cast<char>((value >> 8) & 0xFF);
}
void PutLe32(std::string* out, unsigned long value) {
    PutLe16(out, value & 0xFFFF);
    PutLe16(out, (value >> 16) & 0xFFFF);
}
bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out.flush());
}
} // namespace

std::string Base64Number(unsigned long long value) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value % 64]);
        value /= 64;
    } while (value != 0);
    return out;
}

std::string Dictzip(const std::string& text, size_t chunkLength) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string data;
    std::vector<size_t> sizes;
    for (size_t at = 0; at < text.size(); at += chunkLength) {
        const size_t length = std::min(chunkLength, text.size() - at);
        const bool last = at + length >= text.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + at));
        z.avail_in = static_cast<uInt>(length);
        const size_t before = data.size();
        int status;
        do {
            unsigned char buffer[4096];
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            status = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
            data.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
        } while (z.avail_out == 0 || (last && status != Z_STREAM_END));
        sizes.push_back(data.size() - before);
    }
    deflateEnd(&z);

    std::string out = "\x1f\x8b\x08\x04";
    out += std::string(4, '\0'); // mtime
    out += '\x02';               // best compression
    out += '\x03';               // Unix
    PutLe16(&out, 4 + 6 + 2 * sizes.size());
    out += "RA";
    PutLe16(&out, 6 + 2 * sizes.size());
    PutLe16(&out, 1);
    PutLe16(&out, chunkLength);
    PutLe16(&out, sizes.size());
    for (size_t size : sizes) {
        PutLe16(&out, size);
    }
    out += data;
    PutLe32(&out,
            crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
    PutLe32(&out, static_cast<unsigned long>(text.size()));
    return out;
}

bool WriteDictionary(const std::string& folder, const std::string& name, const DictEntries& entries,
                     size_t chunkLength) {
    std::string index, text;
    for (const auto& [headword, entry] : entries) {
        index +=
            headword + "\t" + Base64Number(text.size()) + "\t" + Base64Number(entry.size()) + "\n";
        text += entry;
    }
    const std::string base = folder + "/" + name;
    return WriteFile(base + ".index", index) &&
           (chunkLength > 0 ? WriteFile(base + ".dict.dz", Dictzip(text, chunkLength))
                            : WriteFile(base + ".dict", text));
}

} // namespace servicetest
