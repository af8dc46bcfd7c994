// A remote services module of another build, for the program's check at load:
// it answers another build identity, and its entry point tells if it is ever
// called.
#include <cstdio>

#include "remote/RemoteModule.h"

extern "C" const char* OrvaneRemoteBuild() {
    return "foreign-build";
}

extern "C" bool OrvaneMakeRemoteServices(const RemoteOptions& /*options*/,
                                         RemoteObservers& /*observers*/, std::string& error) {
    std::fputs("the foreign module's entry point was called\n", stderr);
    error = "called";
    return false;
}
