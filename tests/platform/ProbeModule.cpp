// A small loadable library for the module-loading tests: one exported
// function with a known result.
#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PROBE_EXPORT int lexigrove_probe_answer() {
    return 42;
}
