// Lexigrove for host authors: the plugin's exports as function-pointer types,
// the host log class the plugin calls, and the interface of the online-service
// library (Skyloom.dll) for those who build their own.
//
// Plain C++ (C++11 or later), no other header of the project needed. Usable
// from MSVC and from MinGW-w64 on 32-bit Windows (the product) and on 64-bit
// Windows (the win64 build of the same sources, for 64-bit hosts). On 64-bit
// Windows there is one calling convention, the x64 one, for the exports and
// both classes' members; the slots and buffer rules are the same. On other
// systems (the Linux build of the plugin, plugin-lexigrove.so) the same
// declarations apply with char16_t texts and the system's default calling
// conventions.
//
// Texts are zero-terminated UTF-16. Capacities are 16-bit counts of UTF-16
// units including the terminator.
#ifndef LEXIGROVE_HOST_H
#define LEXIGROVE_HOST_H

#include <stdint.h>

// ---------------------------------------------------------------------------
// Text unit and calling conventions
// ---------------------------------------------------------------------------
#if defined(_WIN32)
typedef wchar_t LexigroveChar;
#define LEXIGROVE_TEXT(literal) L##literal
#else
typedef char16_t LexigroveChar;
#define LEXIGROVE_TEXT(literal) u##literal
#endif

#if defined(_MSC_VER) && defined(_M_IX86)
// Exports and the online library's functions: cdecl (the caller pops).
#define LEXIGROVE_CDECL __cdecl
// CAbstractLog members: __cdecl members (the object is the first stack
// argument, the caller pops).
#define LEXIGROVE_LOG_CALL __cdecl
// HttpFile members: MSVC's default for members, thiscall (object in ECX,
// the callee pops).
#define LEXIGROVE_HTTPFILE_CALL
#elif defined(__GNUC__) && defined(_WIN32) && defined(__i386__)
// MinGW-w64 g++ makes non-variadic members thiscall by default, so both member
// conventions are spelled out. Underscored spellings: <windows.h> defines
// plain `cdecl` as nothing.
#define LEXIGROVE_CDECL __attribute__((__cdecl__))
#define LEXIGROVE_LOG_CALL __attribute__((__cdecl__))
#define LEXIGROVE_HTTPFILE_CALL __attribute__((__thiscall__))
#else
// Every other target, 64-bit Windows included, has one calling convention.
#define LEXIGROVE_CDECL
#define LEXIGROVE_LOG_CALL
#define LEXIGROVE_HTTPFILE_CALL
#endif

// ---------------------------------------------------------------------------
// The host's log
// ---------------------------------------------------------------------------
// The plugin calls only the 10th (AssertReport) and 11th (FormattedEntry)
// entries of the virtual table; the nine before them are the host's own and
// never called. Keep this exact layout: no virtual destructor, no overloads,
// single inheritance, nothing virtual added before the 11 entries.
class CAbstractLog {
public:
    virtual void LEXIGROVE_LOG_CALL Reserved1() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved2() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved3() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved4() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved5() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved6() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved7() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved8() = 0;
    virtual void LEXIGROVE_LOG_CALL Reserved9() = 0;
    // 10th: a failed check; message is always "Assert Failed!!!".
    virtual void LEXIGROVE_LOG_CALL AssertReport(const LexigroveChar* message,
                                                 const LexigroveChar* file, int32_t line) = 0;
    // 11th: a formatted entry (level 1); the values for the printf-style wide
    // format (%s a UTF-16 text, %S a narrow one, %d an int) follow it.
    virtual void LEXIGROVE_LOG_CALL FormattedEntry(const LexigroveChar* file, int32_t line,
                                                   int32_t level, const LexigroveChar* format,
                                                   ...) = 0;

protected:
    ~CAbstractLog() {}
};

// ---------------------------------------------------------------------------
// The plugin's exports (look them up by name)
// ---------------------------------------------------------------------------
extern "C" {
// "fnSearchWord": 1 when the search ran to its end, 0 on any failure.
typedef int32_t(LEXIGROVE_CDECL* LexigroveSearchWordFn)(const LexigroveChar* from,
                                                        const LexigroveChar* to,
                                                        const LexigroveChar* word);
// "fnGetSearchResultCount": entries in the result list (never emptied).
typedef int32_t(LEXIGROVE_CDECL* LexigroveGetSearchResultCountFn)();
// "fnGetSearchResult": 1 and all three texts copied, or 0 and nothing written.
typedef int32_t(LEXIGROVE_CDECL* LexigroveGetSearchResultFn)(
    int32_t index, LexigroveChar* word, uint16_t wordCapacity, LexigroveChar* name,
    uint16_t nameCapacity, LexigroveChar* type, uint16_t typeCapacity);
// "fnGetPluginName" / "fnGetPluginOwner": copy the text cut to capacity - 1
// units; always 1.
typedef int32_t(LEXIGROVE_CDECL* LexigroveGetPluginTextFn)(LexigroveChar* buffer,
                                                           uint16_t capacity);
// "fnGetSupportedFromLanguages" / "fnGetSupportedToLanguages": append the 27
// codes, each followed by a space, to the text already in buffer (91 more
// units with the terminator); return 27.
typedef int32_t(LEXIGROVE_CDECL* LexigroveGetLanguagesFn)(LexigroveChar* buffer);
// fnSetLog, exported under LEXIGROVE_SETLOG_EXPORT: installs the host's log
// (null turns logging off). The host keeps ownership.
typedef void(LEXIGROVE_CDECL* LexigroveSetLogFn)(CAbstractLog* log);
}

#if defined(_WIN64)
#define LEXIGROVE_PLUGIN_FILE "plugin-lexigrove.dll"
#define LEXIGROVE_SETLOG_EXPORT "?fnSetLog@@YAXPEAVCAbstractLog@@@Z"
#elif defined(_WIN32)
#define LEXIGROVE_PLUGIN_FILE "plugin-lexigrove.dll"
#define LEXIGROVE_SETLOG_EXPORT "?fnSetLog@@YAXPAVCAbstractLog@@@Z"
#else
#define LEXIGROVE_PLUGIN_FILE "plugin-lexigrove.so"
#define LEXIGROVE_SETLOG_EXPORT "_Z8fnSetLogP12CAbstractLog"
#endif

// Room fnGetSupportedFromLanguages appends (27 codes and spaces, terminator).
enum { LEXIGROVE_LANGUAGE_LIST_UNITS = 91, LEXIGROVE_LANGUAGE_COUNT = 27 };

// ---------------------------------------------------------------------------
// The online-service library (Skyloom.dll), for those who build their own
// ---------------------------------------------------------------------------
// The download object. The plugin calls the 4th (Open), 5th (Read) and 7th
// (Close) entries; 1st to 3rd and 6th are never called. No virtual
// destructor: objects go back through DeleteHttpFile.
class HttpFile {
public:
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Reserved1() = 0;
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Reserved2() = 0;
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Reserved3() = 0;
    // 4th: opens the http:// address; access 0x80000000, sharing 1,
    // disposition 3, attributes 0x80. Negative on failure.
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Open(const LexigroveChar* address, uint32_t access,
                                                 uint32_t sharing, uint32_t disposition,
                                                 uint32_t attributes) = 0;
    // 5th: reads up to count (always 4096) bytes and stores how many in *read.
    // Must deliver full chunks until the reply is exhausted: any shorter count
    // (0 included) ends the reply. Never more than count. Negative on failure.
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Read(void* destination, uint32_t count,
                                                 uint32_t* read) = 0;
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Reserved6() = 0;
    // 7th: ends the current request; the object is opened again later.
    virtual int32_t LEXIGROVE_HTTPFILE_CALL Close() = 0;

protected:
    ~HttpFile() {}
};

extern "C" {
// "CreateHttpFile": reserved is 0; log is the host's log at the first search
// (may be null). One object serves every search until the plugin is unloaded.
typedef HttpFile*(LEXIGROVE_CDECL* LexigroveCreateHttpFileFn)(int32_t reserved, CAbstractLog* log);
// "DeleteHttpFile": destroys the object (called once, at unload).
typedef void(LEXIGROVE_CDECL* LexigroveDeleteHttpFileFn)(HttpFile* file);

// The two functions an online library exports under these plain names.
HttpFile* LEXIGROVE_CDECL CreateHttpFile(int32_t reserved, CAbstractLog* log);
void LEXIGROVE_CDECL DeleteHttpFile(HttpFile* file);
}

#endif
