// Child processes for the harnesses, and what /proc tells about a process.
// Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Starts `argv` with standard input from /dev/null, standard output and error
// into the given descriptors (-1: /dev/null), and the environment of this
// process plus `environment` ("NAME=value", replacing a variable of that name).
// -1 when it cannot be started.
pid_t SpawnProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, int stdoutFd, int stderrFd);

// Waits for the child's end: its exit status, or 128 + the signal that ended it.
int WaitProcess(pid_t pid);

// Waits at most `timeout`; -1 when it is still running.
int WaitProcessFor(pid_t pid, std::chrono::milliseconds timeout);

// utime + stime of the process in clock ticks; false when it cannot be read.
bool ReadCpuTicks(pid_t pid, uint64_t& ticks);
// Nanoseconds on a CPU of the process's live threads (/proc/PID/task/*/schedstat),
// finer than the clock ticks of ReadCpuTicks; false when it cannot be read.
bool ReadThreadRunNs(pid_t pid, uint64_t& ns);
// A number field of /proc/PID/status ("VmRSS", "VmHWM" in kB, "Threads"); -1 when absent.
int64_t ReadStatusNumber(pid_t pid, const std::string& field);
// Entries of /proc/PID/fd; -1 when it cannot be read.
int CountOpenDescriptors(pid_t pid);
