#include "app/Services.h"

#include "app/Operations.h"

bool AddRequestedServices(const ProgramArguments& /*arguments*/, COperations& /*operations*/,
                          std::string& /*error*/) {
    return true;
}
