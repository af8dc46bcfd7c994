// The loader of the remote services module, orvane-remote.so: loaded only when
// --http or --mqtt asks for it, from the path the install gives it beside the
// program, and used only when it is of the program's own build.
#include "app/run/RemoteModuleLoader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "app/run/Operations.h"
#include "remote/RemoteModule.h"
#include "remote/RemoteModuleBuild.h"

namespace {

// The module's path: REMOTE_MODULE_FROM_PROGRAM from the folder of the program
// itself. The loader's own search is not used, as the sanitizers' dlopen
// searches their library path instead of the program's.
std::string ModulePath() {
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed || !program.has_parent_path()) {
        return REMOTE_MODULE_FILE;
    }
    return (program.parent_path() / REMOTE_MODULE_FROM_PROGRAM).lexically_normal().string();
}

RemoteOptions ModuleOptions(const ProgramArguments& arguments) {
    RemoteOptions options;
    options.httpEndpoint = arguments.httpEndpoint;
    options.httpTokenFile = arguments.httpTokenFile;
    options.mqttBroker = arguments.mqttBroker;
    options.mqttPrefix = arguments.mqttPrefix;
    options.stationName = arguments.stationName;
    options.mqttUser = arguments.mqttUser;
    options.mqttPasswordFile = arguments.mqttPasswordFile;
    options.mqttCaFile = arguments.mqttCaFile;
    options.version = ORVANE_VERSION;
    return options;
}

}  // namespace

bool AddRemoteObservers(const ProgramArguments& arguments, COperations& operations,
                        std::string& error) {
    if (arguments.httpEndpoint.empty() && arguments.mqttBroker.empty()) {
        return true;
    }
    // Loaded once and kept for the life of the process: the services it makes
    // run until the operations end.
    const std::string path = ModulePath();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        // The loader's reason names the module and what is missing.
        error = std::string("the HTTP status and the broker service cannot start: ") +
                (reason != nullptr ? reason : REMOTE_MODULE_FILE);
        return false;
    }
    // Asked before anything else: a module of another build may disagree on
    // every type that crosses, the options first.
    auto build = reinterpret_cast<RemoteBuildFunction>(dlsym(module, "OrvaneRemoteBuild"));
    const std::string moduleBuild = build != nullptr ? build() : "none";
    if (moduleBuild != REMOTE_MODULE_BUILD) {
        error = "the remote services module " + path + " is of another build (" + moduleBuild +
                ", the program's " + REMOTE_MODULE_BUILD + ")";
        return false;
    }
    auto make =
        reinterpret_cast<MakeRemoteServicesFunction>(dlsym(module, "OrvaneMakeRemoteServices"));
    if (make == nullptr) {
        error = std::string(REMOTE_MODULE_FILE) + " has no entry point";
        return false;
    }
    RemoteObservers observers;
    const bool started = make(ModuleOptions(arguments), observers, error);
    // Those that started belong to the operations even when a later one failed.
    for (std::unique_ptr<CStationObserver>& observer : observers) {
        operations.AddObserver(std::move(observer));
    }
    return started;
}
