// Binding to the tuner-control library: opened with dlopen on first use and
// kept open for the rest of the run. Its OSW_ calls bind to this executable.
#include "tuner/tuner_lib.h"

#include "log/status_log.h"

#include <dlfcn.h>
#include <string>

namespace {

std::string library_path = "libsmscontrollite.so";
bool load_tried = false;
SmsLiteApi api;
const SmsLiteApi* loaded_api = nullptr;

template <typename F> bool bind(void* handle, const char* name, F*& function) {
    function = reinterpret_cast<F*>(dlsym(handle, name));
    return function != nullptr;
}

const SmsLiteApi* open_library() {
    void* handle = dlopen(library_path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) return nullptr;
    if (bind(handle, "SmsLiteMsLibInit", api.MsLibInit) &&
        bind(handle, "SmsLiteGetVersion_Req", api.GetVersion_Req) &&
        bind(handle, "SmsLiteIsdbtTune_Req", api.IsdbtTune_Req) &&
        bind(handle, "SmsLiteMsGetStatistics_Req", api.MsGetStatistics_Req) &&
        bind(handle, "SmsLiteMsLibTerminate", api.MsLibTerminate))
        return &api;
    // The library stays mapped: unloading code that may have started threads is
    // never safe, and a library without its functions is not retried.
    return nullptr;
}

} // namespace

void tuner_lib_set_path(const char* path) {
    library_path = path;
    load_tried = false;
    loaded_api = nullptr;
}

const SmsLiteApi* tuner_lib_load() {
    if (load_tried) return loaded_api;
    load_tried = true;
    loaded_api = open_library();
    if (!loaded_api) {
        const char* reason = dlerror();
        LogPrint(LOG_TO_BOTH, 3, "Tuner library not loaded: %s\n",
                 LogEscaped(reason ? reason : library_path).c_str());
    }
    return loaded_api;
}
