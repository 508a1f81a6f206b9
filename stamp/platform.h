// What quarv-stamp needs of the file system beyond the C library, per platform. Names are UTF-8;
// Windows takes them through its wide API, so that any name it allows works.
#pragma once
#include <string>

#include "stamp/bytes.h"

// The program itself, called by the platform's entry point with UTF-8 arguments.
int stamp_main(int argc, char** argv);

// The separators of a path, the one to join with first.
extern const char PATH_SEPARATORS[];

// The directory of the running executable, for the template beside it.
std::string executable_directory(const char* argv0);

// Whether both paths name one existing file (a link or another spelling included).
bool same_file(const std::string& a, const std::string& b);

enum OutKind { OutMissing, OutRegular, OutLink, OutOther };
// What a path names now, without following a final link.
OutKind out_kind(const std::string& path);

// Writes bytes to a new temporary file, created exclusively under the name temporary followed by
// a unique ending (in path's folder), and renames it over path: path changes in that one step or
// not at all, a link there is replaced, never followed, and no temporary file is left. An
// executable file is made so for all the umask allows; others are readable. False with the
// system's reason.
bool write_replacing(const std::string& path, const std::string& temporary, bool executable,
                     const Bytes& bytes, std::string& error);

// Makes the folder path unless it is one already, also when another run made it a moment ago.
// False with the reason; "not a folder" when something else has that name.
bool folder_make(const std::string& path, std::string& error);

// Holds the folder against other runs that hold it, until this process ends, so that two runs
// publishing into one folder at once do not mix their files. Where the system cannot lock a
// folder, nothing is held.
void folder_hold(const std::string& path);
