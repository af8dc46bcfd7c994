// One card's link: the state behind one CVexlinkInstance.
//
//   station threads                      service thread
//   +-------------+                      +------------------------------------------+
//   | Connect     |--post-> Start ------>| resolve -> connect -> OnLinkUp            |
//   |             |                      |   (failed: OnNotify with the reason)      |
//   |             |                      |   read frames -> OnMessage ...            |
//   | Send        |--queue, post-------->|   write frames, keep-alives               |
//   |             |                      |   silence limit, read or write error ...  |
//   | Disconnect  |--post-> Close ------>| close -> OnNotify, OnLinkDown             |
//   |             |                      |          (only after OnLinkUp)            |
//   | Release     |  sink cleared, then post Close (no callbacks)                    |
//   +-------------+                      +------------------------------------------+
//
// Every Connect makes a new connection and the link points at it until it
// ends. A connection that is no longer current (disconnected, failed, timed
// out, released) finishes its pending operations without effect and is freed
// with the last handler that holds it. Connections hold their link by
// shared_ptr, so nothing the service thread runs can reach freed memory after
// the station's Release.
//
// Connect while an attempt or a link is under way changes nothing and returns
// VEXLINK_BUSY. The station connects every card of a host as soon as the
// host's first card comes up, also cards whose link is up already; starting
// anew would drop those working links. To move to another host, Disconnect first.
//
// Disconnect closes at once: frames still queued are dropped. Disconnect
// while connecting abandons the attempt and, as no OnLinkUp came, calls nothing.
//
// Notes (cardlink/VexlinkNotes.h): an attempt that ends on its own without a
// link calls OnNotify with its reason; a link that ends calls OnNotify with
// its reason and then OnLinkDown, both under one hold of the callback lock,
// so a Release cannot come between them. The note is stored atomically right
// before OnNotify, for VexlinkLastNote on any thread.
//
// Callbacks of one link never overlap (there is one service thread). The sink
// may call Connect, Disconnect and Send from inside a callback, and Release
// of another link; not Release of its own link.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cardlink/VexlinkApi.h"
#include "cardlink/VexlinkNotes.h"
#include "vexlink/LinkService.h"

struct LinkSettings {
    std::chrono::milliseconds connectTimeout;
    std::chrono::milliseconds keepAlive;  // 0: no keep-alives
    std::chrono::milliseconds silence;    // 0: a silent host keeps its link
};

class CConnection;

class CLink : public std::enable_shared_from_this<CLink> {
public:
    CLink(CVexlinkSink* sink, asio::io_context& context, const LinkSettings& settings);
    ~CLink();
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    // Any thread, also from a sink callback; results in vexlink/Vexlink.h.
    int Connect(const char* host, const char* port);
    int Disconnect();
    int Send(const char* text, uint32_t length);

    // Any thread but a callback of this link. When it returns, no callback of
    // this link runs or will run; the connection, if any, closes silently.
    void Release();

    // Any thread: the note of the last OnNotify, VEXLINK_NOTE_NONE before any.
    VexlinkNote LastNote() const { return m_lastNote.load(std::memory_order_acquire); }

private:
    friend class CConnection;

    // Service thread: calls the sink unless the link was released, with the
    // callback lock held so that Release can wait for a running callback.
    template <typename Call>
    void Deliver(Call&& call);
    // Service thread: stores `note` and calls OnNotify, then OnLinkDown when
    // `linkDown`, unless the link was released.
    void DeliverNote(VexlinkNote note, bool linkDown);

    // With m_mutex held: ends the current connection on the service thread for
    // `reason` and forgets it. False, and nothing changed, when that cannot be arranged.
    bool DropCurrentLocked(VexlinkNote reason);

    asio::io_context& m_context;
    const LinkSettings m_settings;

    // Guards m_current and the shared state of every connection of this link.
    // Never held while a sink callback runs.
    std::mutex m_mutex;
    std::shared_ptr<CConnection> m_current;

    // Held while a callback runs; Release takes it to clear the sink.
    std::mutex m_callbackMutex;
    CVexlinkSink* m_sink;

    std::atomic<VexlinkNote> m_lastNote{VEXLINK_NOTE_NONE};
};
