// The one place that picks the file implementation of the platform being built.
#pragma once

#ifdef _WIN32
#include "fileio/win_file.h"
namespace fileio {
using PlatformFile = WinFile;
}
#else
#include "fileio/posix_file.h"
namespace fileio {
using PlatformFile = PosixFile;
}
#endif
