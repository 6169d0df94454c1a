// What the log needs from the operating system; one implementation per platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace IOPlugin::logplatform {

// A path as the platform's file calls take it (UTF-16 on Windows).
using NativePath = std::filesystem::path::string_type;

// Allocates a console window sized 120 by 500; nothing where there is no such thing.
void openConsole();
void writeConsole(const char* data, size_t size);

// The user's profile folder, or `override` (UTF-8) when it is not empty. False when the
// lookup fails.
bool profileFolder(const std::string& override, NativePath& folder);
// Appends korvadin and then resolve to the folder, creating each (an existing one is fine).
NativePath makeLogFolder(const NativePath& profile);
// Whether a file of that name in the folder can be opened for reading.
bool fileExists(const NativePath& folder, const std::string& name);
// Creates the file for writing; null on failure.
std::FILE* createFile(const NativePath& folder, const std::string& name);

std::tm localTime(std::time_t time);
uint32_t currentThreadId();
// The full path of the process's executable, that is the host application's.
std::string executablePath();

} // namespace IOPlugin::logplatform
