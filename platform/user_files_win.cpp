#include "platform/user_files.h"

#include "platform/wide_text_win.h"

#include <cstdio>
#include <string>

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

namespace platform {

namespace {

std::string lastError()
{
    return "error " + std::to_string(GetLastError());
}

bool makeFolders(const std::wstring& path, std::string& error)
{
    for (std::size_t slash = path.find_first_of(L"\\/", 3); slash != std::wstring::npos;
         slash = path.find_first_of(L"\\/", slash + 1)) {
        const std::wstring folder = path.substr(0, slash);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            error = "cannot make a folder for the file: " + lastError();
            return false;
        }
    }
    return true;
}

}  // namespace

bool makeFoldersFor(const std::string& path, std::string& error)
{
    return makeFolders(toWide(path), error);
}

std::string userConfigFile(std::string_view windowsFolder, std::string_view, std::string_view file)
{
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || appData[0] == L'\0') {
        return "";
    }
    return fromWide(appData) + "\\" + std::string(windowsFolder) + "\\" + std::string(file);
}

bool replaceFile(const std::string& path, std::string_view contents, std::string& error)
{
    const std::wstring target = toWide(path);
    if (!makeFolders(target, error)) {
        return false;
    }
    const std::wstring temporary = target + L".new";
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot write " + path + ".new: " + lastError();
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
        written == contents.size() && FlushFileBuffers(file);
    CloseHandle(file);
    // MOVEFILE_REPLACE_EXISTING replaces the old key in one step.
    if (!ok ||
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot write " + path + ": " + lastError();
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool removeFile(const std::string& path)
{
    return DeleteFileW(toWide(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::FILE* openFile(const std::string& path, const char* mode)
{
    // The narrow std::fopen reads a path in the system's code page, which cannot name every
    // user's profile folder.
    const std::string modeText(mode);
    return _wfopen(toWide(path).c_str(), std::wstring(modeText.begin(), modeText.end()).c_str());
}

const char* textLineEnd()
{
    return "\r\n";
}

bool renameFile(const std::string& from, const std::string& to, std::string& error)
{
    if (!MoveFileExW(toWide(from).c_str(), toWide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "cannot rename " + from + " to " + to + ": " + lastError();
        return false;
    }
    return true;
}

std::string userDocumentsFolder()
{
    PWSTR folder = nullptr;
    std::string result;
    if (SHGetKnownFolderPath(FOLDERID_Documents, KF_FLAG_DEFAULT, nullptr, &folder) == S_OK) {
        result = fromWide(folder);
    }
    // Freed whatever the call returned: it may hand out a block even when it fails.
    CoTaskMemFree(folder);
    return isFolder(result) ? result : std::string();
}

bool isFolder(const std::string& path)
{
    if (path.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(toWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string absolutePath(const std::string& path)
{
    const std::wstring wide = toWide(path);
    const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return path;
    }
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) {
        return path;
    }
    full.resize(written);
    return fromWide(full);
}

}  // namespace platform
