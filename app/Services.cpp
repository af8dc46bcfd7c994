#include "app/Services.h"

#include <cstdio>
#include <memory>

#include "app/Operations.h"
#include "remote/HttpStatusService.h"

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
    // The session history's reader joins here once the station keeps one.
    options.sessions = nullptr;
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

}  // namespace

bool AddRequestedServices(const ProgramArguments& arguments, COperations& operations,
                          std::string& error) {
    return AddHttpStatus(arguments, operations, error);
}
