#include "nuvlib/filecompress.h"

#include <atomic>

namespace {
constinit std::atomic<const FileCompressService*> g_service{nullptr};
}

void FileCompressInstall(const FileCompressService* service) { g_service.store(service); }

std::unique_ptr<FileCompress> FileCompressCreate(const FileCompressParams& params) {
    const FileCompressService* service = g_service.load();
    if (service == nullptr || service->Create == nullptr) return nullptr;
    return service->Create(params);
}

const char* GetCompressReturnName(int code) {
    const FileCompressService* service = g_service.load();
    if (service == nullptr || service->ReturnName == nullptr) return "UNKNOWN RETURN VALUE";
    return service->ReturnName(code);
}
