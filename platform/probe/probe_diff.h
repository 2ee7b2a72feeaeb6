// kxapi-probe diff: a live service against the scenario its tests run on.
#ifndef KXPROBE_DIFF_H
#define KXPROBE_DIFF_H

#include <ostream>
#include <string>
#include <vector>

namespace kxprobe {

struct DiffOptions {
    std::string strRunDir;              // maps the live service's name; empty on the camera
    std::string strService;             // socket name of the live service ("/tmp/A")
    std::string strScenario;            // the scenario file
    std::vector<std::string> vecIgnore; // JSON fields (dotted paths) whose values are not compared
    double dTimeoutSeconds = 0;         // per request, as for send
    bool bJson = false;                 // one JSON object per difference instead of text
};

// Returns an ExitStatus: kExitOk when every reply agrees, kExitResult when any differs, other
// statuses for a scenario that does not load or a service that cannot be asked.
int RunDiff(const DiffOptions& stOpt, std::ostream& out, std::ostream& err);

} // namespace kxprobe

#endif
