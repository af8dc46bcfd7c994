// The services of the operations layer that the command line asks for (HTTP
// status, broker, service manager), made and added to the run's operations.
#pragma once

#include <string>

#include "app/ProgramArguments.h"

class COperations;

// Adds every service `arguments` asks for to `operations`, started as far as
// they can be before the core exists. False, with `error` set, when one that
// was asked for cannot start (the program then ends with status 1).
bool AddRequestedServices(const ProgramArguments& arguments, COperations& operations,
                          std::string& error);
