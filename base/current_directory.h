// The process's current directory, read whole.
#ifndef ORBEX_BASE_CURRENT_DIRECTORY_H_
#define ORBEX_BASE_CURRENT_DIRECTORY_H_

#include <string>

// The current directory as GetCurrentDirectoryA gives it: a drive root reads
// with its backslash ("C:\"), any other folder without one ("C:\Data"). The
// buffer grows to what the call asks for, so a directory longer than 260
// bytes (a double-byte or UTF-8 spelling of a path under the platform's
// limit) reads whole. Empty only when the call fails; `errorCode`, when
// given, then receives the call's error code.
std::string CurrentDirectory(unsigned long* errorCode = nullptr);

#endif  // ORBEX_BASE_CURRENT_DIRECTORY_H_
