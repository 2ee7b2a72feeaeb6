// The route table: which handler serves a method and path, and which service it waits on.
#ifndef KXAPI_ROUTES_H
#define KXAPI_ROUTES_H

#include "resources.h"

#include <string>

namespace kxserver {

struct Route {
    const char* pszMethod;
    // The path exactly as it must be sent, except that "*" stands for one segment, never empty.
    const char* pszPattern;
    // The service the handler waits on; requests for one service are bounded together. Empty for
    // handlers that wait on none.
    const char* pszService;
    Handler pfnHandler;
};

// The route for method and path (no query), or null: nothing is served there. HEAD finds the
// GET route.
const Route* FindRoute(const std::string& strMethod, const std::string& strPath);

} // namespace kxserver

#endif
