// Stands in for the browser in the test prefix: the tests register it as the
// program that opens http URLs, and it appends each URL it is asked to open,
// one per line, to the file named by QUORVIA_URL_LOG (inherited from the test
// that clicked the link), or to url_recorder.log beside itself.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    std::string path;
    char fromEnvironment[MAX_PATH] = {};
    if (GetEnvironmentVariableA("QUORVIA_URL_LOG", fromEnvironment, MAX_PATH) > 0) {
        path = fromEnvironment;
    } else {
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        path = self;
        path = path.substr(0, path.find_last_of('\\') + 1) + "url_recorder.log";
    }
    FILE *log = fopen(path.c_str(), "ab");
    if (!log)
        return 1;
    fprintf(log, "%s\n", argc > 1 ? argv[1] : "");
    fclose(log);
    return 0;
}
