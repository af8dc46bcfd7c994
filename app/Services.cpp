#include "app/Services.h"

#include <dlfcn.h>

#include "app/RemoteServices.h"

bool AddRequestedServices(const ProgramArguments& arguments, COperations& operations,
                          std::string& error) {
    if (arguments.httpEndpoint.empty() && arguments.mqttBroker.empty()) {
        return true;
    }
    // Loaded once and kept for the life of the process: the services it makes
    // run until the operations end.
    void* module = dlopen(REMOTE_SERVICES_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        // The loader's reason names the module and what is missing.
        error = std::string("the HTTP status and the broker service cannot start: ") +
                (reason != nullptr ? reason : REMOTE_SERVICES_MODULE);
        return false;
    }
    auto add =
        reinterpret_cast<AddRemoteServicesFunction>(dlsym(module, "OrvaneAddRemoteServices"));
    if (add == nullptr) {
        error = std::string(REMOTE_SERVICES_MODULE) + " has no entry point";
        return false;
    }
    return add(ORVANE_VERSION, arguments, operations, error);
}
