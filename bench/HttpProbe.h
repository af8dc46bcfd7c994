// A plain HTTP/1.1 GET over loopback for the measurements: connect, ask,
// read to the end. No client library, so that only the server is timed.
#pragma once

#include <string>

// Milliseconds from connecting to the end of the reply; -1 when it failed or
// the status was not 200. `body` receives the reply without its head.
double TimedGet(const std::string& address, int port, const std::string& path,
                std::string* body = nullptr);
