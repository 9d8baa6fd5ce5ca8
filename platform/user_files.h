#pragma once
// A program's own files in the user's configuration folder, written so that no other user can
// read them and no reader ever sees half a file. Written once for POSIX (user_files_posix.cpp)
// and once for Windows (user_files_win.cpp).

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The path of `file` in the program's folder of the user's configuration: on Windows
// %APPDATA%\<windowsFolder>\<file>; elsewhere $XDG_CONFIG_HOME/<posixFolder>/<file>, or
// ~/.config/<posixFolder>/<file> when that is not set to an absolute path. Empty when the
// system names no such folder.
std::string userConfigFile(std::string_view windowsFolder, std::string_view posixFolder, std::string_view file);

// Replaces `path` with `contents` at once: a reader sees the old file or the new one, never a
// mix. The folders on the way are made as needed. On POSIX the file and new folders are the
// user's alone (0600, 0700); on Windows they inherit the user's profile folder's rights,
// which keep other users out. False, with `error` set, when it cannot.
bool replaceFile(const std::string& path, std::string_view contents, std::string& error);

// Makes the folders on the way to `path`, as replaceFile does. False, with `error` set, when it
// cannot.
bool makeFoldersFor(const std::string& path, std::string& error);

// Removes `path`; true when it is gone, also when it was never there.
bool removeFile(const std::string& path);

// Opens `path`, a UTF-8 path on every system, as std::fopen does with `mode`. A file it makes
// is the user's alone on POSIX (0600). Null, with errno set, when it cannot.
std::FILE* openFile(const std::string& path, const char* mode);

// The whole of `path`; nothing when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// The line end of the system's text files: "\r\n" on Windows, "\n" elsewhere.
const char* textLineEnd();

// Renames `from` to `to`, replacing `to` if it is there. False, with `error` set, when it cannot.
bool renameFile(const std::string& from, const std::string& to, std::string& error);

// The user's Documents folder, where a file made for the user to find and send goes: on
// Windows the known folder Documents; elsewhere XDG_DOCUMENTS_DIR as user-dirs.dirs names it
// (in $XDG_CONFIG_HOME, else ~/.config), else ~/Documents. Empty when the system names none
// that exists.
std::string userDocumentsFolder();

// Whether `path` names a folder that exists.
bool isFolder(const std::string& path);

// `path` from the current folder on, for a path that another process, with a current folder
// of its own, is to use; an absolute path as it is.
std::string absolutePath(const std::string& path);

}  // namespace platform
