// orvane-cardhost: a card host for the station, steered by a script.
//
// Threads: the main thread waits for SIGINT, SIGTERM or the script's "quit";
// the host runs on its own thread; the script (the file, then standard input)
// runs on a third. Output lines from all of them go through one lock.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <asio.hpp>
#pragma GCC diagnostic pop

#include "cardhost/CardHost.h"
#include "cardhost/Options.h"
#include "cardhost/Script.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    CardHostCommandLine commandLine;
    std::string error;
    if (!ParseCommandLine(arguments, commandLine, error)) {
        std::fprintf(stderr, "orvane-cardhost: %s\n%s", error.c_str(), UsageText());
        return EXIT_BAD_ARGUMENTS;
    }
    if (commandLine.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    int scriptFd = -1;
    if (!commandLine.scriptFile.empty()) {
        scriptFd = open(commandLine.scriptFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (scriptFd < 0) {
            std::fprintf(stderr, "orvane-cardhost: cannot open script %s\n",
                         commandLine.scriptFile.c_str());
            return EXIT_BAD_ARGUMENTS;
        }
    }
    // A reader of our output that goes away must not kill the host.
    std::signal(SIGPIPE, SIG_IGN);

    std::mutex outputLock;
    const CCardHost::OutputFn output = [&outputLock](const std::string& line) {
        std::lock_guard lock(outputLock);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    // The signals are caught before "listening" is written, so that whoever
    // waits for that line may stop the host at once.
    asio::io_context waiter;
    auto keepWaiting = asio::make_work_guard(waiter);
    asio::signal_set signals(waiter, SIGINT, SIGTERM);
    signals.async_wait([&waiter](const asio::error_code& ec, int) {
        if (!ec) {
            waiter.stop();
        }
    });

    CCardHost host(commandLine.host, output);
    if (!host.Start(error)) {
        output("error " + error);
        if (scriptFd >= 0) {
            close(scriptFd);
        }
        return 1;
    }

    CScript script(host, output);
    std::thread reader([&] {
        CScript::Result result = CScript::Result::Continue;
        if (scriptFd >= 0) {
            result = script.RunDescriptor(scriptFd);
            close(scriptFd);
        }
        if (result == CScript::Result::Continue) {
            result = script.RunDescriptor(STDIN_FILENO);
        }
        if (result == CScript::Result::Quit) {
            asio::post(waiter, [&waiter] { waiter.stop(); });
        }
    });

    waiter.run();
    script.Cancel();
    reader.join();
    host.Stop();
    return 0;
}
