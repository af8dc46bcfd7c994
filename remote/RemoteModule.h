// The interface of orvane-remote.so, the module that makes the HTTP status and
// the broker service. The programs load it only when the command line asks for
// one of them (app/run/RemoteModuleLoader.cpp): a station that runs without them does not
// carry their libraries (cpp-httplib, libmosquitto and the OpenSSL they start
// at load). What crosses between program and module is this header's values
// and the observers' seam (core/StationObserver.h), nothing else: the module
// holds its own copy of what it makes the services from.
//
// Every header this one includes, and the build's configuration, make the
// module's build identity (REMOTE_MODULE_BUILD, remote/RemoteModuleBuild.h).
// A program loads only a module of its own build: it asks OrvaneRemoteBuild
// first and calls nothing else of a module that answers otherwise.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/StationObserver.h"

// The module's file name.
inline constexpr const char* REMOTE_MODULE_FILE = "orvane-remote.so";

// What the command line asked of the module; an empty endpoint or broker asks
// for no HTTP status or no broker service.
struct RemoteOptions {
    std::string httpEndpoint;      // --http [ADDR:]PORT
    std::string httpTokenFile;     // --http-token FILE
    std::string mqttBroker;        // --mqtt HOST[:PORT]
    std::string mqttPrefix;        // --mqtt-prefix PREFIX
    std::string stationName;       // --name NAME; empty: the host name
    std::string mqttUser;          // --mqtt-user USER
    std::string mqttPasswordFile;  // --mqtt-password-file FILE
    std::string mqttCaFile;        // --mqtt-tls CAFILE
    std::string version;           // the program's, shown by the HTTP status
};

using RemoteObservers = std::vector<std::unique_ptr<CStationObserver>>;

// The build identity the module was made with.
extern "C" const char* OrvaneRemoteBuild();
using RemoteBuildFunction = decltype(&OrvaneRemoteBuild);

// Starts the services `options` asks for, the HTTP status first, and appends
// each to `observers` once it runs. False, with `error` set, when one cannot
// start; those started before it are in `observers` all the same.
extern "C" bool OrvaneMakeRemoteServices(const RemoteOptions& options, RemoteObservers& observers,
                                         std::string& error);
using MakeRemoteServicesFunction = decltype(&OrvaneMakeRemoteServices);
