#include "host/Faults.h"

#include <mutex>
#include <vector>

namespace host {
namespace {

struct Fault
{
    std::string object;
    std::string member;
    unsigned nth; // 0: every call
    unsigned seen;
    HRESULT hr;
};

std::mutex g_mutex;
std::vector<Fault> g_faults;

} // namespace

void Faults::Fail(const std::string &object, const std::string &member, HRESULT hr)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_faults.push_back(Fault{object, member, 0, 0, hr});
}

void Faults::FailNth(const std::string &object, const std::string &member, unsigned n, HRESULT hr)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_faults.push_back(Fault{object, member, n, 0, hr});
}

void Faults::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_faults.clear();
}

HRESULT Faults::Check(const std::string &object, const std::string &member)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    HRESULT injected = S_OK;
    for (Fault &fault : g_faults) {
        if (fault.object != object || fault.member != member)
            continue;
        ++fault.seen;
        // Every matching rule counts the call; the first one that fires decides.
        if (injected == S_OK && (fault.nth == 0 || fault.seen == fault.nth))
            injected = fault.hr;
    }
    return injected;
}

} // namespace host
