// The card library's test double: CreateVexlinkInstance and VexlinkLastNote for the unit tests, the
// call journal, and callbacks fired from the double's own thread. FakeVexlink.h draws it.
#include "support/FakeVexlink.h"

#include <algorithm>

extern "C" CVexlinkInstance* CreateVexlinkInstance(CVexlinkSink* sink, const char* text1,
                                                   const char* text2,
                                                   const VexlinkOptions* options) {
    return CFakeVexlink::Get().Create(sink, text1, text2, options);
}

extern "C" int32_t VexlinkLastNote(CVexlinkInstance* instance) {
    if (instance == nullptr) {
        return VEXLINK_NOTE_NONE;
    }
    return static_cast<CFakeInstance*>(instance)->lastNote.load();
}

CFakeVexlink& CFakeVexlink::Get() {
    static CFakeVexlink instance;
    return instance;
}

CFakeVexlink::CFakeVexlink() : m_thread([this] { Run(); }) {}

CFakeVexlink::~CFakeVexlink() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CFakeVexlink::Reset() {
    WaitIdle();
    std::lock_guard<std::mutex> guard(m_lock);
    m_tasks.clear();
    for (auto& instance : m_instances) {
        instance->released = true;
        m_retired.push_back(std::move(instance));
    }
    m_instances.clear();
    m_journal.clear();
    m_options.clear();
    m_texts.clear();
    m_unreachable.clear();
    m_createFails = false;
    m_autoUp = true;
    m_autoDown = true;
}

void CFakeVexlink::SetCreateFails(bool fails) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_createFails = fails;
}

void CFakeVexlink::SetAutoLinkUp(bool enabled) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_autoUp = enabled;
}

void CFakeVexlink::SetAutoLinkDown(bool enabled) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_autoDown = enabled;
}

void CFakeVexlink::SetUnreachableHost(const std::string& host, bool unreachable) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase(m_unreachable, host);
    if (unreachable) {
        m_unreachable.push_back(host);
    }
}

std::vector<std::string> CFakeVexlink::Journal() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_journal;
}

std::vector<std::string> CFakeVexlink::JournalOf(int instance) const {
    const std::string suffix = " " + std::to_string(instance);
    std::vector<std::string> lines;
    for (const std::string& line : Journal()) {
        const size_t verbEnd = line.find(' ');
        if (verbEnd == std::string::npos) {
            continue;
        }
        const size_t numberEnd = line.find(' ', verbEnd + 1);
        const std::string number = line.substr(verbEnd + 1, numberEnd - verbEnd - 1);
        if (number != std::to_string(instance)) {
            continue;
        }
        std::string rest = line.substr(0, verbEnd);
        if (numberEnd != std::string::npos) {
            rest += line.substr(numberEnd);
        }
        lines.push_back(rest);
    }
    return lines;
}

std::vector<std::string> CFakeVexlink::SentBy(int instance) const {
    std::vector<std::string> texts;
    for (const std::string& line : JournalOf(instance)) {
        if (line.rfind("send ", 0) == 0) {
            texts.push_back(line.substr(5));
        }
    }
    return texts;
}

void CFakeVexlink::ClearJournal() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_journal.clear();
}

void CFakeVexlink::Note(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_journal.push_back(line);
}

int CFakeVexlink::InstanceCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_instances.size());
}

CFakeInstance* CFakeVexlink::Instance(int number) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (number < 1 || number > static_cast<int>(m_instances.size())) {
        return nullptr;
    }
    return m_instances[static_cast<size_t>(number - 1)].get();
}

std::vector<VexlinkOptions> CFakeVexlink::OptionsSeen() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_options;
}

std::vector<std::pair<std::string, std::string>> CFakeVexlink::TextsSeen() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_texts;
}

void CFakeVexlink::FireLinkUp(int instance) {
    Post(
        instance, [](CVexlinkSink* sink) { sink->OnLinkUp(); }, "up");
}

void CFakeVexlink::FireLinkDown(int instance) {
    Post(
        instance, [](CVexlinkSink* sink) { sink->OnLinkDown(); }, "down");
}

void CFakeVexlink::FireMessage(int instance, const std::string& text) {
    Post(
        instance,
        [text](CVexlinkSink* sink) {
            sink->OnMessage(text.c_str(), static_cast<uint32_t>(text.size()));
        },
        "message", text);
}

void CFakeVexlink::FireNote(int instance, VexlinkNote note) {
    Post(
        instance, [](CVexlinkSink* sink) { sink->OnNotify(); }, "notify",
        std::to_string(static_cast<int>(note)), note);
}

void CFakeVexlink::WaitIdle() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_idle.wait(guard, [this] { return m_tasks.empty() && m_running == 0; });
}

CVexlinkInstance* CFakeVexlink::Create(CVexlinkSink* sink, const char* t1, const char* t2,
                                       const VexlinkOptions* options) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (options != nullptr) {
        m_options.push_back(*options);
    }
    m_texts.emplace_back(t1 ? t1 : "(null)", t2 ? t2 : "(null)");
    if (m_createFails) {
        m_journal.push_back("create-failed");
        return nullptr;
    }
    const int number = static_cast<int>(m_instances.size()) + 1;
    m_instances.push_back(std::make_unique<CFakeInstance>(this, number, sink));
    m_journal.push_back("create " + std::to_string(number));
    return m_instances.back().get();
}

void CFakeVexlink::OnConnect(CFakeInstance* instance, const std::string& host,
                             const std::string& port) {
    bool up = false;
    bool unreachable = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_journal.push_back("connect " + std::to_string(instance->Number()) + " " + host + " " +
                            port);
        instance->connectedHost = host;
        unreachable =
            std::find(m_unreachable.begin(), m_unreachable.end(), host) != m_unreachable.end();
        up = m_autoUp && !unreachable && !instance->linkUp;
    }
    if (up) {
        FireLinkUp(instance->Number());
    } else if (unreachable) {
        FireNote(instance->Number(), VEXLINK_NOTE_REFUSED);
    }
}

void CFakeVexlink::OnDisconnect(CFakeInstance* instance) {
    bool down = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_journal.push_back("disconnect " + std::to_string(instance->Number()));
        down = m_autoDown;
    }
    if (down) {
        FireLinkDown(instance->Number());
    }
}

void CFakeVexlink::OnSend(CFakeInstance* instance, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_journal.push_back("send " + std::to_string(instance->Number()) + " " + text);
}

void CFakeVexlink::OnRelease(CFakeInstance* instance) {
    std::unique_lock<std::mutex> guard(m_lock);
    const int number = instance->Number();
    m_journal.push_back("release " + std::to_string(number));
    instance->released = true;
    std::erase_if(m_tasks, [number](const Task& task) { return task.instance == number; });
    // A callback of this object that is running now finishes before Release returns.
    m_idle.wait(guard, [this, number] { return m_running != number; });
}

void CFakeVexlink::Post(int instance, std::function<void(CVexlinkSink*)> call, std::string line,
                        std::string detail, VexlinkNote note) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_tasks.push_back(
            Task{instance, std::move(call), std::move(line), std::move(detail), note});
    }
    m_wake.notify_all();
}

void CFakeVexlink::Run() {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return m_stop || !m_tasks.empty(); });
        if (m_stop) {
            return;
        }
        Task task = std::move(m_tasks.front());
        m_tasks.pop_front();
        if (task.instance < 1 || task.instance > static_cast<int>(m_instances.size())) {
            m_idle.notify_all();
            continue;
        }
        CFakeInstance* instance = m_instances[static_cast<size_t>(task.instance - 1)].get();
        if (instance->released) {
            m_idle.notify_all();
            continue;
        }
        // The link flag follows what the sink has been told.
        if (task.journalLine == "up") {
            if (instance->linkUp) {
                m_idle.notify_all();
                continue;  // one OnLinkUp per link
            }
            instance->linkUp = true;
        } else if (task.journalLine == "down") {
            if (!instance->linkUp) {
                m_idle.notify_all();
                continue;  // OnLinkDown only after OnLinkUp
            }
            instance->linkUp = false;
        }
        if (task.note != VEXLINK_NOTE_NONE) {
            instance->lastNote.store(task.note);
        }
        m_running = task.instance;
        std::string journalLine = task.journalLine + " " + std::to_string(task.instance);
        if (!task.detail.empty()) {
            journalLine += " " + task.detail;
        }
        m_journal.push_back(journalLine);
        CVexlinkSink* sink = instance->Sink();
        guard.unlock();
        task.call(sink);
        guard.lock();
        m_running = 0;
        m_idle.notify_all();
    }
}
