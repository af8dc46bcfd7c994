// Shared by the core's and the dispatch thread's tests: temporary folders named
// by the two environment variables, a configuration file written per test, a
// fixed time zone, and the command texts a card is expected to send.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cardlink/CardCommands.h"
#include "cardlink/EventQueue.h"
#include "config/Folders.h"
#include "support/FakeVexlink.h"
#include "support/MessageRecorder.h"
#include "support/TempFiles.h"

namespace coretest {

using ::CEnvGuard;
using ::CTempDir;
using ::ReadFile;

// The names of the entries of a folder, sorted.
inline std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string CardSection(const std::string& address, int serial, const std::string& mode,
                               const std::string& device) {
    std::ostringstream text;
    text << "[card_x]\naddress = " << address << ";\nserialno = " << serial << ";\nmode = " << mode
         << ";\ndevice = " << device << ";\n\n";
    return text.str();
}

inline std::string Format(const char* pattern, const std::string& value) {
    char text[COMMAND_BUFFER_SIZE];
    std::snprintf(text, sizeof text, pattern, value.c_str());
    return text;
}

inline std::string ConnectCommand(unsigned serial) {
    char text[COMMAND_BUFFER_SIZE];
    std::snprintf(text, sizeof text, CMD_CONNECT, serial);
    return text;
}

inline std::string AlsCommand(const std::string& value) {
    return Format(CMD_SET_ALS, value);
}

inline std::string ResyncCommand() {
    return CMD_START_RESYNC;
}

// The commands of one mode setup, in order.
inline std::vector<std::string> ModeSetup(const std::string& keyword) {
    std::vector<std::string> commands = {Format(CMD_SET_CODE_OQPSK, CODE_NO_MODE),
                                         CMD_SET_CONFIGURATION};
    if (keyword == "sat-c-tdm") {
        commands.push_back(Format(CMD_SET_CODE_BPSK, keyword));
        commands.push_back(Format(CMD_SET_CODE_BPSK, keyword));
    } else {
        commands.push_back(Format(CMD_SET_CODE_OQPSK, keyword));
    }
    return commands;
}

inline std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The "connect" lines of the library double's journal, in order.
inline std::vector<std::string> Connects() {
    std::vector<std::string> lines;
    for (const std::string& line : CFakeVexlink::Get().Journal()) {
        if (line.rfind("connect ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Each test gets its own configuration and data folders, a clean library
// double, a recorder for the messages shown, and a time zone of its own (UTC+5,
// so that local time and UTC differ).
class CCoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CFakeVexlink::Get().Reset();
        m_configDir = std::make_unique<CTempDir>();
        m_dataRoot = std::make_unique<CTempDir>();
        m_dataDir = m_dataRoot->Path() + "/Data";
        m_configEnv = std::make_unique<CEnvGuard>(CONFIG_DIR_VARIABLE, m_configDir->Path());
        m_dataEnv = std::make_unique<CEnvGuard>(DATA_DIR_VARIABLE, m_dataDir);
        m_tz = std::make_unique<CEnvGuard>("TZ", std::string("XST-5"));
        m_messages = std::make_unique<CMessageRecorder>();
    }
    void TearDown() override {
        m_messages.reset();
        m_tz.reset();
        m_dataEnv.reset();
        m_configEnv.reset();
        CFakeVexlink::Get().Reset();
    }

    void WriteConfig(const std::string& text) {
        std::ofstream out(m_configDir->Path() + "/OrvaneSystemDx.ini", std::ios::binary);
        out << text;
    }
    void SetDataDir(std::optional<std::string> value) {
        m_dataEnv.reset();
        m_dataEnv = std::make_unique<CEnvGuard>(DATA_DIR_VARIABLE, std::move(value));
    }
    std::vector<std::string> Messages() const { return m_messages->Messages(); }

    std::unique_ptr<CTempDir> m_configDir;
    std::unique_ptr<CTempDir> m_dataRoot;
    std::string m_dataDir;  // not created: the statistics file creates it

private:
    std::unique_ptr<CEnvGuard> m_configEnv;
    std::unique_ptr<CEnvGuard> m_dataEnv;
    std::unique_ptr<CEnvGuard> m_tz;
    std::unique_ptr<CMessageRecorder> m_messages;
};

// Stands by a full queue while a test checks that a writer does not wait for
// room: should something wait for more than 20 s, it reads some bytes out,
// so that the test fails instead of hanging.
class CQueueRescuer {
public:
    explicit CQueueRescuer(CCircularBuffer<char>& queue)
        : m_thread([this, &queue] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
              while (!m_done && std::chrono::steady_clock::now() < deadline) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
              if (!m_done) {
                  m_rescued = true;
                  char sink[1000];
                  queue.Read(sink, sizeof sink, 0);
              }
          }) {}
    ~CQueueRescuer() { Finish(); }
    CQueueRescuer(const CQueueRescuer&) = delete;
    CQueueRescuer& operator=(const CQueueRescuer&) = delete;

    // Ends the stand-by; true when it had to free room.
    bool Finish() {
        m_done = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_rescued;
    }

private:
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_rescued{false};
    std::thread m_thread;
};

}  // namespace coretest
