// The GPUs the process may use, through NVML loaded when a sampler starts
// (`libnvidia-ml.so.1`, found as the dynamic loader finds libraries): no
// build or install dependency. The devices are those CUDA_VISIBLE_DEVICES
// names (indices, `GPU-` UUIDs or their prefixes, `MIG-` names), all of them
// when it is unset, numbered as the process numbers them. A figure a device
// does not report is left out; a device lost ends its series.
#include "parts.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace sysmetrics {

namespace {

// NVML's C interface, as its header declares it.
using Handle = void *;
struct Utilization {
    unsigned int gpu, memory;
};
struct Memory {
    unsigned long long total, free, used;
};
constexpr int NVML_SUCCESS = 0, NVML_ERROR_GPU_IS_LOST = 15, NVML_TEMPERATURE_GPU = 0;

struct Nvml {
    int (*init)();
    int (*shutdown)();
    int (*count)(unsigned int *);
    int (*by_index)(unsigned int, Handle *);
    int (*by_uuid)(const char *, Handle *);
    int (*uuid)(Handle, char *, unsigned int);
    int (*name)(Handle, char *, unsigned int);
    int (*utilization)(Handle, Utilization *);
    int (*memory)(Handle, Memory *);
    int (*power)(Handle, unsigned int *);
    int (*power_limit)(Handle, unsigned int *);
    int (*temperature)(Handle, int, unsigned int *);
    int (*driver)(char *, unsigned int);
};

// Loaded once per process, never unloaded (another thread may be in it).
const Nvml *nvml(std::string &why) {
    static Nvml loaded;
    static const Nvml *found = nullptr;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        void *library = dlopen("libnvidia-ml.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char *error = dlerror();
            failure = error ? error : "libnvidia-ml.so.1 not found";
            return;
        }
        bool whole = true;
        auto bind = [&](auto &slot, const char *symbol) {
            void *address = dlsym(library, symbol);
            whole = whole && address;
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
        };
        bind(loaded.init, "nvmlInit_v2");
        bind(loaded.shutdown, "nvmlShutdown");
        bind(loaded.count, "nvmlDeviceGetCount_v2");
        bind(loaded.by_index, "nvmlDeviceGetHandleByIndex_v2");
        bind(loaded.by_uuid, "nvmlDeviceGetHandleByUUID");
        bind(loaded.uuid, "nvmlDeviceGetUUID");
        bind(loaded.name, "nvmlDeviceGetName");
        bind(loaded.utilization, "nvmlDeviceGetUtilizationRates");
        bind(loaded.memory, "nvmlDeviceGetMemoryInfo");
        bind(loaded.power, "nvmlDeviceGetPowerUsage");
        bind(loaded.power_limit, "nvmlDeviceGetEnforcedPowerLimit");
        bind(loaded.temperature, "nvmlDeviceGetTemperature");
        bind(loaded.driver, "nvmlSystemGetDriverVersion");
        if (whole)
            found = &loaded;
        else
            failure = "libnvidia-ml.so.1 lacks functions this version needs";
    });
    why = failure;
    return found;
}

std::string device_uuid(const Nvml &n, Handle device) {
    char text[96] = {};
    return n.uuid(device, text, sizeof text) == NVML_SUCCESS ? std::string(text) : std::string();
}

}  // namespace

bool Gpus::open(std::string &why) {
    const Nvml *n = nvml(why);
    if (!n) return false;
    if (int error = n->init(); error != NVML_SUCCESS) {
        why = "NVML did not initialise (error " + std::to_string(error) + ")";
        return false;
    }
    open_ = true;
    unsigned int count = 0;
    if (n->count(&count) != NVML_SUCCESS) count = 0;
    std::vector<Handle> all(count, nullptr);
    for (unsigned int i = 0; i < count; i++)
        if (n->by_index(i, &all[i]) != NVML_SUCCESS) all[i] = nullptr;
    const char *visible = std::getenv("CUDA_VISIBLE_DEVICES");
    devices_.clear();
    if (!visible) {
        for (unsigned int i = 0; i < count; i++)
            if (all[i]) devices_.push_back({all[i], static_cast<int>(i), false});
        return true;
    }
    // As CUDA reads it: entries up to the first that names no device.
    std::string list(visible);
    for (size_t at = 0, position = 0; at <= list.size(); position++) {
        size_t end = list.find(',', at);
        std::string entry = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? list.size() + 1 : end + 1;
        entry.erase(0, entry.find_first_not_of(' '));
        entry.erase(entry.find_last_not_of(' ') + 1);
        Handle device = nullptr;
        char *rest = nullptr;
        long index = std::strtol(entry.c_str(), &rest, 10);
        if (!entry.empty() && *rest == '\0') {
            if (index >= 0 && static_cast<unsigned long>(index) < count) device = all[static_cast<size_t>(index)];
        } else if (n->by_uuid(entry.c_str(), &device) != NVML_SUCCESS) {
            device = nullptr;
            for (Handle each : all)  // a prefix of a device's UUID, as CUDA takes it
                if (each && entry.size() > 4 && device_uuid(*n, each).compare(0, entry.size(), entry) == 0)
                    device = each;
        }
        if (!device) break;
        devices_.push_back({device, static_cast<int>(position), false});
    }
    return true;
}

void Gpus::close() {
    std::string why;
    if (open_) nvml(why)->shutdown();
    open_ = false;
    devices_.clear();
}

void Gpus::read(std::vector<Figure> &out, std::vector<std::string> &lost) {
    std::string why;
    const Nvml *n = nvml(why);
    if (!n || !open_) return;
    for (Device &d : devices_) {
        if (d.lost) continue;
        std::string prefix = "gpu_" + std::to_string(d.index) + "_";
        Utilization use{};
        Memory memory{};
        unsigned int power = 0, limit = 0, temperature = 0;
        int got = n->utilization(d.handle, &use);
        if (got == NVML_ERROR_GPU_IS_LOST) {
            d.lost = true;
            lost.push_back("GPU " + std::to_string(d.index));
            continue;
        }
        if (got == NVML_SUCCESS)
            out.push_back({prefix + "utilization_percentage", static_cast<double>(use.gpu), Kind::Mean});
        if (n->memory(d.handle, &memory) == NVML_SUCCESS && memory.total > 0) {
            out.push_back(
                {prefix + "memory_usage_megabytes", static_cast<double>(memory.used) / 1e6, Kind::MeanAndPeak});
            out.push_back({prefix + "memory_usage_percentage",
                           100.0 * static_cast<double>(memory.used) / static_cast<double>(memory.total), Kind::Mean});
            out.push_back({prefix + "memory_total_megabytes", static_cast<double>(memory.total) / 1e6, Kind::Mean});
        }
        if (n->power(d.handle, &power) == NVML_SUCCESS) {
            out.push_back({prefix + "power_usage_watts", static_cast<double>(power) / 1000, Kind::MeanAndPeak});
            if (n->power_limit(d.handle, &limit) == NVML_SUCCESS && limit > 0)
                out.push_back({prefix + "power_usage_percentage",
                               100.0 * static_cast<double>(power) / static_cast<double>(limit), Kind::Mean});
        }
        if (n->temperature(d.handle, NVML_TEMPERATURE_GPU, &temperature) == NVML_SUCCESS)
            out.push_back({prefix + "temperature_celsius", static_cast<double>(temperature), Kind::MeanAndPeak});
    }
}

std::vector<GpuInfo> Gpus::info() {
    std::string why;
    const Nvml *n = nvml(why);
    std::vector<GpuInfo> found;
    if (!n || !open_) return found;
    for (const Device &d : devices_) {
        GpuInfo each;
        char name[96] = {};
        if (n->name(d.handle, name, sizeof name) == NVML_SUCCESS) each.name = name;
        each.uuid = device_uuid(*n, d.handle);
        Memory memory{};
        if (n->memory(d.handle, &memory) == NVML_SUCCESS) each.memory_total = static_cast<double>(memory.total) / 1e6;
        found.push_back(each);
    }
    return found;
}

std::string Gpus::driver() const {
    std::string why;
    const Nvml *n = nvml(why);
    char version[96] = {};
    if (n && open_ && n->driver(version, sizeof version) == NVML_SUCCESS) return version;
    return {};
}

}  // namespace sysmetrics
