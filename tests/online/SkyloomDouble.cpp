// The scripted online-service library (see SkyloomDouble.h). Built twice:
// once complete, once without CreateHttpFile (LEXIGROVE_DOUBLE_NO_CREATE).
#include "SkyloomDouble.h"

#include "online/HttpFile.h"

#include <algorithm>
#include <cstring>

namespace {

const DoubleScript* g_script = nullptr;
DoubleRecord* g_record = nullptr;

class ScriptedFile final : public HttpFile {
public:
    int32_t LEXIGROVE_THISCALL Reserved1() override { return 0; }
    int32_t LEXIGROVE_THISCALL Reserved2() override { return 0; }
    int32_t LEXIGROVE_THISCALL Reserved3() override { return 0; }
    int32_t LEXIGROVE_THISCALL Open(const char16_t* address, uint32_t access, uint32_t sharing,
                                    uint32_t disposition, uint32_t attributes) override {
        ++g_record->opens;
        size_t i = 0;
        for (; address && address[i] && i + 1 < sizeof g_record->address / 2; ++i)
            g_record->address[i] = address[i];
        g_record->address[i] = 0;
        g_record->access = access;
        g_record->sharing = sharing;
        g_record->disposition = disposition;
        g_record->attributes = attributes;
        g_record->reads = 0;
        position_ = 0;
        open_ = g_script->openStatus >= 0;
        return g_script->openStatus;
    }
    int32_t LEXIGROVE_THISCALL Read(void* destination, uint32_t count, uint32_t* read) override {
        const uint32_t chunk = ++g_record->reads;
        if (count != 4096)
            g_record->readAskedOther = true;
        if (*read != 0)
            g_record->readCountNotZero = true;
        if (!open_)
            g_record->usedWhileClosed = true;
        if (chunk == g_script->failReadAt)
            return -1;
        uint64_t n = count;
        if (!g_script->endlessReply)
            n = std::min<uint64_t>(count, g_script->replySize - position_);
        char* out = static_cast<char*>(destination);
        if (g_script->endlessReply)
            for (uint64_t i = 0; i < n; ++i)
                out[i] = static_cast<char>('a' + (position_ + i) % 26);
        else
            std::memcpy(out, g_script->reply + position_, static_cast<size_t>(n));
        position_ += n;
        *read = chunk == g_script->oddCountAt ? g_script->oddCount : static_cast<uint32_t>(n);
        return 0;
    }
    int32_t LEXIGROVE_THISCALL Reserved6() override { return 0; }
    int32_t LEXIGROVE_THISCALL Close() override {
        ++g_record->closes;
        open_ = false;
        return 0;
    }

private:
    uint64_t position_ = 0;
    bool open_ = false;
};

ScriptedFile g_file;

// Tells the test, through its own record, that the library was unloaded.
struct UnloadWitness {
    ~UnloadWitness() {
        if (g_record)
            g_record->unloaded = true;
    }
} g_witness;

} // namespace

extern "C" {

void DoubleAttach(const DoubleScript* script, DoubleRecord* record) {
    g_script = script;
    g_record = record;
}

#ifndef LEXIGROVE_DOUBLE_NO_CREATE
HttpFile* CreateHttpFile(int32_t reserved, CAbstractLog* log) {
    ++g_record->creates;
    g_record->createReserved = reserved;
    g_record->createLog = log;
    return g_script->createGivesNull ? nullptr : &g_file;
}
#endif

void DeleteHttpFile(HttpFile* file) {
    ++g_record->deletes;
    g_record->deletedOwnObject = file == &g_file;
}
}
