/* Links against an installed powergpu and checks that it answers. */
#include <stdio.h>

#include "powergpu.h"

int main(void) {
    int32_t major = 0, minor = 0, patch = 0;
    if (powerModule_getVersion(&major, &minor, &patch) != POWER_STATUS_SUCCESS || major != POWERGPU_VERSION_MAJOR) {
        fprintf(stderr, "the installed library does not match its header\n");
        return 1;
    }
    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (module == NULL) {
        fprintf(stderr, "no module on the CPU backend\n");
        return 1;
    }
    uint8_t phases = 0;
    const int ok = getPhasesCount(module, &phases) == POWER_STATUS_SUCCESS && phases == 1;
    powerModule_destroy(module);
    printf("installed powergpu %d.%d.%d works\n", (int)major, (int)minor, (int)patch);
    return ok ? 0 : 1;
}
