// The installed message handler, swapped under a lock, and ShowMessage's fallback to standard
// error.
#include "config/Notifier.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex g_handlerLock;
MessageHandler g_handler;

}  // namespace

MessageHandler InstallMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    return std::exchange(g_handler, std::move(handler));
}

void ShowMessage(const std::string& text) {
    MessageHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
    }
    // The handler runs outside the lock: a message box may take its time.
    if (handler) {
        handler(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}
