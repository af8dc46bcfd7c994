// The card maker's remote-control library, as the station sees it.
//
// One CVexlinkInstance exists per card. The station hands in a sink; the
// library calls it on threads of its own, never from inside the station's
// calls of Connect, Disconnect or Send, possibly for several cards at once.
// The slot order of both tables is part of the binary interface.
#pragma once

#include <cstdint>

// The 12-byte options block: byte 0 = 0, byte 1 = 1, bytes 2 and 3 not set,
// bytes 4 to 7 = 1, bytes 8 to 11 = 0.
struct VexlinkOptions {
    uint8_t flag0;
    uint8_t flag1;
    uint8_t unused[2];
    int32_t value1;
    int32_t value2;
};
static_assert(sizeof(VexlinkOptions) == 12);

class CVexlinkSink {
public:
    // One message from the card: `text` is NUL-terminated after `length` bytes.
    virtual void OnMessage(const char* text, uint32_t length) = 0;
    // The link to the host is up.
    virtual void OnLinkUp() = 0;
    // The link to the host is down. Follows exactly one OnLinkUp.
    virtual void OnLinkDown() = 0;
    virtual void OnNotify() = 0;
    virtual ~CVexlinkSink() = default;
};

class CVexlinkInstance {
public:
    virtual void Unused() = 0;  // slot 0: never called
    // Ends the object. When it returns, no callback of this object is running or will run.
    virtual void Release() = 0;
    // Starts connecting to `host` on `port` (a decimal text); OnLinkUp reports success.
    // A failed attempt calls nothing but OnNotify (see VexlinkNotes.h). While an
    // attempt or a link is under way, a further Connect changes nothing.
    virtual int Connect(const char* host, const char* port) = 0;
    // Closes the link; OnLinkDown follows.
    virtual int Disconnect() = 0;
    // Delivers one command of `length` bytes to the card. Does not block on the network.
    // Without a link up, the command is dropped.
    virtual int Send(const char* text, uint32_t length) = 0;

protected:
    // Objects end through Release, never through delete.
    ~CVexlinkInstance() = default;
};

// Creates the library object of one card. Returns no object when it cannot.
extern "C" CVexlinkInstance* CreateVexlinkInstance(CVexlinkSink* sink, const char* text1,
                                                   const char* text2,
                                                   const VexlinkOptions* options);
