// The door host from a shell: one request, answered on stdout with its HTTP status, against
// whatever serves "/tmp/D" under the run directory (kxapi-emulate door.scenario.json --run-dir DIR).
#include "door_host.h"
#include "kxdevhost.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 6 || strcmp(argv[1], "--run-dir") != 0) {
        fprintf(stderr, "usage: kxapi-door-host --run-dir DIR METHOD TARGET [BODY]\n");
        return 2;
    }
    if (KxUnixSetRunDir(argv[2]) != 0) {
        fprintf(stderr, "kxapi-door-host: run directory too long for socket names: %s\n", argv[2]);
        return 2;
    }
    door::Answer stAnswer = door::Serve(argv[3], argv[4], argc == 6 ? argv[5] : "");
    printf("%d %s\n", stAnswer.iStatus, stAnswer.strBody.c_str());
    return stAnswer.iStatus == 200 ? 0 : 1;
}
