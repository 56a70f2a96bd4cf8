// Calling conventions of the foreign interfaces, as an MSVC-built host or
// library uses them on 32-bit Windows. Empty on every other target.
#pragma once

#if defined(_WIN32) && defined(__i386__)
// MSVC __cdecl member function: the object is the first stack argument and
// the caller pops. Spelled with underscores: <windows.h> defines plain
// `cdecl` as nothing, which would silently fall back to thiscall.
#define LEXIGROVE_MEMBER_CDECL __attribute__((__cdecl__))
// MSVC default member function: the object in ECX, the callee pops.
#define LEXIGROVE_THISCALL __attribute__((__thiscall__))
#else
#define LEXIGROVE_MEMBER_CDECL
#define LEXIGROVE_THISCALL
#endif
