#include "tests/support/SystemProxySettings.h"

#include <windows.h>

namespace lexigrove_test {

namespace {

const wchar_t* const kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

HKEY Key(void* key) {
    return static_cast<HKEY>(key);
}

} // namespace

ScopedSystemProxy::ScopedSystemProxy(bool enable, const std::wstring& server,
                                     const std::wstring& bypass) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    key_ = key;
    for (Saved& saved : saved_)
        Save(saved);
    const DWORD flag = enable ? 1 : 0;
    ok_ = Set(L"ProxyEnable", REG_DWORD, &flag, sizeof(flag)) && SetText(L"ProxyServer", server) &&
          SetText(L"ProxyOverride", bypass);
}

ScopedSystemProxy::~ScopedSystemProxy() {
    if (key_ == nullptr)
        return;
    for (const Saved& saved : saved_) {
        if (saved.present)
            Set(saved.name, saved.type, saved.bytes.data(), static_cast<DWORD>(saved.bytes.size()));
        else
            RegDeleteValueW(Key(key_), saved.name);
    }
    RegCloseKey(Key(key_));
}

void ScopedSystemProxy::Save(Saved& saved) {
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(Key(key_), saved.name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return;
    saved.bytes.resize(size);
    saved.present = RegQueryValueExW(Key(key_), saved.name, nullptr, &type, saved.bytes.data(),
                                     &size) == ERROR_SUCCESS;
    saved.type = type;
    saved.bytes.resize(size);
}

bool ScopedSystemProxy::Set(const wchar_t* name, unsigned long type, const void* bytes,
                            unsigned long size) {
    return RegSetValueExW(Key(key_), name, 0, type, static_cast<const BYTE*>(bytes), size) ==
           ERROR_SUCCESS;
}

bool ScopedSystemProxy::SetText(const wchar_t* name, const std::wstring& value) {
    if (value.empty()) {
        const LSTATUS status = RegDeleteValueW(Key(key_), name);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    return Set(name, REG_SZ, value.c_str(),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace lexigrove_test
