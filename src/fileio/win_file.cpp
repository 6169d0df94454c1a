#include "fileio/win_file.h"

#include <cstring>
#include <string>

#include <windows.h>

namespace fileio {

WinFile::~WinFile() {
    if (m_open) {
        if (m_handle != INVALID_HANDLE_VALUE) {
            CloseHandle(m_handle);
        }
        m_open = false;
        m_handle = INVALID_HANDLE_VALUE;
    }
}

bool WinFile::open(const char* path, uint32_t mode) {
    // Invalid UTF-8 is not an error here: the conversion substitutes replacement characters
    // and the open is attempted with the result.
    const int length = static_cast<int>(std::strlen(path));
    const int units = MultiByteToWideChar(CP_UTF8, 0, path, length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, length, wide.data(), units);
    return open(wide.c_str(), mode);
}

bool WinFile::open(const wchar_t* path, uint32_t mode) {
    if (m_open) {
        close();
    }
    DWORD access = 0;
    if (mode & Read) {
        access |= GENERIC_READ;
    }
    if (mode & Write) {
        access |= GENERIC_WRITE;
    }
    const DWORD share = (mode & ShareRead) ? FILE_SHARE_READ : 0;
    // Neither Read nor Write leaves the disposition 0, which CreateFileW refuses.
    const DWORD disposition = (mode & Write) ? CREATE_ALWAYS : (mode & Read) ? OPEN_EXISTING : 0;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode & NoBuffering) {
        flags |= FILE_FLAG_NO_BUFFERING;
    }
    m_handle = CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    m_open = true;
    return true;
}

void WinFile::close() {
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
    }
    m_open = false;
    m_handle = INVALID_HANDLE_VALUE;
}

int64_t WinFile::size() {
    LARGE_INTEGER size;
    size.QuadPart = 0;
    GetFileSizeEx(m_handle, &size);
    return size.QuadPart;
}

int64_t WinFile::tell() {
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(m_handle, distance, &position, FILE_CURRENT)) {
        return 0;
    }
    return position.QuadPart;
}

bool WinFile::seek(int64_t position) {
    LARGE_INTEGER distance;
    distance.QuadPart = position;
    return SetFilePointerEx(m_handle, distance, nullptr, FILE_BEGIN) != 0;
}

uint64_t WinFile::read(void* buffer, uint64_t count) {
    DWORD done = 0;
    if (!ReadFile(m_handle, buffer, static_cast<DWORD>(count), &done, nullptr)) {
        return 0;
    }
    return done;
}

uint64_t WinFile::write(const void* buffer, uint64_t count) {
    DWORD done = 0;
    if (!WriteFile(m_handle, buffer, static_cast<DWORD>(count), &done, nullptr)) {
        return 0;
    }
    return done;
}

} // namespace fileio
