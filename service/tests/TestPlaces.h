// Places the tests keep data in: a temporary folder, a small full-able disk,
// and a schema of its own on the tests' private PostgreSQL server.
#pragma once

#include <libpq-fe.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorvia::test {

namespace fs = std::filesystem;

struct TempDir
{
    fs::path path;
    TempDir()
    {
        char name[] = "/tmp/quorvia-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// A small tmpfs in a private mount namespace: a disk that is really full,
// seen by this process and its children alone.
struct SmallDisk
{
    const fs::path where;
    std::string failure;
    explicit SmallDisk(fs::path path) : where(std::move(path))
    {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", where.c_str(), "tmpfs", 0, "size=8m") != 0)
            failure = std::string("no tmpfs of this test's own here: ") + std::strerror(errno);
    }
    ~SmallDisk()
    {
        if (failure.empty())
            umount2(where.c_str(), MNT_DETACH);
    }
    // Writes a file until the disk refuses.
    void Fill() const
    {
        std::ofstream filler(where / "filler");
        const std::string block(64 * 1024, 'f');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    void MakeRoom() const { fs::remove(where / "filler"); }
};

#ifdef QUORVIA_TEST_POSTGRES
inline std::string PostgresUrl()
{
    std::ifstream file(QUORVIA_TEST_POSTGRES "/url");
    std::string url;
    if (!std::getline(file, url) || url.empty())
        throw std::runtime_error("the tests' PostgreSQL server is not running: its fixture (ctest's postgres_start, "
                                 "or " QUORVIA_TEST_POSTGRES_SCRIPT " start " QUORVIA_TEST_POSTGRES ") failed or did not run");
    return url;
}

inline void PostgresExecute(const std::string &url, const std::string &sql)
{
    std::unique_ptr<PGconn, decltype(&PQfinish)> c(PQconnectdb(url.c_str()), PQfinish);
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c.get(), sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error("PostgreSQL: " + sql + ": " + PQerrorMessage(c.get()));
}

// A fresh schema of the server, dropped with this; Url() reaches into it.
class PostgresSchema
{
public:
    PostgresSchema() : m_url(PostgresUrl())
    {
        static std::atomic<int> count{0};
        m_schema = "test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
        PostgresExecute(m_url, "DROP SCHEMA IF EXISTS " + m_schema + " CASCADE; CREATE SCHEMA " + m_schema);
    }
    ~PostgresSchema()
    {
        try {
            PostgresExecute(m_url, "DROP SCHEMA " + m_schema + " CASCADE");
        } catch (const std::exception &) {
        }
    }
    PostgresSchema(const PostgresSchema &) = delete;
    PostgresSchema &operator=(const PostgresSchema &) = delete;
    std::string Url() const { return m_url + "?options=-csearch_path%3D" + m_schema; }

private:
    std::string m_url, m_schema;
};

// Stops the server keeping its data (pause), or starts it again (start).
inline void PostgresScript(const char *command)
{
    const std::string line = std::string(QUORVIA_TEST_POSTGRES_SCRIPT " ") + command + " " QUORVIA_TEST_POSTGRES " >/dev/null";
    if (std::system(line.c_str()) != 0)
        throw std::runtime_error(line + " failed");
}
#endif

} // namespace quorvia::test
