// The library's one network thread and its event loop, shared by every
// instance of the process.
//
// The thread starts with the first use (the first CreateVexlinkInstance) and
// runs until the process exits; it is not stopped when the last instance is
// released, because a name lookup under way cannot be interrupted and
// stopping would make Release wait for it. At exit the loop is stopped and the
// thread joined, so no callback runs during the process's own teardown. The
// loop itself is never destroyed: an instance released later than that (by a
// static destructor, say) still hands its work to a valid, stopped loop, and
// nothing is called back.
//
// Every asio object of the library is used on this thread only; the instance
// operations called by the station hand their work over with asio::post.
// Every sink callback therefore runs on this thread, one at a time.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Woverloaded-virtual"
#include <asio.hpp>
#pragma GCC diagnostic pop

#include <thread>

class CLinkService {
public:
    // The process's service, started on first use.
    static CLinkService& Get();

    CLinkService(const CLinkService&) = delete;
    CLinkService& operator=(const CLinkService&) = delete;

    asio::io_context& Context() { return m_context; }

private:
    class CStopAtExit;

    CLinkService();
    ~CLinkService() = delete;  // lives as long as the process
    void Run();
    void Stop();
    // True on the service thread, inside a handler or a sink callback.
    static bool OnServiceThread();

    asio::io_context m_context{1};
    asio::executor_work_guard<asio::io_context::executor_type> m_work;
    std::thread m_thread;
};
