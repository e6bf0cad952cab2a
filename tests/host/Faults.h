// Fault injection: makes chosen calls on the stand-in host's objects fail with
// a chosen HRESULT. A call is named as in its call-log record (object and
// member); the stand-in asks before the member's handler runs, and the failed
// call is still recorded, with the injected HRESULT. Safe from any thread.
#pragma once

#include <windows.h>

#include <string>

namespace host {

class Faults
{
public:
    // Every such call fails.
    static void Fail(const std::string &object, const std::string &member, HRESULT hr);
    // Only the n-th such call (counting from 1, from now on) fails.
    static void FailNth(const std::string &object, const std::string &member, unsigned n, HRESULT hr);
    static void Clear();

    // For the stand-in objects: counts the call and returns the HRESULT it must
    // fail with, or S_OK when it must run.
    static HRESULT Check(const std::string &object, const std::string &member);
};

} // namespace host
