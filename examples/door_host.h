// A host of a firmware team's own, built on the dev-host kit's request context (kxhost.h): one
// resource, GET /api/v1/doors/{1..4}/state, read from the door controller service "/tmp/D" with a
// command of the team's own. door.scenario.json plays the controller on a PC.
#ifndef KXAPI_EXAMPLE_DOOR_HOST_H
#define KXAPI_EXAMPLE_DOOR_HOST_H

#include "kxhost.h"

#include <string>

namespace door {

constexpr const char* kDoorService = "/tmp/D";
// Not one of the library's commands: a number the team and its service agreed on.
constexpr int kCmdDoorState = 9101;

// The handler. The service gets { "Door": N } and answers the door's state as a short text;
// the client gets { "Door": N, "State": "..." }. Returns the library result the request ends with.
int GetDoorState(kxdev::RequestContext& ctx);

struct Answer {
    int iStatus;
    std::string strBody;
};

// One request from start to end: records, route, handler, body.
Answer Serve(const std::string& strMethod, const std::string& strTarget, const std::string& strBody = "");

} // namespace door

#endif
