// The broker service: --mqtt's address, prefix and password file checked, then the client and the
// publisher behind a bounded queue. MqttService.h draws it.
#include "remote/MqttService.h"

#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "remote/MqttPublisher.h"

namespace {

// How long the end of a run may wait for the broker: the queued events, then
// the ack of "offline".
constexpr std::chrono::seconds CLOSE_WAIT{2};
constexpr const char* DEFAULT_PREFIX = "orvane/";

bool ReadPort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

bool ReadPassword(const std::string& path, std::string& password) {
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, password)) {
        return file.is_open() && file.eof();  // an empty file: an empty password
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

}  // namespace

bool ParseBrokerAddress(const std::string& text, std::string& host, int& port) {
    port = MQTT_DEFAULT_PORT;
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            portText = rest.substr(1);
            if (!ReadPort(portText, port)) {
                return false;
            }
        }
        return !host.empty();
    }
    const size_t colon = text.find(':');
    // More than one colon without brackets: an IPv6 address, no port.
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        host = text;
        return !host.empty();
    }
    host = text.substr(0, colon);
    return !host.empty() && ReadPort(text.substr(colon + 1), port);
}

std::string StationHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "station";
    }
    return name;
}

std::unique_ptr<CMqttService> CMqttService::Start(const MqttOptions& options, std::string& error) {
    MqttConnection connection;
    if (!ParseBrokerAddress(options.broker, connection.host, connection.port)) {
        error = "--mqtt needs HOST or HOST:PORT (port 1 to 65535), not \"" + options.broker + "\"";
        return nullptr;
    }
    const std::string name = options.stationName.empty() ? StationHostName() : options.stationName;
    const std::string prefix = options.prefix.empty() ? DEFAULT_PREFIX + name : options.prefix;
    if (!CMqttClient::ValidTopic(prefix + "/status")) {
        error = "the MQTT prefix \"" + prefix + "\" cannot begin a topic (no + or #)";
        return nullptr;
    }
    connection.user = options.user;
    if (!options.passwordFile.empty() && !ReadPassword(options.passwordFile, connection.password)) {
        error = "cannot read the MQTT password file " + options.passwordFile;
        return nullptr;
    }
    connection.caFile = options.caFile;
    connection.statusTopic = prefix + "/status";
    // Unique on the broker: a second client with the same id would push
    // this one off.
    connection.clientId = "OrvaneSystemDx-" + name + "-" + std::to_string(getpid());
    CMqttClient::WarnFn warn = options.warn;
    if (!warn) {
        warn = [](const std::string& text) {
            std::fprintf(stderr, "OrvaneSystemDx: MQTT: %s\n", text.c_str());
        };
    }

    std::unique_ptr<CMqttService> service(new CMqttService());
    service->m_prefix = prefix;
    service->m_client = std::make_unique<CMqttClient>(connection, warn);
    if (!service->m_client->Start(error)) {
        return nullptr;
    }
    CAsyncObserver::Options queue;
    queue.capacity = options.queueCapacity;
    queue.filter = CMqttPublisher::Wants;
    queue.onOverflow = [warn, capacity = options.queueCapacity] {
        warn("the broker falls behind: " + std::to_string(capacity) +
             " events wait, the oldest are dropped from now on");
    };
    service->m_queue = std::make_unique<CAsyncObserver>(
        std::make_unique<CMqttPublisher>(*service->m_client, prefix), queue);
    return service;
}

CMqttService::~CMqttService() {
    if (m_client) {
        m_client->BeginClose(std::chrono::steady_clock::now() + CLOSE_WAIT);
    }
    m_queue.reset();
    m_client.reset();
}

void CMqttService::OnRunStarted(const StationInfo& info) {
    m_queue->OnRunStarted(info);
}

void CMqttService::OnEvent(const StationEvent& event) {
    m_queue->OnEvent(event);
}

void CMqttService::OnPass(const StationPass& pass) {
    m_queue->OnPass(pass);
}

void CMqttService::OnRunStopped() {
    m_queue->OnRunStopped();
}

uint64_t CMqttService::Dropped() const {
    return m_queue->Dropped();
}
