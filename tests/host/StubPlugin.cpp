// A plugin library that lacks most exports: the host must refuse it.
#include <cstdint>

extern "C" {

int32_t fnGetPluginName(char16_t* buffer, uint16_t capacity) {
    const char16_t name[] = u"Stub";
    for (uint16_t i = 0; i < capacity && i < 5; ++i) {
        buffer[i] = name[i];
    }
    return 1;
}

int32_t fnGetPluginOwner(char16_t* buffer, uint16_t capacity) {
    return fnGetPluginName(buffer, capacity);
}
}
