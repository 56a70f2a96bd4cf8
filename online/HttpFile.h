// The interface of the online-service library ("Skyloom.dll"): its download
// object and its two exported functions. Shared by the plugin's binding and
// by our own build of the library.
#pragma once

#include "basiccpp/AbiMacros.h"

#include <cstdint>

class CAbstractLog;

// The download object. The plugin calls the fourth (Open), fifth (Read) and
// seventh (Close) entries of its virtual table as MSVC member functions
// (thiscall on i686: the object in ECX, the callee pops). No virtual
// destructor: objects go back through DeleteHttpFile.
class HttpFile {
public:
    virtual int32_t LEXIGROVE_THISCALL Reserved1() = 0;
    virtual int32_t LEXIGROVE_THISCALL Reserved2() = 0;
    virtual int32_t LEXIGROVE_THISCALL Reserved3() = 0;
    // Opens the address; negative on failure.
    virtual int32_t LEXIGROVE_THISCALL Open(const char16_t* address, uint32_t access,
                                            uint32_t sharing, uint32_t disposition,
                                            uint32_t attributes) = 0;
    // Reads up to count bytes into destination and stores how many in *read;
    // full chunks until the reply is exhausted. Negative on failure.
    virtual int32_t LEXIGROVE_THISCALL Read(void* destination, uint32_t count, uint32_t* read) = 0;
    virtual int32_t LEXIGROVE_THISCALL Reserved6() = 0;
    virtual int32_t LEXIGROVE_THISCALL Close() = 0;

protected:
    ~HttpFile() = default;
};

// The library's exports, plain C names, caller pops.
extern "C" {
typedef HttpFile* (*CreateHttpFileFn)(int32_t reserved, CAbstractLog* log);
typedef void (*DeleteHttpFileFn)(HttpFile* file);
}

// The most body bytes one reply may have, in both the plugin's download loop
// and our own library: far above any dictionary reply, low enough that
// reading and parsing it costs bounded memory (TinyXML's int row and column
// counters among them stay far from overflow).
constexpr uint32_t kMaxReplyBytes = 64u << 20;

// The Open constants the plugin passes.
enum : uint32_t {
    kGenericRead = 0x80000000u,
    kFileShareRead = 1,
    kOpenExisting = 3,
    kFileAttributeNormal = 0x80,
};
