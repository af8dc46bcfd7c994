// Runs the orvane-cardhost program itself.
#include "cardhost/Options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "CardHostTestSupport.h"

extern char** environ;

using namespace cardhost_test;

namespace {

// A running orvane-cardhost with pipes on its standard streams.
class CProgram {
public:
    explicit CProgram(std::vector<std::string> arguments) {
        int in[2];
        int out[2];
        int err[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        arguments.insert(arguments.begin(), ORVANE_CARDHOST_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(
            posix_spawn(&m_pid, ORVANE_CARDHOST_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
    }

    ~CProgram() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseInput();
        close(m_out);
        close(m_err);
    }

    void CloseInput() {
        if (m_in >= 0) {
            close(m_in);
            m_in = -1;
        }
    }

    bool Signal(int signal) { return kill(m_pid, signal) == 0; }

    // The next line of standard output, without its line end.
    std::optional<std::string> ReadLine(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t end = m_outBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_outBuffer.substr(0, end);
                m_outBuffer.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
            pollfd ready{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t got = read(m_out, chunk, sizeof chunk);
            if (got <= 0) {
                return std::nullopt;
            }
            m_outBuffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    std::string ReadAllErrors() {
        std::string text;
        char chunk[4096];
        ssize_t got;
        while ((got = read(m_err, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }

    // The exit status, or -1 when the program has not exited within the time.
    int WaitExit(Millis timeout = LONG_WAIT) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(Millis(10));
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outBuffer;
};

TEST(Program, ServesUntilSigtermAndExitsCleanly) {
    const std::string address = RandomLoopback();
    CProgram program({"--listen", address, "--port", "0", "--card", "4711"});
    const auto listening = program.ReadLine();
    ASSERT_TRUE(listening.has_value());
    ASSERT_EQ(listening->rfind("listening " + address + ":", 0), 0u) << *listening;
    const auto port =
        static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    EXPECT_NE(port, 0);

    // The end of standard input does not stop it.
    program.CloseInput();
    CFramedClient client;
    ASSERT_TRUE(client.Connect(address, port));
    EXPECT_EQ(client.Receive(),
              "<Message version=\"1.0\"><Information><Cards><Card number=\"1\" "
              "serial-nr=\"4711\"/></Cards></Information></Message>");
    EXPECT_EQ(program.ReadLine().value_or("").rfind("accepted 127.", 0), 0u);
    client.Send(ConnectCommand(4711));
    EXPECT_EQ(program.ReadLine(), "recv - " + ConnectCommand(4711));
    EXPECT_EQ(program.ReadLine(), "attached 4711");

    ASSERT_TRUE(program.Signal(SIGTERM));
    EXPECT_EQ(program.WaitExit(), 0);
    EXPECT_TRUE(client.WaitClosed());
}

TEST(Program, QuitInTheScriptFileEndsIt) {
    char path[] = "/tmp/orvane-cardhost-script-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string script = "# nothing to do\nsleep 10\nquit\n";
    ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
    close(fd);
    CProgram program(
        {"--listen", RandomLoopback(), "--port", "0", "--card", "1", "--script", path});
    EXPECT_EQ(program.WaitExit(), 0);
    unlink(path);
}

TEST(Program, BadArgumentsExitWithStatus2AndAReason) {
    {
        CProgram program({"--card"});
        EXPECT_EQ(program.WaitExit(), EXIT_BAD_ARGUMENTS);
        EXPECT_EQ(program.ReadAllErrors().rfind("orvane-cardhost: --card needs a value\nusage:", 0),
                  0u);
    }
    {
        CProgram program({"--card", "1", "--script", "/nonexistent/script.txt"});
        EXPECT_EQ(program.WaitExit(), EXIT_BAD_ARGUMENTS);
        EXPECT_EQ(program.ReadAllErrors(),
                  "orvane-cardhost: cannot open script /nonexistent/script.txt\n");
    }
}

}  // namespace
