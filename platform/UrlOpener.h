#pragma once
// Opens a web address in the user's browser (xdg-open). The address goes
// to the opener as one argument, never through a shell. Tests and the Qt
// program may install their own opener.
#include <functional>
#include <string>

namespace qf::platform {

class CUrlOpener {
public:
    using Opener = std::function<int(const std::string& url)>;

    // 1 when the browser was started, -1 otherwise (also for an address
    // that is empty, starts with '-' or holds control characters).
    static int Open(const std::string& url);
    static void SetOpener(Opener opener);
};

} // namespace qf::platform
