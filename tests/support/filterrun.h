// filterrun: runs the built filter as a spooler does: arguments, a clean environment,
// standard input through a pipe, standard output and standard error captured, the exit
// status or the signal that ended it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct FilterResult {
    int nPid = 0;                // the filter's process id
    bool bExited = false;        // ended by exit (else by a signal)
    int nExitStatus = -1;
    int nSignal = 0;
    std::vector<uint8_t> out;    // standard output: the printer job
    std::string err;             // standard error: the messages
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

// A step run in the child just before exec (closing a descriptor, dropping privileges);
// it may call only async-signal-safe functions and returns false when it failed.
using ChildStep = bool (*)();

// What the test does with the program's standard output: read it all (a printer that
// takes every byte), close it at once (a printer connection that has gone), or keep it
// open without reading (a printer that has stopped reading; what fits the pipe is
// collected once the program has ended).
enum class OutputMode { kRead, kDrop, kStall };

// A running filter. The environment holds only PATH, the sanitizers' options when they are
// set (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS) and what the caller gives.
class FilterProcess {
public:
    // bDropOutput: the reading end of standard output is closed at once, as by a printer
    // connection that has gone.
    FilterProcess(const std::vector<std::string>& args, const EnvList& env, bool bDropOutput = false);
    // Runs the filter with the step in the child before exec; the child exits 126 when the
    // step fails.
    FilterProcess(const std::vector<std::string>& args, const EnvList& env, ChildStep pfnChildStep);
    // The same with another program (a copy of the filter, say).
    FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                  ChildStep pfnChildStep);
    // Runs another program the same way. bOwnGroup puts it in a process group of its own,
    // as a spooler starts a filter, so that SignalGroup reaches it and nothing else.
    FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                  bool bOwnGroup);
    FilterProcess(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                  bool bOwnGroup, OutputMode output);
    ~FilterProcess();
    FilterProcess(const FilterProcess&) = delete;
    FilterProcess& operator=(const FilterProcess&) = delete;

    // Writes to the filter's standard input; false when the filter no longer reads.
    bool Write(const std::vector<uint8_t>& data);
    void CloseInput();
    void Signal(int nSignal);
    // Signals the program's process group (a program started with bOwnGroup).
    void SignalGroup(int nSignal);
    // Waits until standard error holds the text; false on timeout or when the program's
    // standard error has closed without it.
    bool WaitForMessage(const std::string& text, std::chrono::milliseconds timeout);
    // Waits until standard output holds at least nBytes; false on timeout or exit.
    bool WaitForOutput(size_t nBytes, std::chrono::milliseconds timeout);
    // Waits until the program catches the signal (its handler is installed) and sleeps in
    // a read of its standard input: the state of a filter waiting for the rest of a page.
    // False on timeout or when the program has ended.
    bool WaitForReadCatching(int nSignal, std::chrono::milliseconds timeout);
    // Waits until the program sleeps in a write to its standard output (the pipe is full
    // and nobody reads it). False on timeout or when the program has ended.
    bool WaitForBlockedWrite(std::chrono::milliseconds timeout);
    size_t OutputSize();
    // Closes standard input, waits for the filter to end (killing it after the timeout) and
    // returns what it did.
    FilterResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits in the same way with standard input left open, as by a writer that has stalled:
    // a filter that waits for more input is killed at the timeout, and the result shows the
    // signal. The input is closed afterwards.
    FilterResult WaitKeepingInput(std::chrono::milliseconds timeout);
    int Pid() const { return nPid; }

private:
    FilterResult Reap(std::chrono::milliseconds timeout);
    void Start(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
               OutputMode output, bool bOwnGroup, ChildStep pfnChildStep = nullptr);
    bool WaitForSyscall(const char* pszPrefix, int nSignal, std::chrono::milliseconds timeout);

    int nPid = -1;
    int fdIn = -1;
    int fdStalledOut = -1;   // standard output not read while the program runs
    std::thread outReader;
    std::thread errReader;
    std::mutex lock;
    std::vector<uint8_t> out;
    std::string err;
    bool bOutDone = false;
    bool bErrDone = false;
};

// Runs the filter to its end with the whole input on standard input.
FilterResult RunFilter(const std::vector<std::string>& args, const EnvList& env,
                       const std::vector<uint8_t>& input);

// Path of the built filter.
const char* FilterPath();
// Path of the built queue filter, velnora-filter.
const char* QueueFilterPath();
