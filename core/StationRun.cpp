// The run's stop order, kept in one place.
#include "core/StationRun.h"

#include <pthread.h>

#include <utility>

CStationRun::CStationRun(StationConfig config, Options options)
    : m_core(std::make_unique<COrvane>(std::move(config), options.clock, options.messages)),
      m_options(std::move(options)) {}

CStationRun::~CStationRun() {
    Stop();
    End();
}

void CStationRun::AddObserver(CStationObserver* observer) {
    if (observer != nullptr) {
        m_observers.push_back(observer);
    }
}

void CStationRun::Start() {
    if (m_started || !m_core) {
        return;
    }
    m_started = true;
    if (m_extension != nullptr) {
        m_extension->Attach(*m_core);
    }
    for (CStationObserver* observer : m_observers) {
        m_core->AddObserver(observer);
    }
    m_core->AddObserver(&m_latest);
    DispatchHooks hooks;
    hooks.refresh = m_options.refresh;
    hooks.messagesHandled = m_options.messagesHandled;
    COrvane* core = m_core.get();
    hooks.begun = [this, core] { m_latest.Publish(core->CurrentSnapshot()); };
    m_thread = std::thread(
        [core, hooks = std::move(hooks)]() mutable { CDispatcher(*core, std::move(hooks)).Run(); });
    // Named, so that a measurement or an operator tells its CPU time from the
    // others'; named here, so that it bears the name by the time Start returns.
    pthread_setname_np(m_thread.native_handle(), "dispatch");
}

void CStationRun::Stop() {
    if (m_thread.joinable()) {
        m_core->PostQuit();
        m_thread.join();
    }
}

bool CStationRun::WriteStatistics() {
    Stop();
    return m_core ? m_core->WriteStatistics() : true;
}

void CStationRun::End() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    Stop();
    m_core.reset();
    if (m_extension != nullptr && m_started) {
        m_extension->Finish();
    }
}
