#include "mail/Mailer.h"

#include "util/Log.h"

#include <curl/curl.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

namespace quorvia {
namespace {

// A header's text: printable ASCII as it is, anything else as an RFC 2047
// encoded word, so UTF-8 subjects arrive intact and no line break gets in.
std::string HeaderText(const std::string &text)
{
    bool plain = true;
    for (unsigned char c : text)
        plain = plain && c >= 0x20 && c < 0x7F;
    if (plain)
        return text;
    char encoded[1024];
    const std::string cut = text.substr(0, 700);
    sodium_bin2base64(encoded, sizeof encoded, reinterpret_cast<const unsigned char *>(cut.data()), cut.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    return std::string("=?UTF-8?B?") + encoded + "?=";
}

std::string Domain(const std::string &address)
{
    const size_t at = address.rfind('@');
    return at == std::string::npos ? "quorvia.invalid" : address.substr(at + 1);
}

struct CurlDeleter
{
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

struct Upload
{
    const std::string &data;
    size_t at = 0;
};

size_t ReadUpload(char *buffer, size_t size, size_t count, void *user)
{
    Upload &upload = *static_cast<Upload *>(user);
    const size_t n = std::min(size * count, upload.data.size() - upload.at);
    std::memcpy(buffer, upload.data.data() + upload.at, n);
    upload.at += n;
    return n;
}

} // namespace

std::string Mailer::Message(const Mail &mail, const std::string &from)
{
    char date[64];
    const time_t now = std::time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    unsigned char random[12];
    randombytes_buf(random, sizeof random);
    char id[sizeof random * 2 + 1];
    sodium_bin2hex(id, sizeof id, random, sizeof random);

    std::string message = "Date: " + std::string(date) + "\r\nFrom: Quorvia <" + from + ">\r\nTo: <" + mail.to +
                          ">\r\nSubject: " + HeaderText(mail.subject) + "\r\nMessage-ID: <" + id + "@" +
                          Domain(from) +
                          ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                          "Content-Transfer-Encoding: 8bit\r\n\r\n";
    for (size_t begin = 0; begin < mail.text.size();) {
        size_t end = mail.text.find('\n', begin);
        if (end == std::string::npos)
            end = mail.text.size();
        // As it is: libcurl doubles a leading dot for SMTP itself.
        message += mail.text.substr(begin, end - begin) + "\r\n";
        begin = end + 1;
    }
    return message;
}

bool Mailer::Send(const Mail &mail)
{
    // An address is one line: nothing may add a header or a recipient.
    if (mail.to.find_first_of("\r\n<>,") != std::string::npos) {
        Log("mail not sent: the address is not one");
        return false;
    }
    const std::string message = Message(mail, m_settings.from);
    return m_settings.smtpUrl.empty() ? File(mail, message) : Relay(mail, message);
}

bool Mailer::File(const Mail &mail, const std::string &message)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(m_settings.outbox, error);
    // Its files hold working links: for the service's owner alone.
    fs::permissions(m_settings.outbox, fs::perms::owner_all, error);
    unsigned char random[6];
    randombytes_buf(random, sizeof random);
    char suffix[sizeof random * 2 + 1];
    sodium_bin2hex(suffix, sizeof suffix, random, sizeof random);
    char stamp[32];
    const time_t now = std::time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const fs::path final = fs::path(m_settings.outbox) / (std::string(stamp) + "-" + suffix + ".eml");
    const fs::path partial = final.string() + ".part";
    {
        const mode_t old = umask(077);
        std::ofstream out(partial, std::ios::binary);
        umask(old);
        out << message;
        out.close();
        if (!out) {
            Log("mail to %s not written: cannot write %s", mail.to.c_str(), partial.c_str());
            fs::remove(partial, error);
            return false;
        }
    }
    fs::rename(partial, final, error);
    if (error) {
        Log("mail to %s not written: %s", mail.to.c_str(), error.message().c_str());
        return false;
    }
    Log("no SMTP relay configured: mail to %s written to %s", mail.to.c_str(), final.c_str());
    return true;
}

bool Mailer::Relay(const Mail &mail, const std::string &message)
{
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (global != CURLE_OK) {
        Log("mail to %s not sent: libcurl cannot start", mail.to.c_str());
        return false;
    }
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        return false;
    std::unique_ptr<curl_slist, SlistDeleter> recipients(curl_slist_append(nullptr, ("<" + mail.to + ">").c_str()));
    Upload upload{message};
    const std::string from = "<" + m_settings.from + ">";
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, m_settings.smtpUrl.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    char problem[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, problem);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        Log("mail to %s not sent through the relay: %s", mail.to.c_str(), problem[0] ? problem : curl_easy_strerror(rc));
        return false;
    }
    Log("mail to %s handed to the SMTP relay", mail.to.c_str());
    return true;
}

Background::Background(size_t capacity) : m_capacity(capacity), m_thread([this] { Run(); }) {}

Background::~Background()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

bool Background::Post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_jobs.size() >= m_capacity)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void Background::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (const std::exception &e) {
            Log("background job failed: %s", e.what());
        }
        lock.lock();
    }
}

} // namespace quorvia
