/* A CT-API client as programs written elsewhere are: it loads the library by its file path with
 * dlopen, looks the three functions up with dlsym and plays a reader driver's start-up sequence.
 * Each step prints one line: its name, the return code, the source address and the answer.
 *   ctapi_dlopen_client LIBRARY */
#include <ctapi.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int8_t (*InitFn)(uint16_t, uint16_t);
typedef int8_t (*DataFn)(uint16_t, uint8_t*, uint8_t*, uint16_t, uint8_t*, uint16_t*, uint8_t*);
typedef int8_t (*CloseFn)(uint16_t);

struct Step {
    const char* name;
    uint8_t dad;
    uint16_t lenc;
    uint8_t command[16];
};

static const struct Step kSteps[] = {
    {"GET STATUS 81", CT, 5, {0x20, 0x13, 0x00, 0x81, 0x00}},
    {"RESET CT", CT, 5, {0x20, 0x11, 0x00, 0x00, 0x00}},
    {"GET STATUS 80", CT, 5, {0x20, 0x13, 0x00, 0x80, 0x00}},
    {"REQUEST ICC", CT, 5, {0x20, 0x12, 0x01, 0x01, 0x00}},
    {"SELECT", ICC1, 7, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}},
    {"READ BINARY", ICC1, 5, {0x00, 0xB0, 0x00, 0x00, 0x04}},
    {"EJECT ICC", CT, 4, {0x20, 0x15, 0x01, 0x00}},
};

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ctapi_dlopen_client LIBRARY\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        printf("dlopen: %s\n", dlerror());
        return 1;
    }
    /* ISO C has no conversion from a data pointer to a function pointer; POSIX makes the bytes
     * the same. */
    void* symbols[3] = {dlsym(library, "CT_init"), dlsym(library, "CT_data"),
                        dlsym(library, "CT_close")};
    InitFn init;
    DataFn data;
    CloseFn close;
    memcpy(&init, &symbols[0], sizeof init);
    memcpy(&data, &symbols[1], sizeof data);
    memcpy(&close, &symbols[2], sizeof close);
    if (!symbols[0] || !symbols[1] || !symbols[2]) {
        printf("dlsym: a CT-API function is missing\n");
        return 1;
    }

    printf("CT_init %d\n", init(0, 0));
    for (size_t i = 0; i < sizeof kSteps / sizeof kSteps[0]; ++i) {
        struct Step step = kSteps[i];
        uint8_t dad = step.dad, sad = HOST, response[300];
        uint16_t lenr = sizeof response;
        const int8_t rv = data(0, &dad, &sad, step.lenc, step.command, &lenr, response);
        printf("%s %d %u", step.name, rv, sad);
        for (uint16_t b = 0; rv == OK && b < lenr; ++b)
            printf(" %02X", response[b]);
        printf("\n");
    }
    printf("CT_close %d\n", close(0));
    return dlclose(library) == 0 ? 0 : 1;
}
