// The core's event queue, for tests that write records into it as the card
// library would, or read what the core wrote.
#pragma once

#include "core/Monitor.h"

struct COrvaneTestAccess {
    static CCircularBuffer<char>& Queue(COrvane& core) { return *core.m_queue; }
};
