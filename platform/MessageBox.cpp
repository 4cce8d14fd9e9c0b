#include "platform/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace qf::platform {
namespace {
std::mutex g_presenterLock;
MessagePresenter g_presenter;
} // namespace

void SetMessagePresenter(MessagePresenter presenter) {
    std::lock_guard<std::mutex> lk(g_presenterLock);
    g_presenter = std::move(presenter);
}

MsgResult ShowMessageBox(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) {
    MessagePresenter p;
    {
        std::lock_guard<std::mutex> lk(g_presenterLock);
        p = g_presenter;
    }
    if (p) return p(text, caption, icon, buttons);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return buttons == MsgButtons::YesNo ? MsgResult::Yes : MsgResult::Ok;
}

} // namespace qf::platform
