// Provisioning the test machine (the Wine prefix a test program runs in):
// registry values by path, the log folder, the installed program, and
// running real processes.
#pragma once

#include "common/Platform.h"

#include "common/UniqueHandle.h"

#include <string>
#include <vector>

namespace testmachine {

// HKEY_LOCAL_MACHINE, native view. Each setter creates the whole key path.
void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value);
void SetDword(const std::wstring& key, const std::wstring& name, DWORD value);
void SetBinary(const std::wstring& key, const std::wstring& name, const void* data, DWORD bytes);
void SetRaw(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD bytes);
void DeleteValue(const std::wstring& key, const std::wstring& name);
void DeleteTree(const std::wstring& key);
bool KeyExists(const std::wstring& key);
bool ReadString(const std::wstring& key, const std::wstring& name, std::wstring& value);
// How many values the key holds (0 when it cannot be opened).
DWORD ValueCount(const std::wstring& key);

// Files and folders.
std::wstring ProgramDataFolder();
std::wstring LogFolder(const std::wstring& module = L"QELCommonBuild");
void CreateFolder(const std::wstring& path);
void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
std::vector<BYTE> ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const void* data, size_t bytes);

// A symbolic link `link` to `target`, as any user can make one. This test
// machine has no junctions and no working CreateSymbolicLinkW: the link is
// made on the Unix side of the prefix, where the system follows it as a
// Windows program would follow a link (and reports no reparse point for it).
void MakeLink(const std::wstring& link, const std::wstring& target);
// Removes a link made so (the link only: never what it points to).
void RemoveLink(const std::wstring& link);

// Turns file logging on for a program: "Logging Mechanism" = 1, its log
// folder, and a log.ini with every piece of the line layout (0x3C), all levels.
void EnableFileLogging(const std::wstring& module = L"QELCommonBuild");

// The folder holding this test program and everything else the build made
// (however long its path).
std::wstring BinDir();
// Copies the program (and any named companions from BinDir) to where a
// provisioned machine keeps the framework's programs; returns its path.
std::wstring InstallProgram(const std::vector<std::wstring>& companions = {});

// Starts `exePath` with the raw argument text (and, when given, these
// inheritable handles as its output and error); no handle when it cannot start.
ScopedHandle StartProgram(const std::wstring& exePath, const std::wstring& arguments, HANDLE out = nullptr,
                          HANDLE err = nullptr);

struct RunResult {
    bool finished = false;
    DWORD exitCode = 0;
};
// Starts `exePath` with the raw argument text and waits for it.
RunResult RunProgram(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs = 120000);

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::wstring out, err;
};
// Runs a console tool with its output redirected to files (UTF-8 then), as a
// script would, and returns what it wrote.
ToolRun RunTool(const std::wstring& exePath, const std::wstring& arguments);

}  // namespace testmachine
