// A minimal host: looks up status texts and prints a JSON body built through the facade.
#include "kxapicommon.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    long long code = argc > 1 ? strtoll(argv[1], nullptr, 10) : 0;
    json_object* root = cJSON_CreateObject();
    json_object* status = cJSON_CreateObject();
    cJSON_AddItemToObject(status, "StatusCode", cJSON_CreateNumber(code));
    cJSON_AddItemToObject(status, "StatusString", cJSON_CreateString(GetStatusString(code)));
    cJSON_AddItemToObject(root, "ResponseStatus", status);
    printf("%s\n", cJSON_Print(root));
    cJSON_Delete(root);
    return 0;
}
