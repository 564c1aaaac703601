/* Links against an installed powergpu and checks that it answers. */
#include <stdio.h>

#define ASSERT_TRUE(condition, message)         \
    do {                                        \
        if (!(condition)) {                     \
            fprintf(stderr, "%s\n", (message)); \
            return 1;                           \
        }                                       \
    } while (0)

#include "powergpu.h"

int main(void) {
    int32_t major = 0, minor = 0, patch = 0;
    ASSERT_TRUE(
        powerModule_getVersion(&major, &minor, &patch) == POWER_STATUS_SUCCESS && major == POWERGPU_VERSION_MAJOR,
        "the installed library does not match its header");
    PowerModuleHandle module = powerModule_createOnBackend(POWER_BACKEND_CPU);
    ASSERT_TRUE(module != NULL, "no module on the CPU backend");
    uint8_t phases = 0;
    const int ok = getPhasesCount(module, &phases) == POWER_STATUS_SUCCESS && phases == 1;
    powerModule_destroy(module);
    ASSERT_TRUE(ok, "the installed library gives a wrong phase count");
    printf("installed powergpu %d.%d.%d works\n", (int)major, (int)minor, (int)patch);
    return 0;
}
