// The probe's tests run the programs as their users do: kxapi-emulate in a process of its own, the
// probe as a process with the dev-host stand-in preloaded (as the README tells PC users), every
// socket under the test's own temp directory.
#ifndef KXPROBE_TEST_SUPPORT_H
#define KXPROBE_TEST_SUPPORT_H

#include "temp_dir.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace kxprobe_test {

struct Run {
    int iStatus = -1; // exit status, or -1 when killed
    std::string strOut;
    std::string strErr;
};

// Runs kxapi-probe with vecArgs and the stand-in preloaded; waits for it to end.
Run Probe(const std::vector<std::string>& vecArgs);

// A program running in the background, its standard output and error read line by line.
class Process {
public:
    // vecArgv[0] is the program; bPreload: with the stand-in preloaded. strOutFile: its output
    // goes to that file instead (for a program that says more than anyone reads: a pipe nobody
    // empties would stop it), and Line reads nothing.
    Process(const std::vector<std::string>& vecArgv, bool bPreload, const std::string& strOutFile = "");
    ~Process(); // SIGKILL if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t Pid() const { return m_iPid; }
    // The next line of output (stdout and stderr together), "(no more)" at the end, "(timed out)"
    // after dSeconds.
    std::string Line(double dSeconds = 10);
    void Signal(int iSignal);
    int Wait(); // exit status, -1 when killed by a signal

private:
    pid_t m_iPid = -1;
    int m_iOut = -1;
    std::string m_strPending;
};

// kxapi-emulate on strScenario under strRunDir (made if missing), once its services answer.
class Emulate {
public:
    Emulate(const std::string& strScenario, const std::string& strRunDir,
            const std::vector<std::string>& vecExtra = {});
    Process& Proc() { return m_proc; }
    bool Started() const { return m_bStarted; }

private:
    Process m_proc;
    bool m_bStarted = false;
};

// Whether a program can be spawned here (not under qemu, which runs cross-built tests).
bool CanSpawn();

} // namespace kxprobe_test

#endif
