#include "app/Services.h"

#include <memory>
#include <utility>

#include "app/Operations.h"
#include "remote/MqttService.h"

namespace {

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

bool AddRequestedServices(const ProgramArguments& arguments, COperations& operations,
                          std::string& error) {
    return AddMqtt(arguments, operations, error);
}
