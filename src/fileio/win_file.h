// The file layer over the Windows file API.
#pragma once

#include "fileio/file.h"

namespace fileio {

class WinFile : public File {
public:
    WinFile() = default;
    ~WinFile() override;
    WinFile(const WinFile&) = delete;
    WinFile& operator=(const WinFile&) = delete;

    // Converts the UTF-8 path to UTF-16 and opens it with the wide open.
    bool open(const char* path, uint32_t mode) override;
    // Closes an open file first, also when the new open then fails.
    bool open(const wchar_t* path, uint32_t mode);
    void close() override;
    int64_t size() override;
    int64_t tell() override;
    bool seek(int64_t position) override;
    uint64_t read(void* buffer, uint64_t count) override;
    uint64_t write(const void* buffer, uint64_t count) override;

private:
    // A Windows HANDLE; all bits set (INVALID_HANDLE_VALUE) whenever no file is open.
    void* m_handle = reinterpret_cast<void*>(~uintptr_t(0));
    bool m_open = false;
};

} // namespace fileio
