// A scripted stand-in for the online-service library, built as its own
// shared library. The test owns both structures below and hands them to the
// double with DoubleAttach; the double reads the script and writes the record,
// so the record outlives the library being freed.
#pragma once

#include <cstdint>

class CAbstractLog;

struct DoubleScript {
    const char* reply = nullptr; // the bytes Read hands out
    uint64_t replySize = 0;
    bool endlessReply = false; // Read never runs out (the bytes are a pattern)
    int32_t openStatus = 0;    // negative: Open fails
    uint32_t failReadAt = 0;   // 1-based chunk whose Read returns -1 (0: none)
    uint32_t oddCountAt = 0;   // 1-based chunk that reports oddCount bytes
    uint32_t oddCount = 0;     // reported, never more than asked is written
    bool createGivesNull = false;
};

struct DoubleRecord {
    uint32_t creates = 0;
    int32_t createReserved = -1;
    CAbstractLog* createLog = nullptr;
    uint32_t deletes = 0;
    bool deletedOwnObject = false;
    uint32_t opens = 0;
    char16_t address[256] = {};
    uint32_t access = 0, sharing = 0, disposition = 0, attributes = 0;
    uint32_t reads = 0;            // since the last Open
    bool readAskedOther = false;   // some Read asked for other than 4096
    bool readCountNotZero = false; // some Read found *read not set to 0
    bool usedWhileClosed = false;  // Read without an open reply
    uint32_t closes = 0;
    bool unloaded = false; // the library's static objects were destroyed
};

extern "C" {
// Exported by the double next to CreateHttpFile and DeleteHttpFile.
typedef void (*DoubleAttachFn)(const DoubleScript* script, DoubleRecord* record);
}
