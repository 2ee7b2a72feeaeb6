// A host on the dev-host kit: the stand-in supplies the platform, found through the package.
#include <kxapicommon.h>
#include <kxplatform.h>

#include <cstring>

int main()
{
    g_enDebugFlag = 1;
    return strcmp(GetStatusString(3), "Unsupported request") == 0 ? 0 : 1;
}
