// Marking a large HTML body, against a plain memory copy of the same size and
// a copy into a new string. Goals: a plain body within 5x of the memcpy, a body
// full of earlier tracking elements within 3x of the string copy.

#include "tracking/TrackingFragment.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

template <class F>
double Median(int runs, F &&f)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        f();
        QueryPerformanceCounter(&b);
        times.push_back(Seconds(a, b));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// `markers` earlier tracking elements spread evenly over the paragraphs, of
// every kind the marking handles: quoted, unquoted, with a closing tag, and an
// element whose closing tag never comes (it stays open to the end). Every body
// ends with one more, the fragment of an earlier send.
template <class S>
S MakeBody(size_t size, size_t markers)
{
    using Ch = typename S::value_type;
    const char *paragraph = "<p>Quarterly figures attached; please review the numbers before Friday.</p>\r\n";
    const char *kinds[] = {"<img alt=\"qvmk\" src=\"http://old/1\">", "<IMG SRC=old ALT=qvmk>",
                           "<a href=\"http://old\" alt=qvmk>old</a>", "<span alt=\"qvmk\">"};
    const size_t paragraphs = size / strlen(paragraph);
    const size_t every = markers ? std::max<size_t>(1, paragraphs / markers) : 0;
    S body;
    for (const char *c = "<html><body>"; *c; ++c)
        body.push_back(Ch(*c));
    for (size_t n = 0, placed = 0; body.size() < size; ++n) {
        if (placed < markers && n % every == 0)
            for (const char *c = kinds[placed++ % 4]; *c; ++c)
                body.push_back(Ch(*c));
        for (const char *c = paragraph; *c; ++c)
            body.push_back(Ch(*c));
    }
    for (const char *c = "<img alt=\"qvmk\" src=\"http://old\"></BODY></html>"; *c; ++c)
        body.push_back(Ch(*c));
    return body;
}

template <class S>
void Report(const char *what, size_t size, size_t markers, const char *goal, int runs)
{
    using Ch = typename S::value_type;
    S body = MakeBody<S>(size, markers);
    S fragment;
    for (const char *c = "<img alt=\"qvmk\" src=\"http://www.quorvia.com/t/123\">"; *c; ++c)
        fragment.push_back(Ch(*c));
    std::vector<Ch> target(body.size() + fragment.size());

    volatile size_t sink = 0;
    // Two baselines: memcpy into a buffer already in use, and a copy of the
    // body into a new string, which like the marked text needs fresh memory.
    double copy = Median(runs, [&] {
        memcpy(target.data(), body.data(), body.size() * sizeof(Ch));
        sink = sink + target[body.size() / 2];
    });
    double fresh = Median(runs, [&] {
        S copied(body);
        sink = sink + copied.size();
    });
    double mark = Median(runs, [&] {
        S marked = InsertTrackingFragment(body, fragment);
        sink = sink + marked.size();
    });
    printf("%-20s %5.1f MB %5zu markers  memcpy %6.3f ms  string copy %6.3f ms  mark %8.3f ms  "
           "mark/memcpy %6.2fx  mark/string copy %5.2fx  (goal: %s)\n",
           what, body.size() * sizeof(Ch) / 1e6, markers + 1, copy * 1e3, fresh * 1e3, mark * 1e3, mark / copy,
           mark / fresh, goal);
}

} // namespace

int main()
{
    Report<std::string>("stream body (bytes)", 10 * 1000 * 1000, 0, "<= 5x memcpy", 9);
    Report<std::string>("stream body (bytes)", 10 * 1000 * 1000, 10000, "<= 3x string copy", 9);
    Report<std::wstring>("HTMLBody (UTF-16)", 5 * 1000 * 1000, 0, "<= 5x memcpy", 9);
    Report<std::wstring>("HTMLBody (UTF-16)", 5 * 1000 * 1000, 10000, "<= 3x string copy", 9);
    return 0;
}
