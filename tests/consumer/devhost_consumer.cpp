// A host on the dev-host kit, found through the package: the stand-in supplies the platform, the
// kit the records of a request.
#include <kxapicommon.h>
#include <kxhost.h>
#include <kxplatform.h>

#include <cstring>

int main()
{
    g_enDebugFlag = 1;
    const char* pszStatus =
        R"({ "ResponseStatus": { "RequestURL": "\/x", "StatusCode": 3, "StatusString": "Unsupported request" } })";
    bool bOk = strcmp(GetStatusString(3), "Unsupported request") == 0 && kxdev::StatusBody("/x?y=1", 3) == pszStatus;
    return bOk ? 0 : 1;
}
