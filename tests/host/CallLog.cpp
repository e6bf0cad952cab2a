#include "host/CallLog.h"

#include "host/Text.h"

#include <cstdio>
#include <mutex>

namespace host {
namespace {

struct Entry
{
    size_t token;
    CallRecord record;
};

std::mutex g_mutex;
std::vector<Entry> g_entries;
size_t g_nextToken = 1;

const size_t kNoToken = 0;

std::string Joined(std::vector<std::string>::const_iterator first, std::vector<std::string>::const_iterator last)
{
    std::string text;
    for (auto it = first; it != last; ++it) {
        if (it != first)
            text += ", ";
        text += *it;
    }
    return text;
}

bool Faultable(CallKind kind)
{
    return kind != CallKind::AddRef && kind != CallKind::Release && kind != CallKind::Event;
}

} // namespace

const char *CallKindName(CallKind kind)
{
    switch (kind) {
    case CallKind::Get: return "get";
    case CallKind::Put: return "put";
    case CallKind::PutRef: return "putref";
    case CallKind::Method: return "method";
    case CallKind::QueryInterface: return "QueryInterface";
    case CallKind::GetIDsOfNames: return "GetIDsOfNames";
    case CallKind::AddRef: return "AddRef";
    case CallKind::Release: return "Release";
    case CallKind::FindConnectionPoint: return "FindConnectionPoint";
    case CallKind::Advise: return "Advise";
    case CallKind::Unadvise: return "Unadvise";
    case CallKind::Event: return "event";
    case CallKind::Other: return "other";
    }
    return "?";
}

std::string CallRecord::Line() const
{
    std::string line = object;
    switch (kind) {
    case CallKind::AddRef:
    case CallKind::Release:
        return line + "." + member + " -> " + std::to_string(count);
    case CallKind::Event:
        line += " => " + member;
        if (dispid != DISPID_UNKNOWN) {
            char hex[16];
            snprintf(hex, sizeof hex, " 0x%04lX", static_cast<unsigned long>(dispid));
            line += hex;
        }
        line += "(" + Joined(args.begin(), args.end()) + ")";
        break;
    case CallKind::Put:
    case CallKind::PutRef: {
        line += "." + member;
        auto value = args.empty() ? args.end() : args.end() - 1;
        if (value != args.begin())
            line += "(" + Joined(args.begin(), value) + ")";
        line += kind == CallKind::Put ? " = " : " := ";
        line += value == args.end() ? "(no value)" : *value;
        break;
    }
    case CallKind::Get:
    case CallKind::QueryInterface:
        line += "." + member;
        if (!args.empty())
            line += "(" + Joined(args.begin(), args.end()) + ")";
        break;
    default:
        line += "." + member + "(" + Joined(args.begin(), args.end()) + ")";
        break;
    }
    return line + " -> " + (finished ? HResultText(hr) : std::string("(unfinished)"));
}

bool CallFilter::Accepts(const CallRecord &record) const
{
    if (!object.empty() && record.object != object)
        return false;
    if (record.kind == CallKind::AddRef || record.kind == CallKind::Release)
        return refCounts;
    if (record.kind == CallKind::Event)
        return events;
    if (record.kind == CallKind::GetIDsOfNames && record.finished && SUCCEEDED(record.hr))
        return nameLookups;
    return true;
}

std::vector<CallRecord> CallLog::Records(const CallFilter &filter)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<CallRecord> records;
    for (const Entry &entry : g_entries)
        if (filter.Accepts(entry.record))
            records.push_back(entry.record);
    return records;
}

std::vector<std::string> CallLog::Lines(const CallFilter &filter)
{
    std::vector<std::string> lines;
    for (const CallRecord &record : Records(filter))
        lines.push_back(record.Line());
    return lines;
}

std::vector<CallSite> CallLog::DistinctCalls(const CallFilter &filter)
{
    std::vector<CallSite> sites;
    for (const CallRecord &record : Records(filter)) {
        if (!Faultable(record.kind))
            continue;
        CallSite site{record.object, record.member};
        bool seen = false;
        for (const CallSite &s : sites)
            seen = seen || s == site;
        if (!seen)
            sites.push_back(site);
    }
    return sites;
}

void CallLog::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.clear();
}

size_t CallLog::Begin(CallRecord record)
{
    record.threadId = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t token = g_nextToken++;
    g_entries.push_back(Entry{token, std::move(record)});
    return token;
}

void CallLog::Finish(size_t token, HRESULT hr, ULONG count)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    // Usually the last entry; a record cleared meanwhile is simply gone.
    for (auto it = g_entries.rbegin(); it != g_entries.rend(); ++it) {
        if (it->token == token) {
            it->record.hr = hr;
            it->record.count = count;
            it->record.finished = true;
            return;
        }
        if (it->token < token)
            return;
    }
}

CallScope::CallScope(CallRecord record) : m_token(kNoToken)
{
    try {
        m_token = CallLog::Begin(std::move(record));
    } catch (...) {
        // Out of memory while recording: the call itself still runs.
    }
}

CallScope::~CallScope()
{
    if (!m_finished)
        Finish(E_UNEXPECTED);
}

HRESULT CallScope::Finish(HRESULT hr)
{
    m_finished = true;
    if (m_token != kNoToken) {
        try {
            CallLog::Finish(m_token, hr);
        } catch (...) {
        }
    }
    return hr;
}

} // namespace host
