// The running program: its arguments as UTF-16, the folder of its executable,
// and its standard input, output and error as byte streams. Used by command-line
// programs; libraries never call these.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The file name ending of a loadable module built by this project
// (".dll" on Windows, ".so" elsewhere).
extern const char16_t kModuleSuffix[];

// The folder that holds the running executable, ending in its separator
// ('\' on Windows, '/' elsewhere); empty when the system does not tell.
std::u16string ExecutableFolder();

// Writes the bytes unchanged (UTF-8 stays UTF-8: no newline translation, no
// console code page). False when not all of them could be written.
bool WriteStandardOutput(const char* bytes, size_t size);
bool WriteStandardError(const char* bytes, size_t size);
// Reads up to size bytes of standard input as they are (no newline or code
// page translation). Returns how many, 0 at its end (also when a pipe's
// writer has gone), -1 when it cannot be read (there is none, or the read
// failed).
long ReadStandardInput(char* buffer, size_t size);

// A program's portable entry point: its arguments after the program name.
using ProgramEntry = int (*)(const std::vector<std::u16string>& arguments);

// Define a program's entry point with LEXIGROVE_PROGRAM_MAIN(entry) at file
// scope. Windows: wmain (link with -municode), the UTF-16 arguments as the C
// runtime splits them, so any word survives. Elsewhere: main, the arguments
// read as UTF-8 (malformed bytes become U+FFFD).
#if defined(_WIN32)
int RunProgram(int argc, wchar_t** argv, ProgramEntry entry);
#define LEXIGROVE_PROGRAM_MAIN(entry)                                                              \
    int wmain(int argc, wchar_t** argv) {                                                          \
        return ::platform::RunProgram(argc, argv, entry);                                          \
    }
#else
int RunProgram(int argc, char** argv, ProgramEntry entry);
#define LEXIGROVE_PROGRAM_MAIN(entry)                                                              \
    int main(int argc, char** argv) {                                                              \
        return ::platform::RunProgram(argc, argv, entry);                                          \
    }
#endif

} // namespace platform
