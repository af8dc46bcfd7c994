// The HTTP status and the broker service live in a module of their own,
// orvane-remote.so, which the programs load only when the command line asks
// for one of them: a station that runs without them does not carry their
// libraries (cpp-httplib, libmosquitto and the OpenSSL they start at load).
#pragma once

#include <string>

#include "app/ProgramArguments.h"

class COperations;

// The module's file name. It lies beside the card library (libvexlink.so), in
// the build tree as installed.
inline constexpr const char* REMOTE_SERVICES_MODULE = "orvane-remote.so";

// The module's one entry point. `version` is the program's ORVANE_VERSION: the
// module refuses a program of another build, whose types may differ.
extern "C" bool OrvaneAddRemoteServices(const char* version, const ProgramArguments& arguments,
                                        COperations& operations, std::string& error);
using AddRemoteServicesFunction = decltype(&OrvaneAddRemoteServices);
