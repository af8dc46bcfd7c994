#include "app/RemoteServices.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "app/Operations.h"
#include "history/SessionQuery.h"
#include "remote/HttpStatusService.h"
#include "remote/MqttService.h"

namespace {

// --http [ADDR:]PORT [--http-token FILE]: the status page, JSON, events and
// metrics over HTTP. A port that cannot be listened on ends the program at start.
bool AddHttpStatus(const ProgramArguments& arguments, COperations& operations, std::string& error) {
    if (arguments.httpEndpoint.empty()) {
        return true;
    }
    HttpStatusOptions options;
    if (!ParseHttpEndpoint(arguments.httpEndpoint, options.address, options.port, error)) {
        return false;
    }
    if (!arguments.httpTokenFile.empty() &&
        !ReadTokenFile(arguments.httpTokenFile, options.token, error)) {
        return false;
    }
    if (!IsLoopbackAddress(options.address)) {
        std::fprintf(stderr,
                     "OrvaneSystemDx: warning: the HTTP status on %s can be reached from other "
                     "machines%s\n",
                     options.address.c_str(),
                     options.token.empty() ? ", by anyone: consider --http-token FILE" : "");
    }
    options.version = ORVANE_VERSION;
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
    operations.AddService(std::move(service));
    return true;
}

// --mqtt HOST[:PORT] and its details: the station published to a broker. A
// broker that cannot be reached is a warning; the service keeps trying.
bool AddMqtt(const ProgramArguments& arguments, COperations& operations, std::string& error) {
    if (arguments.mqttBroker.empty()) {
        return true;
    }
    MqttOptions options;
    options.broker = arguments.mqttBroker;
    options.prefix = arguments.mqttPrefix;
    options.stationName = arguments.stationName;
    options.user = arguments.mqttUser;
    options.passwordFile = arguments.mqttPasswordFile;
    options.caFile = arguments.mqttCaFile;
    std::unique_ptr<CMqttService> service = CMqttService::Start(options, error);
    if (!service) {
        return false;
    }
    operations.AddService(std::move(service));
    return true;
}

}  // namespace

extern "C" bool OrvaneAddRemoteServices(const char* version, const ProgramArguments& arguments,
                                        COperations& operations, std::string& error) {
    // The module shares the program's types: one of another build is refused.
    if (std::string(version) != ORVANE_VERSION) {
        error = std::string("the remote services module is of version ") + ORVANE_VERSION +
                ", the program of version " + version;
        return false;
    }
    return AddHttpStatus(arguments, operations, error) && AddMqtt(arguments, operations, error);
}
