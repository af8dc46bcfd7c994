// The services of the operations layer that the command line asks for (the
// HTTP status and the broker), made by the remote services module
// (remote/RemoteModule.h) and added to the run's operations.
#pragma once

#include <string>

#include "app/program/ProgramArguments.h"

class COperations;

// Adds every service `arguments` asks for to `operations`, started as far as
// they can be before the core exists. False, with `error` set, when one that
// was asked for cannot start (the program then ends with status 1).
bool AddRemoteObservers(const ProgramArguments& arguments, COperations& operations,
                        std::string& error);
