#include "platform/UrlOpener.h"

#include <cerrno>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

namespace qf::platform {
namespace {

std::mutex g_lock;
CUrlOpener::Opener g_opener;

int SpawnXdgOpen(const std::string& url) {
    // Double fork: the browser helper is not our child, so it never
    // lingers as a zombie and we never wait for it.
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild == 0) {
            const char* argv[] = {"xdg-open", url.c_str(), nullptr};
            ::execvp("xdg-open", const_cast<char* const*>(argv));
            ::_exit(127);
        }
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(child, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : -1;
}

} // namespace

int CUrlOpener::Open(const std::string& url) {
    if (url.empty() || url[0] == '-') return -1;
    for (unsigned char c : url)
        if (c < 0x20 || c == 0x7F) return -1;
    Opener opener;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        opener = g_opener;
    }
    return opener ? opener(url) : SpawnXdgOpen(url);
}

void CUrlOpener::SetOpener(Opener opener) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_opener = std::move(opener);
}

} // namespace qf::platform
