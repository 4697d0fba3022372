#pragma once
// The file-compression service that takes closed log files. It belongs to the operations
// tools, which install their implementation with FileCompressInstall; without one, EMS runs
// with compression off. Results: 0 = success, else a result code of the service (1 before
// Init, 7 when its list lock cannot be taken, 22 for an empty name, 30 when a deduction
// exceeds a total, which is then set to 0).
#include <cstdint>
#include <memory>
#include <string>

struct FileTotals {
    uint64_t compressedBytes = 0;
    uint64_t uncompressedBytes = 0;  // queued and not yet compressed
    uint32_t compressedFiles = 0;
    uint32_t uncompressedFiles = 0;
};

// (result code, text)
using FileCompressErrorCallback = void (*)(int result, const char* text);
// Called on the service's thread after a file was compressed and removed: (path of the
// uncompressed file, compressed size low, high).
using FileCompressDoneCallback = int (*)(const char* path, uint32_t sizeLow, uint32_t sizeHigh);

struct FileCompressParams {
    std::string directory;
    std::string commandTemplate;
    std::string waitingPattern;  // files still to compress, without directory
    std::string extension;
    uint32_t timeoutMs = 30000;  // raised to at least 5000 by the service
    FileCompressErrorCallback errorCallback = nullptr;
    FileCompressDoneCallback doneCallback = nullptr;
};

class FileCompress {
public:
    virtual ~FileCompress() = default;
    // 0 on success; also queues the files that match the waiting pattern.
    virtual int Init() = 0;
    virtual int Shutdown() = 0;
    virtual int GetFileTotals(FileTotals* totals) = 0;
    virtual int SetFileTotals(const FileTotals& totals) = 0;
    virtual int AddFileTotals(const FileTotals& totals) = 0;
    virtual int DeductFileTotals(const FileTotals& totals) = 0;
    virtual int QueueFileToCompress(const char* name, uint32_t sizeLow, uint32_t sizeHigh) = 0;
    virtual void SetErrorCallback(FileCompressErrorCallback callback) = 0;
};

struct FileCompressService {
    // Null when the service cannot be created.
    std::unique_ptr<FileCompress> (*Create)(const FileCompressParams& params);
    // Name of a result code ("RET_SUCCESS" ...), "UNKNOWN RETURN VALUE" for others.
    const char* (*ReturnName)(int code);
};

// Installs the service (kept by pointer); null removes it.
void FileCompressInstall(const FileCompressService* service);
// Null when no service is installed or it could not create one.
std::unique_ptr<FileCompress> FileCompressCreate(const FileCompressParams& params);
const char* GetCompressReturnName(int code);
