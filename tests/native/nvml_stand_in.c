/* A stand-in for NVML with two devices, built by the tests as libnvidia-ml.so.1.
 * Device 0 reports every figure; device 1 does not support power, and is lost
 * once the file named by NVML_STAND_IN_LOSE exists. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct { unsigned int gpu, memory; } Utilization;
typedef struct { unsigned long long total, free, used; } Memory;
enum { SUCCESS = 0, INVALID_ARGUMENT = 2, NOT_SUPPORTED = 3, NOT_FOUND = 6, GPU_IS_LOST = 15 };
static const char *uuids[2] = {"GPU-aaaa1111-0000-0000-0000-000000000000", "GPU-bbbb2222-0000-0000-0000-000000000000"};
static int devices[2];

static int which(void *device) { return device == &devices[1]; }
static int lost(void *device) {
    const char *lose = getenv("NVML_STAND_IN_LOSE");
    return which(device) == 1 && lose && access(lose, F_OK) == 0;
}
int nvmlInit_v2(void) { return SUCCESS; }
int nvmlShutdown(void) { return SUCCESS; }
int nvmlDeviceGetCount_v2(unsigned int *count) { *count = 2; return SUCCESS; }
int nvmlDeviceGetHandleByIndex_v2(unsigned int i, void **device) {
    if (i > 1) return INVALID_ARGUMENT;
    *device = &devices[i];
    return SUCCESS;
}
int nvmlDeviceGetHandleByUUID(const char *uuid, void **device) {
    for (int i = 0; i < 2; i++)
        if (strcmp(uuid, uuids[i]) == 0) { *device = &devices[i]; return SUCCESS; }
    return NOT_FOUND;
}
int nvmlDeviceGetUUID(void *device, char *out, unsigned int size) {
    strncpy(out, uuids[which(device)], size);
    return SUCCESS;
}
int nvmlDeviceGetName(void *device, char *out, unsigned int size) {
    strncpy(out, which(device) ? "Stand-in GPU B" : "Stand-in GPU A", size);
    return SUCCESS;
}
int nvmlDeviceGetUtilizationRates(void *device, Utilization *u) {
    if (lost(device)) return GPU_IS_LOST;
    u->gpu = which(device) ? 73 : 37;
    u->memory = 10;
    return SUCCESS;
}
int nvmlDeviceGetMemoryInfo(void *device, Memory *m) {
    if (lost(device)) return GPU_IS_LOST;
    m->total = which(device) ? 8000000000ULL : 16000000000ULL;
    m->used = which(device) ? 2000000000ULL : 4000000000ULL;
    m->free = m->total - m->used;
    return SUCCESS;
}
int nvmlDeviceGetPowerUsage(void *device, unsigned int *milliwatts) {
    if (lost(device)) return GPU_IS_LOST;
    if (which(device)) return NOT_SUPPORTED;
    *milliwatts = 150000;
    return SUCCESS;
}
int nvmlDeviceGetEnforcedPowerLimit(void *device, unsigned int *milliwatts) {
    if (which(device)) return NOT_SUPPORTED;
    *milliwatts = 300000;
    return SUCCESS;
}
int nvmlDeviceGetTemperature(void *device, int sensor, unsigned int *celsius) {
    if (lost(device)) return GPU_IS_LOST;
    *celsius = sensor == 0 ? (which(device) ? 45 : 61) : 0;
    return SUCCESS;
}
int nvmlSystemGetDriverVersion(char *out, unsigned int size) {
    strncpy(out, "999.01", size);
    return SUCCESS;
}
