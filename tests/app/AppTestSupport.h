// Shared by the program's tests: temporary station folders named by the two
// environment variables, configuration files, the statistics files written,
// polling with a generous limit, and a child process with captured output.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Poll.h"

extern char** environ;

namespace apptest {

// A fresh folder holding a configuration folder (config/) and naming a data
// folder (data/, not yet created) through ORVANESYSTEM_CONFIG_DIR and
// ORVANESYSTEM_DATA_DIR for the object's life.
class CStationFolders {
public:
    CStationFolders() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvane-app-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        m_root = pattern;
        std::filesystem::create_directory(ConfigDir());
        setenv("ORVANESYSTEM_CONFIG_DIR", ConfigDir().c_str(), 1);
        setenv("ORVANESYSTEM_DATA_DIR", DataDir().c_str(), 1);
    }
    ~CStationFolders() {
        unsetenv("ORVANESYSTEM_CONFIG_DIR");
        unsetenv("ORVANESYSTEM_DATA_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    CStationFolders(const CStationFolders&) = delete;
    CStationFolders& operator=(const CStationFolders&) = delete;

    std::string Root() const { return m_root; }
    std::string ConfigDir() const { return m_root + "/config"; }
    std::string DataDir() const { return m_root + "/data"; }
    std::string ConfigFile() const { return ConfigDir() + "/OrvaneSystemDx.ini"; }

    void WriteConfig(const std::string& text) const {
        std::ofstream(ConfigFile(), std::ios::binary) << text;
    }

    // The statistics files in the data folder.
    std::vector<std::string> StatFiles() const {
        std::vector<std::string> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(DataDir(), error)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("Stat") && name.ends_with(".txt")) {
                files.push_back(entry.path().string());
            }
        }
        return files;
    }

private:
    std::string m_root;
};

inline std::string CardSection(const std::string& address, int serial, const std::string& mode,
                               const std::string& device) {
    return "[card_x]\naddress = " + address + ";\nserialno = " + std::to_string(serial) +
           ";\nmode = " + mode + ";\ndevice = " + device + ";\n";
}

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

using ::WaitUntil;

// A loopback address of its own for a test, so that tests listening on the
// fixed device ports can run side by side.
inline std::string RandomLoopbackAddress() {
    std::random_device random;
    std::uniform_int_distribution<int> byte(1, 254);
    return "127." + std::to_string(byte(random)) + "." + std::to_string(byte(random)) + "." +
           std::to_string(byte(random));
}

// A child process whose standard output and error go to files.
class CChildProcess {
public:
    CChildProcess(const std::vector<std::string>& argv, const std::string& outputDir,
                  const std::string& name)
        : m_stdout(outputDir + "/" + name + ".out"), m_stderr(outputDir + "/" + name + ".err") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_stdout.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_stderr.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            m_pid = -1;
            ADD_FAILURE() << "cannot start " << argv[0];
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~CChildProcess() {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, SIGKILL);
            Wait(std::chrono::seconds(10));
        }
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    void Signal(int signal) const {
        if (m_pid > 0 && !m_status) {
            kill(m_pid, signal);
        }
    }
    // The exit status once the process has ended within `limit`; -1 when it
    // ended by a signal; nullopt when it is still running.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        if (m_status || m_pid <= 0) {
            return m_status;
        }
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return m_status;
            }
            if (std::chrono::steady_clock::now() > end) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    pid_t Pid() const { return m_pid; }
    std::string Stdout() const { return ReadWholeFile(m_stdout); }
    std::string Stderr() const { return ReadWholeFile(m_stderr); }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_stdout;
    std::string m_stderr;
};

}  // namespace apptest
