// A test double of the card library. It records every call in one ordered
// journal and calls the sinks back from a thread of its own, as the real
// library does. By default a Connect brings the link up and a Disconnect
// brings it down; both can be switched off to model an unreachable host or a
// silent library. Release removes the object's pending callbacks and waits for
// a running one, so no callback reaches a destroyed sink. Notes are fired by
// the test (FireNote); VexlinkLastNote gives an object's last one.
//
// One double serves the whole test program: Reset() between tests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cardlink/VexlinkApi.h"
#include "cardlink/VexlinkNotes.h"

class CFakeInstance;

class CFakeVexlink {
public:
    static CFakeVexlink& Get();

    // Forgets every object and journal entry and restores the default behaviour.
    // Objects from before are marked released and kept, so a card that outlives
    // the reset can still release its object safely.
    void Reset();

    // Behaviour.
    void SetCreateFails(bool fails);
    void SetAutoLinkUp(bool enabled);    // Connect → OnLinkUp
    void SetAutoLinkDown(bool enabled);  // Disconnect → OnLinkDown
    // Connect to this host brings no link up and notes VEXLINK_NOTE_REFUSED.
    void SetUnreachableHost(const std::string& host, bool unreachable);

    // The journal: one line per call, in call order, e.g. "create 1", "connect 1
    // host1 33254", "send 1 <Message...>", "disconnect 1", "release 1"; and, when
    // a callback has been delivered, "up 1", "down 1", "message 1 <text>",
    // "notify 1 <note number>".
    // Objects are numbered 1, 2, ... in creation order.
    std::vector<std::string> Journal() const;
    std::vector<std::string> JournalOf(int instance) const;  // lines of one object, prefix removed
    std::vector<std::string> SentBy(int instance) const;     // the texts sent by one object
    void ClearJournal();
    // Adds a line of the test's own (e.g. a pause) to the journal, in call order.
    void Note(const std::string& line);

    int InstanceCount() const;
    CFakeInstance* Instance(int number);  // 1-based; nullptr when none
    std::vector<VexlinkOptions> OptionsSeen() const;
    std::vector<std::pair<std::string, std::string>> TextsSeen() const;

    // Callbacks, delivered on the double's thread in the order asked for.
    void FireLinkUp(int instance);
    void FireLinkDown(int instance);
    void FireMessage(int instance, const std::string& text);
    // OnNotify, with `note` stored for VexlinkLastNote just before it.
    void FireNote(int instance, VexlinkNote note);
    // Waits until every callback asked for so far has been delivered.
    void WaitIdle();

    // Called by CreateVexlinkInstance and the objects.
    CVexlinkInstance* Create(CVexlinkSink* sink, const char* t1, const char* t2,
                             const VexlinkOptions* options);
    void OnConnect(CFakeInstance* instance, const std::string& host, const std::string& port);
    void OnDisconnect(CFakeInstance* instance);
    void OnSend(CFakeInstance* instance, const std::string& text);
    void OnRelease(CFakeInstance* instance);

private:
    CFakeVexlink();
    ~CFakeVexlink();
    struct Task {
        int instance;
        std::function<void(CVexlinkSink*)> call;
        std::string journalLine;
        std::string detail;  // appended to the journal line after the object's number
        VexlinkNote note;    // stored on the object before the call; NONE: keep the last
    };
    void Post(int instance, std::function<void(CVexlinkSink*)> call, std::string line,
              std::string detail = {}, VexlinkNote note = VEXLINK_NOTE_NONE);
    void Run();

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Task> m_tasks;
    int m_running = 0;  // instance whose callback is running now; 0 when none
    bool m_stop = false;
    std::vector<std::unique_ptr<CFakeInstance>> m_instances;
    std::vector<std::unique_ptr<CFakeInstance>> m_retired;  // from before the last Reset
    std::vector<std::string> m_journal;
    std::vector<VexlinkOptions> m_options;
    std::vector<std::pair<std::string, std::string>> m_texts;
    std::vector<std::string> m_unreachable;
    bool m_createFails = false;
    bool m_autoUp = true;
    bool m_autoDown = true;
    std::thread m_thread;
};

class CFakeInstance : public CVexlinkInstance {
public:
    CFakeInstance(CFakeVexlink* owner, int number, CVexlinkSink* sink)
        : m_owner(owner), m_number(number), m_sink(sink) {}
    virtual ~CFakeInstance() = default;

    void Unused() override {}
    void Release() override { m_owner->OnRelease(this); }
    int Connect(const char* host, const char* port) override {
        m_owner->OnConnect(this, host ? host : "", port ? port : "");
        return 0;
    }
    int Disconnect() override {
        m_owner->OnDisconnect(this);
        return 0;
    }
    int Send(const char* text, uint32_t length) override {
        m_owner->OnSend(this, std::string(text, length));
        return 0;
    }

    int Number() const { return m_number; }
    CVexlinkSink* Sink() const { return m_sink; }
    // Read by VexlinkLastNote on any thread; written on the double's thread.
    std::atomic<VexlinkNote> lastNote{VEXLINK_NOTE_NONE};
    // Guarded by the double's lock.
    bool released = false;
    bool linkUp = false;
    std::string connectedHost;

private:
    CFakeVexlink* m_owner;
    int m_number;
    CVexlinkSink* m_sink;
};
