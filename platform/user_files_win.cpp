#include "platform/user_files.h"

#include <string>

#include <windows.h>

namespace platform {

namespace {

std::wstring wide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

std::string narrow(const wchar_t* text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return std::string();
    }
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
    result.pop_back();
    return result;
}

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
    return makeFolders(wide(path), error);
}

std::string userConfigFile(std::string_view windowsFolder, std::string_view, std::string_view file)
{
    const wchar_t* appData = _wgetenv(L"APPDATA");
    if (appData == nullptr || appData[0] == L'\0') {
        return "";
    }
    return narrow(appData) + "\\" + std::string(windowsFolder) + "\\" + std::string(file);
}

bool replaceFile(const std::string& path, std::string_view contents, std::string& error)
{
    const std::wstring target = wide(path);
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
    const bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
                    written == contents.size() && FlushFileBuffers(file);
    CloseHandle(file);
    // MOVEFILE_REPLACE_EXISTING replaces the old key in one step.
    if (!ok || !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot write " + path + ": " + lastError();
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}

bool removeFile(const std::string& path)
{
    return DeleteFileW(wide(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
