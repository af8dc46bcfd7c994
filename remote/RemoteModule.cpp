// The entry points of orvane-remote.so: the HTTP status and the broker service
// made from the options the program read from its command line.
#include "remote/RemoteModule.h"

#include <cstdio>
#include <utility>

#include "history/SessionQuery.h"
#include "remote/HttpStatusService.h"
#include "remote/MqttService.h"
#include "remote/RemoteModuleBuild.h"

namespace {

// --http [ADDR:]PORT [--http-token FILE]: the status page, JSON, events and
// metrics over HTTP. A port that cannot be listened on ends the program at start.
bool AddHttpStatus(const RemoteOptions& remote, RemoteObservers& observers, std::string& error) {
    if (remote.httpEndpoint.empty()) {
        return true;
    }
    HttpStatusOptions options;
    if (!ParseHttpEndpoint(remote.httpEndpoint, options.address, options.port, error)) {
        return false;
    }
    if (!remote.httpTokenFile.empty() &&
        !ReadTokenFile(remote.httpTokenFile, options.token, error)) {
        return false;
    }
    if (!IsLoopbackAddress(options.address)) {
        std::fprintf(stderr,
                     "OrvaneSystemDx: warning: the HTTP status on %s can be reached from other "
                     "machines%s\n",
                     options.address.c_str(),
                     options.token.empty() ? ", by anyone: consider --http-token FILE" : "");
    }
    options.version = remote.version;
    // The session history of the data folder, read fresh by each request.
    options.sessions = QuerySessions;
    auto service = std::make_unique<CHttpStatusService>(options);
    if (!service->Start(error)) {
        error = "HTTP status: " + error;
        return false;
    }
    const bool v6 = options.address.find(':') != std::string::npos;
    std::fprintf(stderr, "OrvaneSystemDx: status page at http://%s%s%s:%d/\n", v6 ? "[" : "",
                 options.address.c_str(), v6 ? "]" : "", service->Port());
    observers.push_back(std::move(service));
    return true;
}

// --mqtt HOST[:PORT] and its details: the station published to a broker. A
// broker that cannot be reached is a warning; the service keeps trying.
bool AddMqtt(const RemoteOptions& remote, RemoteObservers& observers, std::string& error) {
    if (remote.mqttBroker.empty()) {
        return true;
    }
    MqttOptions options;
    options.broker = remote.mqttBroker;
    options.prefix = remote.mqttPrefix;
    options.stationName = remote.stationName;
    options.user = remote.mqttUser;
    options.passwordFile = remote.mqttPasswordFile;
    options.caFile = remote.mqttCaFile;
    std::unique_ptr<CMqttService> service = CMqttService::Start(options, error);
    if (!service) {
        return false;
    }
    observers.push_back(std::move(service));
    return true;
}

}  // namespace

extern "C" const char* OrvaneRemoteBuild() {
    return REMOTE_MODULE_BUILD;
}

extern "C" bool OrvaneMakeRemoteServices(const RemoteOptions& options, RemoteObservers& observers,
                                         std::string& error) {
    return AddHttpStatus(options, observers, error) && AddMqtt(options, observers, error);
}
