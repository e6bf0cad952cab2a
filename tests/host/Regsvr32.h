// Registering the shipped DLL the way an installer does, for the programs
// that drive it as Outlook would (the demo, the benchmarks).
#pragma once

#include <windows.h>

#include <string>

namespace host {

// The folder of the running program, where the build puts QuorviaAddin.dll.
std::string ProgramDirectory();

// Runs "regsvr32.exe <arguments>" and returns its exit code (or the error of
// starting it).
DWORD RunRegsvr32(const std::string &arguments);

} // namespace host
