// The debug log, observed from outside: every case runs its logging in a child
// process (this program started again with --log-scenario=NAME), so the child
// opens the log as the first caller of its process, and the parent can read,
// check and delete the files once the child has closed them by exiting.

#include "log/DebugLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- The child's side: each scenario makes its calls and prints their results.

const char kScenarioOption[] = "--log-scenario=";

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 500;

std::string Results(const std::vector<int> &results)
{
    std::string text;
    for (int r : results)
        text += (text.empty() ? "" : " ") + std::to_string(r);
    return text;
}

// Returns what the parent expects to read, or nothing for an unknown name.
bool RunScenario(const std::string &name, std::string &printed)
{
    if (name == "levels") {
        printed = Results({DebugLog(3, "level three\n"), DebugLog(0xFFFFFFFF, "highest level\n")});
    } else if (name == "first-and-later") {
        int first = DebugLog(1, "first %d\n", 1);
        int later = DebugLog(2, "later %s\n", "two");
        printed = Results({first, later});
    } else if (name == "empty-then-message") {
        int empty = DebugLog(1, "%s", "");
        int emptyAgain = DebugLog(2, "%s", "");
        int message = DebugLog(1, "message\n");
        printed = Results({empty, emptyAgain, message});
    } else if (name == "long") {
        std::string longText(10000, 'x');
        int cut = DebugLog(1, "%s\n", longText.c_str());
        int after = DebugLog(1, "after\n");
        printed = Results({cut, after});
    } else if (name.compare(0, 5, "line:") == 0) {
        printed = Results({DebugLog(1, "%s\n", name.c_str() + 5)});
    } else if (name == "blocked-then-freed") {
        // Both places are blocked by the parent; freeing the Windows directory's
        // one between calls shows that a later call opens the log after all.
        int first = DebugLog(1, "lost one\n");
        int second = DebugLog(2, "lost two\n");
        RemoveDirectoryA(test::WindowsLogPath().c_str());
        int third = DebugLog(1, "found\n");
        printed = Results({first, second, third});
    } else if (name == "threads") {
        std::vector<int> fullLines(kThreads, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &fullLines] {
                for (int line = 0; line < kLinesPerThread; ++line)
                    if (DebugLog(1 + line % 2, "thread %d line %03d\n", t, line) == 18)
                        ++fullLines[t];
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        printed = Results(fullLines);
    } else {
        return false;
    }
    return true;
}

// ---- The parent's side.

std::string TrimRight(std::string text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

void RemoveLogPlaces()
{
    std::string windowsLog = test::WindowsLogPath();
    DeleteFileA(windowsLog.c_str());
    RemoveDirectoryA(windowsLog.c_str());
    std::string localLog = test::LocalAppDataLogPath();
    DeleteFileA(localLog.c_str());
    RemoveDirectoryA(localLog.c_str());
    RemoveDirectoryA(test::LocalAppDataLogFolder().c_str());
}

class DebugLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RemoveLogPlaces();
        ASSERT_FALSE(test::PathExists(test::WindowsLogPath()));
        ASSERT_FALSE(test::PathExists(test::LocalAppDataLogFolder()));
    }
    void TearDown() override { RemoveLogPlaces(); }

    // Runs one scenario in a child process; returns what it printed.
    static std::string Child(const std::string &scenario)
    {
        test::ProcessResult run =
            test::RunProcess("\"" + test::ThisProgramPath() + "\" " + kScenarioOption + scenario);
        EXPECT_TRUE(run.started) << scenario;
        EXPECT_EQ(0u, run.exitCode) << scenario;
        return TrimRight(run.output);
    }

    static std::vector<std::string> FileLines(const std::string &path)
    {
        std::optional<std::string> bytes = test::ReadFileBytes(path);
        EXPECT_TRUE(bytes.has_value()) << path << " is missing";
        return bytes ? test::SplitCrLfLines(*bytes) : std::vector<std::string>();
    }
};

unsigned MillisecondOfDay(const SYSTEMTIME &t)
{
    return ((t.wHour * 60u + t.wMinute) * 60u + t.wSecond) * 1000u + t.wMilliseconds;
}

std::string LongDate(const SYSTEMTIME &t)
{
    char date[128] = {};
    GetDateFormatA(0, DATE_LONGDATE, &t, nullptr, date, 127);
    return date;
}

TEST_F(DebugLogTest, HeaderCarriesLocalDateAndTimeAndLinesEndInCrLf)
{
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    EXPECT_EQ("8 10", Child("first-and-later"));
    GetLocalTime(&after);

    std::optional<std::string> bytes = test::ReadFileBytes(test::WindowsLogPath());
    ASSERT_TRUE(bytes.has_value());
    // Text mode on disk: every line end is CR LF, none doubled, no bare LF.
    size_t crlf = 0;
    for (size_t i = 0; i < bytes->size(); ++i) {
        if ((*bytes)[i] == '\n') {
            ASSERT_TRUE(i > 0 && (*bytes)[i - 1] == '\r') << "bare LF at " << i;
            ++crlf;
        } else if ((*bytes)[i] == '\r') {
            ASSERT_TRUE(i + 1 < bytes->size() && (*bytes)[i + 1] == '\n') << "stray CR at " << i;
        }
    }
    EXPECT_EQ(3u, crlf);

    std::vector<std::string> lines = test::SplitCrLfLines(*bytes);
    ASSERT_EQ(3u, lines.size());
    std::smatch header;
    ASSERT_TRUE(std::regex_match(lines[0], header,
                                 std::regex(R"(--- (.+) ([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])\.([0-9]{3}) ---)")))
        << lines[0];
    EXPECT_TRUE(header[1] == LongDate(before) || header[1] == LongDate(after)) << header[1];
    SYSTEMTIME stamped = before;
    stamped.wHour = static_cast<WORD>(std::stoi(header[2]));
    stamped.wMinute = static_cast<WORD>(std::stoi(header[3]));
    stamped.wSecond = static_cast<WORD>(std::stoi(header[4]));
    stamped.wMilliseconds = static_cast<WORD>(std::stoi(header[5]));
    if (before.wDay == after.wDay) {
        EXPECT_LE(MillisecondOfDay(before), MillisecondOfDay(stamped)) << lines[0];
        EXPECT_GE(MillisecondOfDay(after), MillisecondOfDay(stamped)) << lines[0];
    }
    // The first call wrote the header and then its message; the later one only its own.
    EXPECT_EQ("first 1", lines[1]);
    EXPECT_EQ("later two", lines[2]);
}

TEST_F(DebugLogTest, LevelAboveThresholdWritesNothingAndLeavesFileUncreated)
{
    EXPECT_EQ("0 0", Child("levels"));
    EXPECT_FALSE(test::PathExists(test::WindowsLogPath()));
    EXPECT_FALSE(test::PathExists(test::LocalAppDataLogFolder()));
}

TEST_F(DebugLogTest, EmptyMessageWritesNothingButTheOpeningCallWritesTheHeader)
{
    EXPECT_EQ("0 0 8", Child("empty-then-message"));
    std::vector<std::string> lines = FileLines(test::WindowsLogPath());
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
    EXPECT_EQ("message", lines[1]);
}

TEST_F(DebugLogTest, LongMessageIsCutTo8192Characters)
{
    EXPECT_EQ("8192 6", Child("long"));
    std::vector<std::string> lines = FileLines(test::WindowsLogPath());
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
    // The cut takes the line end with it, so the next message follows on the same line.
    EXPECT_EQ(std::string(8192, 'x') + "after", lines[1]);
}

TEST_F(DebugLogTest, EachProcessAppendsItsOwnHeaderAfterEarlierContent)
{
    {
        HANDLE file = CreateFileA(test::WindowsLogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, "earlier content\r\n", 17, &written, nullptr);
        CloseHandle(file);
    }
    EXPECT_EQ("14", Child("line:first-process"));
    EXPECT_EQ("15", Child("line:second-process"));

    std::vector<std::string> lines = FileLines(test::WindowsLogPath());
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("earlier content", lines[0]);
    EXPECT_TRUE(test::IsLogHeader(lines[1])) << lines[1];
    EXPECT_EQ("first-process", lines[2]);
    EXPECT_TRUE(test::IsLogHeader(lines[3])) << lines[3];
    EXPECT_EQ("second-process", lines[4]);
}

TEST_F(DebugLogTest, FallsBackToLocalAppDataWhenWindowsDirectoryRefusesTheFile)
{
    // A directory of the log's name makes the file impossible to open.
    ASSERT_TRUE(CreateDirectoryA(test::WindowsLogPath().c_str(), nullptr));

    EXPECT_EQ("8 10", Child("first-and-later"));

    std::vector<std::string> lines = FileLines(test::LocalAppDataLogPath());
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
    EXPECT_EQ("first 1", lines[1]);
    EXPECT_EQ("later two", lines[2]);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA(test::WindowsLogPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(DebugLogTest, NothingIsWrittenWhileBothPlacesFailAndALaterCallOpensTheLog)
{
    ASSERT_TRUE(CreateDirectoryA(test::WindowsLogPath().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(test::LocalAppDataLogFolder().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(test::LocalAppDataLogPath().c_str(), nullptr));

    EXPECT_EQ("0 0 6", Child("blocked-then-freed"));

    // The call that finally opened the log wrote the header and only its own message.
    std::vector<std::string> lines = FileLines(test::WindowsLogPath());
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
    EXPECT_EQ("found", lines[1]);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA(test::LocalAppDataLogPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(DebugLogTest, ConcurrentCallersLoseNoLineAndMixNone)
{
    std::string everyThreadComplete = Results(std::vector<int>(kThreads, kLinesPerThread));
    EXPECT_EQ(everyThreadComplete, Child("threads"));

    std::vector<std::string> lines = FileLines(test::WindowsLogPath());
    ASSERT_EQ(1u + kThreads * kLinesPerThread, lines.size());
    EXPECT_TRUE(test::IsLogHeader(lines[0])) << lines[0];
    std::vector<int> nextLine(kThreads, 0);
    const std::regex intact(R"(thread ([0-9]) line ([0-9]{3}))");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, intact)) << "line " << i << ": " << lines[i];
        int thread = std::stoi(m[1]);
        ASSERT_LT(thread, kThreads) << lines[i];
        // Each thread's lines arrive whole and in the order it wrote them.
        ASSERT_EQ(nextLine[thread], std::stoi(m[2])) << "line " << i << ": " << lines[i];
        ++nextLine[thread];
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLinesPerThread), nextLine);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strncmp(argv[1], kScenarioOption, strlen(kScenarioOption)) == 0) {
        std::string printed;
        if (!RunScenario(argv[1] + strlen(kScenarioOption), printed))
            return 2;
        printf("%s\n", printed.c_str());
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
