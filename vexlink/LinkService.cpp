// The library's network thread: started on first use, never destroyed, stopped and joined at
// process exit. LinkService.h tells why.
#include "vexlink/LinkService.h"

#include <exception>

namespace {
thread_local bool t_serviceThread = false;
}

// Stops the service when the process exits (or the library is unloaded).
class CLinkService::CStopAtExit {
public:
    explicit CStopAtExit(CLinkService& service) : m_service(service) {}
    ~CStopAtExit() { m_service.Stop(); }
    CStopAtExit(const CStopAtExit&) = delete;
    CStopAtExit& operator=(const CStopAtExit&) = delete;

private:
    CLinkService& m_service;
};

CLinkService& CLinkService::Get() {
    // Deliberately never deleted; see the header.
    static CLinkService& service = *new CLinkService();
    static CStopAtExit stopAtExit(service);
    return service;
}

bool CLinkService::OnServiceThread() {
    return t_serviceThread;
}

CLinkService::CLinkService() : m_work(asio::make_work_guard(m_context)) {
    m_thread = std::thread([this] { Run(); });
}

void CLinkService::Stop() {
    m_work.reset();
    m_context.stop();
    // A process that exits from inside a callback cannot wait for itself.
    if (OnServiceThread()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

void CLinkService::Run() {
    t_serviceThread = true;
    // A handler that throws (out of memory) costs that handler's work, not the
    // thread that every link depends on.
    for (;;) {
        try {
            m_context.run();
            return;
        } catch (const std::exception&) {
        } catch (...) {
        }
    }
}
