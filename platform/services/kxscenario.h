/*
 * Dev-host kit: camera services from a scenario file (docs/scenarios.md), in the process of a
 * test or a tool. A Scenario is what a file says, checked; an Emulator runs one, keeps the state
 * its SET rules store and journals every exchange. Command-message services are bound under the
 * run directory of kxdevhost.h, HBTP services under the service file system's root of
 * kxplatform.h.
 */
#ifndef KXSCENARIO_H
#define KXSCENARIO_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kxdev {

class Scenario;

/* A checked scenario, or null with *pstrError set to one line naming the file, the place (line
 * and column, or the JSON path) and what is wrong. A data file is read at load time, relative to
 * the scenario file (LoadScenarioText: relative to strBaseDir). strName names the text in errors. */
std::shared_ptr<const Scenario> LoadScenarioFile(const std::string& strFile, std::string* pstrError);
std::shared_ptr<const Scenario> LoadScenarioText(const std::string& strText, const std::string& strName,
                                                 const std::string& strBaseDir, std::string* pstrError);

/* What a scenario runs, for a start line: its name and its services, e.g.
 * "reference camera": /tmp/A (config), hbtp auth.paas.opx (auth) */
std::string DescribeScenario(const Scenario& scenario);

/* One exchange as the journal keeps it. */
struct Exchange {
    std::string strService; /* socket name ("/tmp/A") or HBTP service name */
    bool bHbtp = false;
    unsigned int uiCommand = 0; /* command, or the HBTP URL number */
    int iType = 0;              /* request message type, or HBTP header type */
    std::string strRequestData; /* command data block up to its first NUL, or the HBTP body */
    std::string strRule;        /* the rule that answered; empty: the default answer */
    std::string strNearest;     /* default answers: the nearest rule ... */
    std::string strDiffers;     /* ... and what differed */
    bool bAnswered = false;     /* false: silence */
    int iResult = 0;            /* reply result, or HBTP code */
    size_t uiBytes = 0;         /* bytes sent back (every copy) */
    double dMillis = 0;         /* from the request's arrival to the last reply sent */

    std::string TextLine() const; /* the line kxapi-emulate prints */
    std::string JsonLine() const; /* the same as one JSON object, no newline */
};

struct EmulatorOptions {
    std::string strStateDir;                           /* empty: state in memory only */
    unsigned int uiEndSilentWaitsMs = 0;               /* 0: silent rules stay silent; else see docs/scenarios.md */
    std::function<void(const Exchange&)> fnOnExchange; /* called on service threads, may be empty */
};

class Emulator {
public:
    explicit Emulator(EmulatorOptions stOptions = {});
    ~Emulator(); /* stops */
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    /* Binds every service of the scenario (vecOnly non-empty: only the services whose name or
     * socket it lists) and serves them on threads of their own. All or nothing: false with
     * *pstrError when one cannot start (a name taken, a state file that is not JSON). */
    bool Start(std::shared_ptr<const Scenario> pScenario, std::string* pstrError,
               const std::vector<std::string>& vecOnly = {});
    /* Replaces the running scenario; the state and counters of services that stay are kept. On
     * failure the running scenario goes on. */
    bool Reload(std::shared_ptr<const Scenario> pScenario, std::string* pstrError);
    /* Stops every service, closes and removes its socket. */
    void Stop();

    /* The journal: requests of a service (of one command or URL), and the last of them. */
    unsigned int Count(const std::string& strService) const;
    unsigned int Count(const std::string& strService, unsigned int uiCommand) const;
    std::optional<Exchange> Last(const std::string& strService, unsigned int uiCommand) const;
    std::vector<Exchange> Journal() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace kxdev

#endif
