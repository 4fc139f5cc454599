#include "portfingerprint.h"

#include <windows.h>

#include <vector>

namespace {

// The system's own list of present COM ports: each port's driver adds its
// value here when the port starts and deletes it when the port goes.
constexpr const wchar_t *SerialCommKey = LR"(HARDWARE\DEVICEMAP\SERIALCOMM)";

void appendBytes(std::string &fingerprint, const void *data, size_t size)
{
    fingerprint.append(static_cast<const char *>(data), size);
}

} // namespace

namespace PortFingerprint {

std::optional<std::string> current()
{
    HKEY key = nullptr;
    const LSTATUS opened
        = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_QUERY_VALUE, &key);
    // The key comes into being with the first port since boot; until then
    // there is no port, and that is a fingerprint too.
    if (opened == ERROR_FILE_NOT_FOUND)
        return std::string();
    if (opened != ERROR_SUCCESS)
        return std::nullopt;

    // A device that takes over the COM name of one just unplugged may bring
    // back the same value, but deleting and adding it both move the key's
    // write time.
    DWORD maxNameLength = 0;
    DWORD maxDataSize = 0;
    FILETIME written {};
    std::optional<std::string> fingerprint;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &maxNameLength, &maxDataSize, nullptr, &written)
        == ERROR_SUCCESS) {
        fingerprint.emplace();
        appendBytes(*fingerprint, &written, sizeof written);
        std::vector<wchar_t> name(maxNameLength + 1);
        // Never empty: without a buffer the call would report a value's size
        // and succeed without copying it.
        std::vector<BYTE> data(maxDataSize + 1);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = DWORD(name.size());
            DWORD dataSize = DWORD(data.size());
            DWORD type = 0;
            const LSTATUS status = ::RegEnumValueW(key, index, name.data(), &nameLength, nullptr,
                                                   &type, data.data(), &dataSize);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            // ERROR_MORE_DATA: a value added since the sizes were asked for.
            if (status != ERROR_SUCCESS) {
                fingerprint.reset();
                break;
            }
            appendBytes(*fingerprint, name.data(), nameLength * sizeof(wchar_t));
            appendBytes(*fingerprint, L"", sizeof(wchar_t));
            appendBytes(*fingerprint, data.data(), dataSize);
            appendBytes(*fingerprint, L"", sizeof(wchar_t));
        }
    }
    ::RegCloseKey(key);
    return fingerprint;
}

} // namespace PortFingerprint
