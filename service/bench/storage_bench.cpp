// storage_bench [POSTGRES_URL]: what the storage's choices cost.
// - opens a second through AddOpens, one call after another, in batches of
//   1, 16 and 256: SQLite with synchronous NORMAL and FULL, and PostgreSQL
//   when a URL is given (its database gets the tables, and keeps the rows);
// - SQLite under the pixel's load: threads looking tokens up while one
//   thread adds batches of opens, with the readers beside the writer or with
//   the one connection doing everything.
#include "storage/Storage.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace quorvia;
using Steady = std::chrono::steady_clock;

namespace {

struct TempDir
{
    std::filesystem::path path;
    TempDir()
    {
        char name[] = "/var/tmp/quorvia-bench-XXXXXX"; // a disk, not a tmpfs: fsync must cost what it costs
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

double Seconds(Steady::time_point since) { return std::chrono::duration<double>(Steady::now() - since).count(); }

int64_t MessageOf(Storage &store, const std::string &token)
{
    static int accounts = 0;
    const int64_t account = store.CreateAccount("bench" + std::to_string(getpid()) + "-" + std::to_string(++accounts) + "@example.com", "h");
    return store.AddMessage({account, token, "bob@example.org", "Bench", Now(), "203.0.113.0/24"});
}

void Batches(const char *name, Storage &store)
{
    const int64_t message = MessageOf(store, "batch-" + std::to_string(getpid()) + name);
    const Open open{message, Now(), "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36", "198.51.100.0/24",
                    "person", "default"};
    std::printf("%-16s", name);
    for (size_t batch : {1, 16, 256}) {
        const std::vector<Open> opens(batch, open);
        const size_t calls = std::max<size_t>(8, 4096 / batch);
        const auto start = Steady::now();
        for (size_t i = 0; i < calls; ++i)
            store.AddOpens(opens);
        std::printf("  batch %3zu: %8.0f opens/s", batch, double(calls * batch) / Seconds(start));
    }
    std::printf("\n");
}

void PixelLoad(int readers)
{
    TempDir dir;
    SqliteOptions options;
    options.readers = readers;
    auto store = OpenSqlite(dir.path, options);
    const int64_t message = MessageOf(*store, "load");
    std::atomic<bool> stop{false};
    std::atomic<long> lookups{0}, opens{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!stop)
                if (store->FindToken("load"))
                    ++lookups;
        });
    threads.emplace_back([&] {
        const std::vector<Open> batch(16, Open{message, Now(), "ua", "198.51.100.0/24", "person", "default"});
        while (!stop) {
            store->AddOpens(batch);
            opens += batch.size();
        }
    });
    const auto start = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = Seconds(start);
    std::printf("SQLite FULL, %d reader%s  4 threads look up: %8.0f tokens/s;  1 thread adds batches of 16: %8.0f opens/s\n",
                readers, readers == 1 ? ": " : "s:", lookups / seconds, opens / seconds);
}

} // namespace

int main(int argc, char **argv)
{
    for (bool full : {false, true}) {
        TempDir dir;
        SqliteOptions options;
        options.syncEveryCommit = full;
        auto store = OpenSqlite(dir.path, options);
        Batches(full ? "SQLite FULL" : "SQLite NORMAL", *store);
    }
    if (argc > 1) {
        auto store = OpenPostgres(argv[1]);
        Batches("PostgreSQL", *store);
    }
    for (int readers : {0, 2, 4})
        PixelLoad(readers);
}
