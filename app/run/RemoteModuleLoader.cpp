#include "app/Services.h"

#include <dlfcn.h>

#include "app/RemoteServices.h"
#include "cardlink/VexlinkApi.h"

namespace {

// The module's path: the folder the program loaded its card library from. The
// loader's own search is not used, as the sanitizers' dlopen searches their
// library path instead of the program's.
std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CreateVexlinkInstance), &info) != 0 &&
        info.dli_fname != nullptr) {
        const std::string library = info.dli_fname;
        const size_t slash = library.rfind('/');
        if (slash != std::string::npos) {
            return library.substr(0, slash + 1) + REMOTE_SERVICES_MODULE;
        }
    }
    return REMOTE_SERVICES_MODULE;
}

}  // namespace

bool AddRequestedServices(const ProgramArguments& arguments, COperations& operations,
                          std::string& error) {
    if (arguments.httpEndpoint.empty() && arguments.mqttBroker.empty()) {
        return true;
    }
    // Loaded once and kept for the life of the process: the services it makes
    // run until the operations end.
    void* module = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
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
